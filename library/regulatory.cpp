// regulatory.cpp - the regulatory domains: choosing one by its row, storing
// it for the adapter driver, and reading the stored one back as a row.
#include "rendak.h"

struct RegulatoryDomain {
    LPCWSTR name;  // as shown to the user
    DWORD code;    // "Domain" for the adapter (IEEE 802.11 domain code)
    DWORD mask;    // "ChannelDomain": bit n-1 allows 2.4 GHz channel n
};

static const RegulatoryDomain g_aDomains[] = {
    {L"None", 0x00, 0x0000},         //
    {L"USA, FCC", 0x10, 0x07FF},     // channels 1-11
    {L"Canada IC", 0x20, 0x07FF},    // channels 1-11
    {L"Europe ETSI", 0x30, 0x1FFF},  // channels 1-13
    {L"France", 0x32, 0x1E00},       // channels 10-13
    {L"Spain", 0x31, 0x0600},        // channels 10-11
    {L"Japan MKK", 0x40, 0x3FFF},    // channels 1-14
};
static const int g_cDomains = sizeof(g_aDomains) / sizeof(g_aDomains[0]);

static BOOL IsDomainRow(int index) { return index >= 0 && index < g_cDomains; }

// The row of a domain code; 0 ("None") for a code the table does not hold.
static int RowOfCode(DWORD code)
{
    for (int i = 0; i < g_cDomains; i++) {
        if (g_aDomains[i].code == code) {
            return i;
        }
    }
    return 0;
}

// Writes the code for the adapter and the channel mask for the vendor key.
// The mask is the one of row index; for an index outside the table it is
// the mask of the code itself, so the code and mask stored always agree.
LONG StoreRegulatoryDomain(DWORD code, int index)
{
    HKEY hKey;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, REG_ADAPTER_KEY, 0, NULL,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &hKey, NULL);
    if (result != ERROR_SUCCESS) {
        WCHAR szLine[80];
        wsprintfW(szLine, L"RegCreateKeyExW failed with %d\n", result);
        OutputDebugStringW(szLine);
        return result;
    }
    OutputDebugStringW(L"RegCreateKeyExW succeeded\n");
    RegSetValueExW(hKey, L"Domain", 0, REG_DWORD, (const BYTE*)&code, sizeof(code));
    RegCloseKey(hKey);

    DWORD mask = g_aDomains[IsDomainRow(index) ? index : RowOfCode(code)].mask;

    result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, REG_VENDOR_KEY, 0, NULL,
                             REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &hKey, NULL);
    if (result == ERROR_SUCCESS) {
        DWORD mark = VENDOR_DOMAIN_MARK;
        RegSetValueExW(hKey, L"Domain", 0, REG_DWORD, (const BYTE*)&mark, sizeof(mark));
        RegSetValueExW(hKey, L"ChannelDomain", 0, REG_DWORD, (const BYTE*)&mask, sizeof(mask));
        RegFlushKey(hKey);
        RegCloseKey(hKey);
    }
    AtomicWrite(&g_lChannelDomain, (LONG)mask);
    return result;
}

// Writes the "no domain" state mark, which the state notification delivers,
// and gives the platform a second to take it in.
static void MarkDomainCleared(void)
{
    SetCursor(LoadCursorW(g_hModule, IDC_WAIT));
    HKEY hKey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &hKey, NULL) == ERROR_SUCCESS) {
        DWORD mark = VENDOR_DOMAIN_MARK;
        RegSetValueExW(hKey, L"WIFI", 0, REG_DWORD, (const BYTE*)&mark, sizeof(mark));
        RegCloseKey(hKey);
    }
    Sleep(1000);
    SetCursor(NULL);
}

void WINAPI ChangeWiFiRegulatory(int index)
{
    if (IsDomainRow(index)) {
        AtomicWrite(&g_lRequestedDomain, (LONG)g_aDomains[index].code);
    }
    LONG code = AtomicRead(&g_lRequestedDomain);
    if (code != AtomicRead(&g_lCurrentDomain)) {
        StoreRegulatoryDomain((DWORD)code, index);
        ReadOemWiFiSwitch(L"WIFI");
        if (AtomicRead(&g_lOemWiFi) != 0) {
            if (code != 0) {
                EventModify(g_hReloadEvent, EVENT_SET);
            } else {
                MarkDomainCleared();
            }
        }
    }
    AtomicWrite(&g_bRegulatorySet, 1);
}

int WINAPI GetLastWiFiRegulatoryIndex(void)
{
    if (AtomicRead(&g_lCurrentDomain) == 0) {
        ReadDriverDomain();
    }
    return RowOfCode((DWORD)AtomicRead(&g_lCurrentDomain));
}
