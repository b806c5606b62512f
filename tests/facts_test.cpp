// The device's facts as each side holds them: the regulatory domain table of
// the library (rendak_domains.h), the rows the panel lists, and the tools'
// table (tools/domains) that rendakctl and the console name, store and judge.
// The tools take their rows from the library's table and add aliases; these
// tests hold the three to one table, through what each of them does with it.
#include "testing.h"

#include <device_domains.h>
#include <rendak_domains.h>
#include <rendak_store.h>
#include <resource.h>

#include <cctype>
#include <map>

namespace {

std::string Lower(const std::string& text)
{
    std::string lower = text;
    for (char& c : lower) {
        c = (char)tolower((unsigned char)c);
    }
    return lower;
}

TEST(DomainTable, TheToolsTableIsTheLibrarysRowForRowWithWordsThatNameOneRowEach)
{
    const std::vector<DeviceDomain>& rows = DeviceDomains();
    ASSERT_EQ(rows.size(), (size_t)RENDAK_DOMAIN_COUNT);
    std::map<std::string, size_t> rowOf;  // every name and alias, as rendakctl matches them
    for (size_t i = 0; i < rows.size(); i++) {
        const DeviceDomain& row = rows[i];
        const RENDAKDOMAIN& library = g_aRendakDomains[i];
        EXPECT_EQ(row.index, (int)i);
        EXPECT_EQ(Widen(row.name), library.pszName) << "row " << i;
        EXPECT_EQ(row.code, library.dwCode) << row.name;
        EXPECT_EQ(row.mask, library.dwMask) << row.name;
        EXPECT_EQ(DeviceDomainOfCode(row.code), &row) << row.name << ": another row has its code";
        // A word names one row; a single digit is read as an index instead.
        for (const std::string& word : {row.name, row.alias}) {
            EXPECT_FALSE(word.empty()) << "row " << i;
            EXPECT_FALSE(word.size() == 1 && isdigit((unsigned char)word[0])) << word;
            size_t named = rowOf.emplace(Lower(word), i).first->second;
            EXPECT_EQ(named, i) << word << " names rows " << named << " and " << i;
        }
    }
}

class DomainFacts : public DeviceTest {};

// What the library stores for each row is the tools' row, and the tools name
// the stored code as that row again.
TEST_F(DomainFacts, TheLibraryStoresEachRowAsTheToolsTableHasIt)
{
    SimRegSetDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);  // stores without reloading Wi-Fi
    const std::vector<DeviceDomain>& rows = DeviceDomains();
    // "None" last: the library stores it only over a domain it has read.
    for (size_t n = 1; n <= rows.size(); n++) {
        const DeviceDomain& row = rows[n % rows.size()];
        if (row.index == 0) {
            GetLastWiFiRegulatoryIndex();
        }
        ChangeWiFiRegulatory(row.index);
        std::optional<DWORD> code = RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
        EXPECT_EQ(code, row.code) << row.name;
        EXPECT_EQ(RegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE), row.mask) << row.name;
        const DeviceDomain* named = DeviceDomainOfCode(code.value_or(0xFFFF));
        EXPECT_EQ(named, &row) << row.name;
    }
}

// The panel's list, as a person sees it in the running Quenta.exe.
TEST_F(DomainFacts, ThePanelListsTheToolsRowsInTheirOrder)
{
    SimRegSetDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, DeviceDomains()[1].code);  // it asks for none
    SetEnvironmentVariableW(L"HANDHELD_USER", L"scripted");
    PROCESS_INFORMATION panel = StartProgram(L"Quenta.exe", L"");
    SetEnvironmentVariableW(L"HANDHELD_USER", NULL);
    ASSERT_NE(panel.hProcess, (HANDLE)NULL);
    HWND hDialog = NULL;
    for (DWORD start = GetTickCount(); hDialog == NULL && GetTickCount() - start < 30000;) {
        for (HWND h : DeviceWindows(L"#32770", L"Wrapper AP for Wi-Fi DLL")) {
            hDialog = IsWindowVisible(h) ? h : hDialog;
        }
        if (hDialog == NULL) {
            ::Sleep(50);  // the desktop's: a host program starting
        }
    }
    std::vector<std::string> listed;
    if (hDialog != NULL) {
        SendMessageW(hDialog, WM_NULL, 0, 0);  // its initialisation is over
        HWND hList = GetDlgItem(hDialog, IDC_REGULATORY_LIST);
        LRESULT count = SendMessageW(hList, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; i++) {
            wchar_t text[64] = L"";
            if (SendMessageW(hList, CB_GETLBTEXTLEN, (WPARAM)i, 0) < 64) {
                SendMessageW(hList, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
            }
            listed.push_back(Narrow(text));
        }
    }
    TerminateProcess(panel.hProcess, 0);
    WaitAndClose(panel, 10000);
    ASSERT_NE(hDialog, (HWND)NULL) << "the panel's dialog never showed";
    std::vector<std::string> names;
    for (const DeviceDomain& row : DeviceDomains()) {
        names.push_back(row.name);
    }
    EXPECT_EQ(listed, names);
}

}  // namespace
