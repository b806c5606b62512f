// view.cpp - the texts of the console's views: what the device shows now,
// with numbers named (state bits, domains, locales, channels).
#include "console.h"

#include <device_domains.h>
#include <handheld.h>

#include <stdio.h>

struct Named {
    DWORD value;
    const wchar_t* name;
};

static const Named kLocaleNames[] = {
    {0x0409, L"English, United States"},
    {0x0404, L"Chinese, Taiwan"},
    {0x0410, L"Italian, Italy"},
    {0x0407, L"German, Germany"},
};

static const Named kStateBits[] = {
    {SIM_STATE_ADAPTER, L"adapter"},
    {SIM_STATE_SWITCHING, L"switching"},
    {SIM_STATE_POWERED, L"powered"},
};

static const Named kRadioTypes[] = {{1, L"managed"}, {2, L"phone"}, {3, L"Bluetooth"}};

static const wchar_t* Lookup(const Named* aTable, size_t count, DWORD value)
{
    for (size_t i = 0; i < count; i++) {
        if (aTable[i].value == value) {
            return aTable[i].name;
        }
    }
    return NULL;
}

#define LOOKUP(table, value) Lookup(table, sizeof(table) / sizeof(table[0]), value)

static std::wstring Hex(DWORD value, int digits)
{
    WCHAR text[16];
    swprintf(text, 16, L"0x%0*lX", digits, (unsigned long)value);
    return text;
}

std::wstring WideText(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), (int)utf8.size(), NULL, 0);
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), (int)utf8.size(), &wide[0], n);
    return wide;
}

std::string Utf8Text(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string utf8((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &utf8[0], n, NULL, NULL);
    return utf8;
}

std::wstring DomainName(DWORD code)
{
    const DeviceDomain* row = DeviceDomainOfCode(code);
    return row ? WideText(row->name) : L"";
}

std::wstring LocaleName(DWORD lcid)
{
    const wchar_t* name = LOOKUP(kLocaleNames, lcid);
    return name ? name : L"";
}

std::wstring StateText(bool present, DWORD value)
{
    if (!present) {
        return L"missing";
    }
    std::wstring text = Hex(value, 3) + L":";
    if (value == 0) {
        return text + L" 0 (no driver loaded)";
    }
    const wchar_t* sep = L" ";
    for (const Named& bit : kStateBits) {
        if (value & bit.value) {
            text += sep;
            text += Hex(bit.value, 3) + L" " + bit.name;
            sep = L", ";
        }
    }
    DWORD unknown = value & ~(DWORD)(SIM_STATE_ADAPTER | SIM_STATE_SWITCHING | SIM_STATE_POWERED);
    if (unknown) {
        text += sep + Hex(unknown, 3) + L" unknown";
    }
    return text;
}

std::wstring ChannelText(bool present, DWORD mask)
{
    if (!present) {
        return L"not set";
    }
    std::wstring text = Hex(mask, 4) + L":";
    bool any = false;
    for (int ch = 1; ch <= 14; ch++) {
        if (mask & (1u << (ch - 1))) {
            text += L" " + std::to_wstring(ch);
            any = true;
        }
    }
    return any ? text : text + L" no channel";
}

static std::wstring RadioText(const RadioLine& r, bool adapterPresent)
{
    const wchar_t* type = LOOKUP(kRadioTypes, r.type);
    std::wstring text = r.display + L" (" + r.name + L", " +
                        (type ? type : (L"type " + std::to_wstring(r.type)).c_str()) + L"): " +
                        (r.on ? L"on" : L"off");
    if (r.adapter) {
        text += adapterPresent ? L", the Wi-Fi adapter" : L", the Wi-Fi adapter, not listed";
    }
    return text;
}

// A value in hex with what it stands for ("0x30 (Europe ETSI)"), `unnamed`
// after it when nothing does; "not set" without the value.
static std::wstring NamedDword(const wchar_t* key, const wchar_t* value, int digits,
                               std::wstring (*nameOf)(DWORD), const wchar_t* unnamed)
{
    DWORD data = 0;
    if (!DeviceDword(key, value, &data)) {
        return L"not set";
    }
    std::wstring name = nameOf(data);
    return Hex(data, digits) + (name.empty() ? std::wstring(unnamed) : L" (" + name + L")");
}

static std::wstring StatusFileView()
{
    WCHAR path[MAX_PATH] = L"";
    SimStorePath(STATUS_FILE, path, MAX_PATH);
    HANDLE h =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return L"no file";
    }
    char data[64] = "";
    DWORD got = 0;
    ReadFile(h, data, sizeof(data) - 1, &got, NULL);
    CloseHandle(h);
    data[got] = '\0';
    // The library writes one decimal number; anything else is shown as it is.
    std::wstring text;
    for (DWORD i = 0; i < got; i++) {
        if (data[i] == '\r' || data[i] == '\n') {
            text += L"\\n";
        } else if (data[i] >= 0x20 && data[i] < 0x7F) {
            text += (wchar_t)data[i];
        } else if (data[i] != 0) {
            text += L'?';
        }
    }
    std::wstring meaning = text == L"1" || text == L"1\\n"   ? L" (was on)"
                           : text == L"0" || text == L"0\\n" ? L" (was off)"
                                                             : L"";
    return L"\"" + text + L"\"" + meaning;
}

static std::wstring CardView()
{
    if (!Setting(SIM_SETTING_CARD_INSERTED, 1)) {
        return L"ejected (no driver, no NDL1:)";
    }
    if (!Setting(SIM_SETTING_DRIVER_ACTIVE, 1)) {
        return L"inserted; driver not loaded";
    }
    std::wstring dll = L"?";
    HostString((std::wstring(L"HKLM\\") + PCCARD_DRIVER_KEY).c_str(), L"Dll", &dll);
    return L"inserted; driver " + dll + L" loaded as NDL1: (instance " +
           std::to_wstring(Setting(SIM_SETTING_DRIVER_ACTIVATIONS, 0)) + L")";
}

static std::wstring KernelView()
{
    std::wstring text = L"cold resets " + std::to_wstring(KernelCount(L"ColdResets")) +
                        L" (refused " + std::to_wstring(KernelCount(L"ColdResetsRefused")) +
                        L"), clock sets " + std::to_wstring(KernelCount(L"ClockSets")) +
                        L" (refused " + std::to_wstring(KernelCount(L"ClockRefused")) +
                        L"), reboots " + std::to_wstring(KernelCount(L"Reboots")) +
                        L" (restarted " + std::to_wstring(KernelCount(L"Restarts")) +
                        L"), power cuts " + std::to_wstring(KernelCount(L"PowerCuts"));
    SYSTEMTIME st;
    DWORD cb = sizeof(st);
    if (RegGetValueW(HKEY_CURRENT_USER, DeviceHostKey(L"Kernel").c_str(), L"LastClock",
                     RRF_RT_REG_BINARY, NULL, &st, &cb) == ERROR_SUCCESS &&
        cb == sizeof(st)) {
        WCHAR when[64];
        swprintf(when, 64, L", last clock %04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth,
                 st.wDay, st.wHour, st.wMinute, st.wSecond);
        text += when;
    }
    return text;
}

static std::wstring FaultsView()
{
    std::wstring text;
    static const struct {
        const wchar_t* setting;
        const wchar_t* text;
    } aRefusals[] = {
        {SIM_SETTING_REFUSE_COLD_RESET, L"kernel refuses cold resets"},
        {SIM_SETTING_REFUSE_CLOCK, L"kernel refuses clock requests"},
        {SIM_SETTING_FAIL_ACTIVATION, L"driver activation fails"},
        {SIM_SETTING_STATE_STUCK, L"state value stuck at switching"},
    };
    for (const auto& r : aRefusals) {
        if (Setting(r.setting, 0)) {
            text += (text.empty() ? L"" : L"; ") + std::wstring(r.text);
        }
    }
    for (const std::wstring& f : DeviceFaults()) {
        text += (text.empty() ? L"" : L"; ") + f;
    }
    return text.empty() ? L"none" : text;
}

void SetTextIfChanged(HWND hWnd, int id, const std::wstring& text)
{
    HWND hItem = GetDlgItem(hWnd, id);
    WCHAR old[1024] = L"";
    GetWindowTextW(hItem, old, 1024);
    if (text != old) {
        SetWindowTextW(hItem, text.c_str());
    }
}

static void SetCheck(HWND hWnd, int id, bool on)
{
    SendDlgItemMessageW(hWnd, id, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

static void RefreshRadios(HWND hWnd, bool adapterPresent)
{
    HWND hList = GetDlgItem(hWnd, IDC_RADIOS);
    std::vector<std::wstring> lines;
    for (const RadioLine& r : DeviceRadios()) {
        lines.push_back(RadioText(r, adapterPresent));
    }
    if (lines.empty()) {
        lines.push_back(L"no radios");
    }
    // Rewritten only when a line differs, so the list does not flicker.
    bool same = (size_t)SendMessageW(hList, LB_GETCOUNT, 0, 0) == lines.size();
    for (size_t i = 0; same && i < lines.size(); i++) {
        WCHAR old[256] = L"";
        if (SendMessageW(hList, LB_GETTEXTLEN, i, 0) < 256) {
            SendMessageW(hList, LB_GETTEXT, i, (LPARAM)old);
        }
        same = lines[i] == old;
    }
    if (same) {
        return;
    }
    SendMessageW(hList, WM_SETREDRAW, FALSE, 0);
    SendMessageW(hList, LB_RESETCONTENT, 0, 0);
    for (const std::wstring& line : lines) {
        SendMessageW(hList, LB_ADDSTRING, 0, (LPARAM)line.c_str());
    }
    SendMessageW(hList, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hList, NULL, TRUE);
}

void RefreshViews(HWND hWnd)
{
    bool adapterPresent =
        Setting(SIM_SETTING_CARD_INSERTED, 1) && Setting(SIM_SETTING_DRIVER_ACTIVE, 1);
    SetTextIfChanged(
        hWnd, IDC_DEVICE,
        std::wstring(g_device) + L" (boot " + std::to_wstring(KernelCount(L"Boot")) + L")");
    RefreshRadios(hWnd, adapterPresent);

    DWORD value = 0;
    bool present = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE, &value);
    SetTextIfChanged(hWnd, IDC_STATE, StateText(present, value));

    present = DeviceDword(REG_ADAPTER_KEY, REG_WIFI_VALUE, &value);
    SetTextIfChanged(
        hWnd, IDC_WIFI_PARAM,
        !present ? L"not set"
                 : std::to_wstring(value) + (value ? L" (switched on)" : L" (switched off)"));

    SetTextIfChanged(
        hWnd, IDC_DOMAIN,
        NamedDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 2, DomainName, L" (no such domain)"));

    present = DeviceDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE, &value);
    SetTextIfChanged(hWnd, IDC_CHANNELS, ChannelText(present, value));

    present = DeviceDword(REG_OEM_KEY, REG_WIFI_VALUE, &value);
    SetTextIfChanged(
        hWnd, IDC_OEM,
        !present ? L"not set (off)" : std::to_wstring(value) + (value ? L" (on)" : L" (off)"));

    SetTextIfChanged(hWnd, IDC_LOCALE,
                     NamedDword(REG_LOCALE_KEY, REG_LCID_VALUE, 4, LocaleName, L""));

    SetTextIfChanged(hWnd, IDC_STATUS_FILE, StatusFileView());
    SetTextIfChanged(hWnd, IDC_CARD, CardView());
    SetTextIfChanged(hWnd, IDC_KERNEL, KernelView());
    SetTextIfChanged(hWnd, IDC_FAULTS, FaultsView());

    SetCheck(hWnd, IDC_REFUSE_RESET, Setting(SIM_SETTING_REFUSE_COLD_RESET, 0) != 0);
    SetCheck(hWnd, IDC_FAIL_ACT, Setting(SIM_SETTING_FAIL_ACTIVATION, 0) != 0);
    SetCheck(hWnd, IDC_STUCK, Setting(SIM_SETTING_STATE_STUCK, 0) != 0);
    SyncSelectors(hWnd);
    RefreshCountry(hWnd);  // the stored domain there
}

// The console's own reading of the device clock, and the clock that programs
// started from now on will get from the settings (unless HANDHELD_CLOCK says).
void RefreshClock(HWND hWnd)
{
    typedef void(WINAPI * GETLOCALTIME)(LPSYSTEMTIME);
    static GETLOCALTIME pfnDeviceTime =
        (GETLOCALTIME)(void*)GetProcAddress(GetModuleHandleW(L"coredll.dll"), "GetLocalTime");
    SYSTEMTIME st = {};
    if (pfnDeviceTime) {
        pfnDeviceTime(&st);
    }
    static const wchar_t* const aModes[] = {L"real", L"virtual", L"scaled"};
    DWORD mode = SimClockMode();
    WCHAR text[256];
    swprintf(text, 256, L"%02u:%02u:%02u.%03u, %ls clock, %llu ms since this console began",
             st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, mode < 3 ? aModes[mode] : L"?",
             (unsigned long long)SimNow());
    std::wstring line = text;
    DWORD setting = 0;
    if (HostDword(L"Settings", SIM_SETTING_CLOCK_MODE, &setting)) {
        line += L"; programs started now: ";
        line += setting < 3 ? aModes[setting] : L"?";
        if (setting == 2) {
            line += L" x" + std::to_wstring(Setting(SIM_SETTING_CLOCK_SCALE, 1));
        }
        if (GetEnvironmentVariableW(L"HANDHELD_CLOCK", NULL, 0) > 0) {
            line += L" (unless HANDHELD_CLOCK is set)";
        }
    }
    SetTextIfChanged(hWnd, IDC_CLOCK, line);
}

// ChannelDomain as fourteen cells, the allowed channels filled.
void DrawChannelRow(const DRAWITEMSTRUCT* pdis)
{
    DWORD mask = 0;
    bool present = DeviceDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE, &mask);
    RECT rc = pdis->rcItem;
    FillRect(pdis->hDC, &rc, GetSysColorBrush(COLOR_BTNFACE));
    int cell = (rc.right - rc.left) / 14;
    HBRUSH hOn = CreateSolidBrush(RGB(40, 150, 60));
    HBRUSH hOff = CreateSolidBrush(RGB(220, 220, 220));
    SetBkMode(pdis->hDC, TRANSPARENT);
    for (int ch = 1; ch <= 14; ch++) {
        RECT box = {rc.left + (ch - 1) * cell + 1, rc.top + 1, rc.left + ch * cell - 1,
                    rc.bottom - 1};
        bool on = present && (mask & (1u << (ch - 1)));
        FillRect(pdis->hDC, &box, on ? hOn : hOff);
        SetTextColor(pdis->hDC, on ? RGB(255, 255, 255) : RGB(110, 110, 110));
        WCHAR label[4];
        swprintf(label, 4, L"%d", ch);
        DrawTextW(pdis->hDC, label, -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    }
    DeleteObject(hOn);
    DeleteObject(hOff);
}

// The setting each selector shows now; it is selected again only when the
// device's setting changes, so a choice not yet applied survives refreshes.
static DWORD g_shownLocale = 0xFFFFFFFF;  // none shown yet
static DWORD g_shownClock = 0xFFFFFFFF;

void SyncSelectors(HWND hWnd)
{
    DWORD lcid = 0;
    if (!DeviceDword(REG_LOCALE_KEY, REG_LCID_VALUE, &lcid)) {
        lcid = 0;  // the "none" row
    }
    if (lcid != g_shownLocale) {
        g_shownLocale = lcid;
        int index = -1;  // a locale the list does not have: nothing selected
        for (size_t i = 0; i < kLocaleCount; i++) {
            index = kLocales[i].value == lcid ? (int)i : index;
        }
        SendDlgItemMessageW(hWnd, IDC_LOCALE_LIST, CB_SETCURSEL, (WPARAM)index, 0);
    }
    // Without the setting, programs get the real clock.
    DWORD mode = Setting(SIM_SETTING_CLOCK_MODE, SIM_CLOCK_REAL);
    DWORD scale = mode == SIM_CLOCK_SCALED ? Setting(SIM_SETTING_CLOCK_SCALE, 1) : 1;
    DWORD clock = mode << 16 | (scale & 0xFFFF);
    if (clock != g_shownClock) {
        g_shownClock = clock;
        int index = -1;
        for (size_t i = 0; i < kClockCount; i++) {
            if (kClocks[i].value == mode &&
                (mode != SIM_CLOCK_SCALED || kClocks[i].scale == scale)) {
                index = (int)i;
            }
        }
        SendDlgItemMessageW(hWnd, IDC_CLOCK_LIST, CB_SETCURSEL, (WPARAM)index, 0);
    }
}
