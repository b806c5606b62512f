// actions.cpp - what the console can make the simulated platform do: one
// table of actions, pressed as the console's buttons or run by name with
// --act, each saying what it did.
//
// The adapter's own actions (the card, the stuck state value) run in a short
// helper process of this program when a button asks: the platform ties every
// process that has touched the adapter to the device's boot, and ends it when
// the device restarts. The console itself must outlive a reboot, so it never
// does. Run with --act, the process is that helper.
#include "console.h"

#include <handheld_devmgr.h>
#include <handheld_radio.h>

#include <stdio.h>

const Choice kLocales[] = {
    {L"0x0409 English, United States", 0x0409, 0, L"locale-0409"},
    {L"0x0404 Chinese, Taiwan", 0x0404, 0, L"locale-0404"},
    {L"0x0410 Italian, Italy", 0x0410, 0, L"locale-0410"},
    {L"0x0407 German (no string library)", 0x0407, 0, L"locale-0407"},
    {L"none (SystemLCID deleted)", 0, 0, L"locale-none"},
};
const size_t kLocaleCount = sizeof(kLocales) / sizeof(kLocales[0]);

const Choice kClocks[] = {
    {L"real", SIM_CLOCK_REAL, 1, L"clock-real"},
    {L"scaled x2", SIM_CLOCK_SCALED, 2, L"clock-x2"},
    {L"scaled x10", SIM_CLOCK_SCALED, 10, L"clock-x10"},
    {L"scaled x60", SIM_CLOCK_SCALED, 60, L"clock-x60"},
    {L"virtual", SIM_CLOCK_VIRTUAL, 1, L"clock-virtual"},
};
const size_t kClockCount = sizeof(kClocks) / sizeof(kClocks[0]);

void SetMessage(HWND hWnd, const std::wstring& text)
{
    SetDlgItemTextW(hWnd, IDC_MESSAGE, text.c_str());
}

static std::wstring ErrorText(DWORD error)
{
    return L"error " + std::to_wstring(error);
}

// --- what each action does; true when done, with what to say -------------------------

static bool Eject(std::wstring* pSay)
{
    *pSay = L"card ejected";
    return SimEjectCard() != FALSE;
}

static bool Insert(std::wstring* pSay)
{
    *pSay = L"card inserted, driver loaded";
    return SimInsertCard(TRUE) != FALSE;
}

static bool StuckOn(std::wstring* pSay)
{
    // Without the adapter the value is 0; the setting shows once it is back.
    SimSetStateStuck(TRUE);
    *pSay = L"the state value keeps its switching bit";
    return true;
}

static bool StuckOff(std::wstring* pSay)
{
    SimSetStateStuck(FALSE);
    *pSay = L"the state value settles again";
    return true;
}

static bool SetDeviceDword(const wchar_t* key, const wchar_t* value, DWORD data,
                           const wchar_t* done, std::wstring* pSay)
{
    bool ok = SimRegSetDword(key, value, data) != FALSE;
    *pSay = ok ? done : L"could not write " + std::wstring(key);
    return ok;
}

static bool OemOn(std::wstring* pSay)
{
    return SetDeviceDword(REG_OEM_KEY, REG_WIFI_VALUE, 1, L"OEM Wi-Fi switch on", pSay);
}

static bool OemOff(std::wstring* pSay)
{
    return SetDeviceDword(REG_OEM_KEY, REG_WIFI_VALUE, 0, L"OEM Wi-Fi switch off", pSay);
}

static bool SetSetting(const wchar_t* name, DWORD value, const wchar_t* done, std::wstring* pSay)
{
    bool ok = SimSetSetting(name, value) != FALSE;
    *pSay = ok ? done : std::wstring(L"could not change ") + name;
    return ok;
}

static bool RefuseReset(std::wstring* pSay)
{
    return SetSetting(SIM_SETTING_REFUSE_COLD_RESET, 1, L"the kernel refuses cold resets", pSay);
}

static bool AcceptReset(std::wstring* pSay)
{
    return SetSetting(SIM_SETTING_REFUSE_COLD_RESET, 0, L"the kernel accepts cold resets", pSay);
}

static bool ActivationFails(std::wstring* pSay)
{
    return SetSetting(SIM_SETTING_FAIL_ACTIVATION, 1, L"every driver activation fails", pSay);
}

static bool ActivationOk(std::wstring* pSay)
{
    return SetSetting(SIM_SETTING_FAIL_ACTIVATION, 0, L"driver activations succeed", pSay);
}

static bool FailNextActivation(std::wstring* pSay)
{
    bool ok = SimSetFault(L"ActivateDeviceEx", PCCARD_DRIVER_KEY, ERROR_GEN_FAILURE, TRUE) != FALSE;
    *pSay = ok ? L"the next driver activation fails (error 31)" : L"could not set the fault";
    return ok;
}

static bool ClearFaults(std::wstring* pSay)
{
    SimClearFaults();
    *pSay = L"every fault cleared";
    return true;
}

// Signals the reload event from outside, as any other program on the device
// would: opened by name in the device's namespace and set with EventModify.
static bool SignalReload(std::wstring* pSay)
{
    typedef HANDLE(WINAPI * OPENEVENTW)(DWORD, BOOL, LPCWSTR);
    typedef BOOL(WINAPI * CLOSEHANDLE)(HANDLE);
    HMODULE hCore = GetModuleHandleW(L"coredll.dll");
    OPENEVENTW pfnOpen = (OPENEVENTW)(void*)GetProcAddress(hCore, "OpenEventW");
    CLOSEHANDLE pfnClose = (CLOSEHANDLE)(void*)GetProcAddress(hCore, "CloseHandle");
    HANDLE hEvent = pfnOpen ? pfnOpen(EVENT_MODIFY_STATE, FALSE, RELOAD_EVENT_NAME) : NULL;
    if (hEvent == NULL) {
        *pSay = L"no program on the device holds " RELOAD_EVENT_NAME L" (" +
                ErrorText(GetLastError()) + L")";
        return false;
    }
    BOOL ok = EventModify(hEvent, EVENT_SET);
    DWORD error = GetLastError();
    pfnClose(hEvent);
    *pSay = ok ? L"" RELOAD_EVENT_NAME L" signalled"
               : L"could not set the event (" + ErrorText(error) + L")";
    return ok != FALSE;
}

// Pulls the battery. This process is never ended by it, nor is any program
// that exports HandheldObserver (the console itself).
static bool PowerCut(std::wstring* pSay)
{
    DWORD ended = SimPowerCut();
    *pSay = L"power cut: " + std::to_wstring(ended) +
            L" process(es) of the device ended; it started again from what it had committed";
    return true;
}

static bool Factory(std::wstring* pSay)
{
    bool ok = SimResetDevice() != FALSE;
    *pSay = ok ? L"factory state restored" : L"could not restore the factory state";
    return ok;
}

// Every action by name, with the control that does it.
static const Act kActs[] = {
    {L"eject", IDC_EJECT, L"Eject card", true, Eject},
    {L"insert", IDC_INSERT, L"Insert card (its bus loads the driver)", true, Insert},
    {L"oem-on", IDC_OEM_ON, L"OEM switch on", false, OemOn},
    {L"oem-off", IDC_OEM_OFF, L"OEM switch off", false, OemOff},
    {L"signal", IDC_SIGNAL, L"Signal reload", false, SignalReload},
    {L"factory", IDC_FACTORY, L"Factory state", false, Factory},
    {L"power-cut", IDC_POWER_CUT, L"Power cut", true, PowerCut},
    {L"refuse-reset", IDC_REFUSE_RESET, L"Refuse cold reset (checked)", false, RefuseReset},
    {L"accept-reset", IDC_REFUSE_RESET, L"Refuse cold reset (unchecked)", false, AcceptReset},
    {L"fail-next-activation", IDC_FAIL_NEXT_ACT, L"Fail next activation", false,
     FailNextActivation},
    {L"activation-fails", IDC_FAIL_ACT, L"Activation always fails (checked)", false,
     ActivationFails},
    {L"activation-ok", IDC_FAIL_ACT, L"Activation always fails (unchecked)", false, ActivationOk},
    {L"stuck-on", IDC_STUCK, L"State value stuck (checked)", true, StuckOn},
    {L"stuck-off", IDC_STUCK, L"State value stuck (unchecked)", true, StuckOff},
    {L"clear-faults", IDC_CLEAR_FAULTS, L"Clear faults", false, ClearFaults},
};

static bool ApplyLocale(size_t i, std::wstring* pSay)
{
    if (kLocales[i].value == 0) {
        SimRegDeleteValue(REG_LOCALE_KEY, REG_LCID_VALUE);
        *pSay = L"SystemLCID deleted";
        return true;
    }
    return SetDeviceDword(REG_LOCALE_KEY, REG_LCID_VALUE, kLocales[i].value,
                          (std::wstring(L"locale set to ") + kLocales[i].text).c_str(), pSay);
}

// Each process decides its clock when it starts: the setting reaches the
// programs started from now on (where HANDHELD_CLOCK does not say otherwise).
static bool ApplyClock(size_t i, std::wstring* pSay)
{
    bool ok = SimSetSetting(SIM_SETTING_CLOCK_MODE, kClocks[i].value) &&
              SimSetSetting(SIM_SETTING_CLOCK_SCALE, kClocks[i].scale);
    *pSay = ok ? std::wstring(L"clock for programs started from now on: ") + kClocks[i].text
               : L"could not change the clock settings";
    return ok;
}

#define COUNTRY_ACT L"country-"  // country-CC: the country field for CC

// The action called pszName, done in this process: 0 done, 1 failed, 2 a
// country that is none; -1 when there is no such action.
static int Perform(const wchar_t* pszName, std::wstring* pSay)
{
    if (wcsncmp(pszName, COUNTRY_ACT, wcslen(COUNTRY_ACT)) == 0) {
        return CountryAct(pszName + wcslen(COUNTRY_ACT), pSay);
    }
    for (const Act& a : kActs) {
        if (wcscmp(pszName, a.name) == 0) {
            return a.pfn(pSay) ? 0 : 1;
        }
    }
    for (size_t i = 0; i < kLocaleCount; i++) {
        if (wcscmp(pszName, kLocales[i].act) == 0) {
            return ApplyLocale(i, pSay) ? 0 : 1;
        }
    }
    for (size_t i = 0; i < kClockCount; i++) {
        if (wcscmp(pszName, kClocks[i].act) == 0) {
            return ApplyClock(i, pSay) ? 0 : 1;
        }
    }
    return -1;
}

std::wstring ActList()
{
    std::wstring list;
    for (const Act& a : kActs) {
        wchar_t line[160];
        swprintf(line, 160, L"  %-22ls %ls\n", a.name, a.control);
        list += line;
    }
    for (size_t i = 0; i < kLocaleCount; i++) {
        list += L"  " + std::wstring(kLocales[i].act) +
                std::wstring(23 - wcslen(kLocales[i].act), L' ') + L"Set locale: " +
                kLocales[i].text + L"\n";
    }
    for (size_t i = 0; i < kClockCount; i++) {
        list += L"  " + std::wstring(kClocks[i].act) +
                std::wstring(23 - wcslen(kClocks[i].act), L' ') + L"Set clock: " + kClocks[i].text +
                L"\n";
    }
    list +=
        L"  " COUNTRY_ACT L"CC             Country: the row to store in CC, the stored one there\n";
    return list;
}

int RunAct(const wchar_t* pszAction)
{
    std::wstring say;
    int rc = Perform(pszAction, &say);
    if (rc < 0) {
        fwprintf(stderr, L"handheld-console: unknown action \"%ls\"; the actions are:\n%ls",
                 pszAction, ActList().c_str());
        rc = 2;
    } else {
        fwprintf(rc == 0 ? stdout : stderr, L"%ls\n", say.c_str());
    }
    fflush(stdout);
    fflush(stderr);
    return rc;
}

// Runs this program as a helper for one adapter action and waits for it; what
// it says (its standard output or error) comes back in *pSay.
static bool RunHelper(const wchar_t* pszAction, std::wstring* pSay)
{
    WCHAR exe[MAX_PATH];
    GetModuleFileNameW(NULL, exe, MAX_PATH);
    std::wstring command =
        std::wstring(L"\"") + exe + L"\" --device " + g_device + L" --act " + pszAction;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, TRUE};
    HANDLE hRead = NULL, hWrite = NULL;
    if (!CreatePipe(&hRead, &hWrite, &sa, 4096)) {
        *pSay = L"cannot start a helper (" + ErrorText(GetLastError()) + L")";
        return false;
    }
    SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = NULL;
    si.hStdOutput = si.hStdError = hWrite;
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessW(exe, &command[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi);
    CloseHandle(hWrite);
    if (!started) {
        CloseHandle(hRead);
        *pSay = L"cannot start a helper (" + ErrorText(GetLastError()) + L")";
        return false;
    }
    // Its one line fits the pipe: read it after the helper has ended.
    DWORD code = 99;
    bool done = WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0;
    if (!done) {
        TerminateProcess(pi.hProcess, 99);
    }
    GetExitCodeProcess(pi.hProcess, &code);
    char text[512];
    DWORD got = 0;
    if (!ReadFile(hRead, text, sizeof(text) - 1, &got, NULL)) {
        got = 0;
    }
    text[got] = '\0';
    CloseHandle(hRead);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    std::wstring wide = WideText(line);
    *pSay = done && code == 0
                ? wide
                : std::wstring(L"could not ") + pszAction + L" (" +
                      (wide.empty() ? L"exit code " + std::to_wstring(code) : wide) + L")";
    return done && code == 0;
}

// A button's action: the adapter's in a helper process, the others here.
static void Press(HWND hWnd, const Act& a)
{
    std::wstring say;
    if (a.adapter) {
        RunHelper(a.name, &say);
    } else {
        a.pfn(&say);
    }
    SetMessage(hWnd, say);
}

static LRESULT Selection(HWND hWnd, int id)
{
    return SendDlgItemMessageW(hWnd, id, CB_GETCURSEL, 0, 0);
}

// A check box's action: the one that turns its setting the other way.
static const wchar_t* ToggleAct(int id)
{
    switch (id) {
    case IDC_REFUSE_RESET:
        return Setting(SIM_SETTING_REFUSE_COLD_RESET, 0) ? L"accept-reset" : L"refuse-reset";
    case IDC_FAIL_ACT:
        return Setting(SIM_SETTING_FAIL_ACTIVATION, 0) ? L"activation-ok" : L"activation-fails";
    case IDC_STUCK:
        return Setting(SIM_SETTING_STATE_STUCK, 0) ? L"stuck-off" : L"stuck-on";
    }
    return NULL;
}

BOOL RunControl(HWND hWnd, int id)
{
    // The device may have been restored since the last action: work on its
    // registry as it is now.
    SimSelectDevice(g_device);
    std::wstring say;
    if (id == IDC_LOCALE_SET || id == IDC_CLOCK_SET) {
        bool locale = id == IDC_LOCALE_SET;
        LRESULT i = Selection(hWnd, locale ? IDC_LOCALE_LIST : IDC_CLOCK_LIST);
        if (i < 0 || (size_t)i >= (locale ? kLocaleCount : kClockCount)) {
            SetMessage(hWnd, locale ? L"choose a locale first" : L"choose a clock first");
        } else {
            locale ? ApplyLocale((size_t)i, &say) : ApplyClock((size_t)i, &say);
            SetMessage(hWnd, say);
        }
        RefreshViews(hWnd);
        return TRUE;
    }
    const wchar_t* toggle = ToggleAct(id);
    for (const Act& a : kActs) {
        if (a.id == id && (!toggle || wcscmp(a.name, toggle) == 0)) {
            Press(hWnd, a);
            RefreshViews(hWnd);
            return TRUE;
        }
    }
    return FALSE;
}
