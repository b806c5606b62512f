// actions.cpp - the console's controls: each makes the simulated platform act
// and says in the message line what it did.
//
// The adapter's own actions (the card, the stuck state value) run in a short
// helper process of this program: the platform ties every process that has
// touched the adapter to the device's boot, and ends it when the device
// restarts. The console itself must outlive a reboot, so it never does.
#include "console.h"

#include <handheld_devmgr.h>
#include <handheld_radio.h>

const Choice g_aLocales[] = {
    {L"0x0409 English, United States", 0x0409, 0},
    {L"0x0404 Chinese, Taiwan", 0x0404, 0},
    {L"0x0410 Italian, Italy", 0x0410, 0},
    {L"0x0407 German (no string library)", 0x0407, 0},
    {L"none (SystemLCID deleted)", 0, 0},
};
const size_t g_cLocales = sizeof(g_aLocales) / sizeof(g_aLocales[0]);

const Choice g_aClocks[] = {
    {L"real", SIM_CLOCK_REAL, 1},          {L"scaled x2", SIM_CLOCK_SCALED, 2},
    {L"scaled x10", SIM_CLOCK_SCALED, 10}, {L"scaled x60", SIM_CLOCK_SCALED, 60},
    {L"virtual", SIM_CLOCK_VIRTUAL, 1},
};
const size_t g_cClocks = sizeof(g_aClocks) / sizeof(g_aClocks[0]);

void SetMessage(HWND hWnd, const std::wstring& text)
{
    SetDlgItemTextW(hWnd, IDC_MESSAGE, text.c_str());
}

static std::wstring ErrorText(DWORD error)
{
    return L"error " + std::to_wstring(error);
}

// Runs this program as a helper for one adapter action and waits for it.
static bool RunHelper(const wchar_t* pszAction, DWORD* pdwExit)
{
    WCHAR exe[MAX_PATH];
    GetModuleFileNameW(NULL, exe, MAX_PATH);
    std::wstring command =
        std::wstring(L"\"") + exe + L"\" --device " + g_szDevice + L" --act " + pszAction;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        *pdwExit = GetLastError();
        return false;
    }
    bool done = WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0;
    if (!done) {
        TerminateProcess(pi.hProcess, 99);
    }
    GetExitCodeProcess(pi.hProcess, pdwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return done && *pdwExit == 0;
}

static BOOL Eject()
{
    return SimEjectCard();
}
static BOOL Insert()
{
    return SimInsertCard(TRUE);
}
static BOOL StuckOn()
{
    // Without the adapter the value is 0; the setting shows once it is back.
    SimSetStateStuck(TRUE);
    return TRUE;
}
static BOOL StuckOff()
{
    SimSetStateStuck(FALSE);
    return TRUE;
}

int RunHelperAction(const wchar_t* pszAction)
{
    static const struct {
        const wchar_t* name;
        BOOL (*pfn)();
    } aActions[] = {
        {L"eject", Eject},
        {L"insert", Insert},
        {L"stuck-on", StuckOn},
        {L"stuck-off", StuckOff},
    };
    for (const auto& a : aActions) {
        if (wcscmp(pszAction, a.name) == 0) {
            return a.pfn() ? 0 : 1;
        }
    }
    return 2;
}

static void Helper(HWND hWnd, const wchar_t* pszAction, const std::wstring& done)
{
    DWORD code = 0;
    if (RunHelper(pszAction, &code)) {
        SetMessage(hWnd, done);
    } else {
        SetMessage(hWnd, std::wstring(L"could not ") + pszAction + L" (" + ErrorText(code) + L")");
    }
}

static void SetDeviceDword(HWND hWnd, const wchar_t* key, const wchar_t* value, DWORD data,
                           const std::wstring& done)
{
    SetMessage(hWnd,
               SimRegSetDword(key, value, data) ? done : L"could not write " + std::wstring(key));
}

static void ToggleSetting(HWND hWnd, const wchar_t* name, const wchar_t* on, const wchar_t* off)
{
    bool now = Setting(name, 0) != 0;
    if (!SimSetSetting(name, now ? 0 : 1)) {
        SetMessage(hWnd, std::wstring(L"could not change ") + name);
        return;
    }
    SetMessage(hWnd, now ? off : on);
}

static LRESULT Selection(HWND hWnd, int id)
{
    return SendDlgItemMessageW(hWnd, id, CB_GETCURSEL, 0, 0);
}

static void SetLocale(HWND hWnd)
{
    LRESULT i = Selection(hWnd, IDC_LOCALE_LIST);
    if (i < 0 || (size_t)i >= g_cLocales) {
        SetMessage(hWnd, L"choose a locale first");
        return;
    }
    if (g_aLocales[i].value == 0) {
        SimRegDeleteValue(NLS_KEY, L"SystemLCID");
        SetMessage(hWnd, L"SystemLCID deleted");
        return;
    }
    SetDeviceDword(hWnd, NLS_KEY, L"SystemLCID", g_aLocales[i].value,
                   std::wstring(L"locale set to ") + g_aLocales[i].text);
}

// Each process decides its clock when it starts: the setting reaches the
// programs started from now on (where HANDHELD_CLOCK does not say otherwise).
static void SetClockSpeed(HWND hWnd)
{
    LRESULT i = Selection(hWnd, IDC_CLOCK_LIST);
    if (i < 0 || (size_t)i >= g_cClocks) {
        SetMessage(hWnd, L"choose a clock first");
        return;
    }
    bool ok = SimSetSetting(L"ClockMode", g_aClocks[i].value) &&
              SimSetSetting(L"ClockScale", g_aClocks[i].scale);
    SetMessage(hWnd,
               ok ? std::wstring(L"clock for programs started from now on: ") + g_aClocks[i].text
                  : L"could not change the clock settings");
}

// Signals the reload event from outside, as any other program on the device
// would: opened by name in the device's namespace and set with EventModify.
static void SignalReload(HWND hWnd)
{
    typedef HANDLE(WINAPI * OPENEVENTW)(DWORD, BOOL, LPCWSTR);
    typedef BOOL(WINAPI * CLOSEHANDLE)(HANDLE);
    HMODULE hCore = GetModuleHandleW(L"coredll.dll");
    OPENEVENTW pfnOpen = (OPENEVENTW)(void*)GetProcAddress(hCore, "OpenEventW");
    CLOSEHANDLE pfnClose = (CLOSEHANDLE)(void*)GetProcAddress(hCore, "CloseHandle");
    HANDLE hEvent = pfnOpen ? pfnOpen(EVENT_MODIFY_STATE, FALSE, RELOAD_EVENT) : NULL;
    if (hEvent == NULL) {
        DWORD error = GetLastError();
        SetMessage(hWnd,
                   L"no program on the device holds " RELOAD_EVENT L" (" + ErrorText(error) + L")");
        return;
    }
    BOOL ok = EventModify(hEvent, EVENT_SET);
    DWORD error = GetLastError();
    pfnClose(hEvent);
    SetMessage(hWnd, ok ? L"" RELOAD_EVENT L" signalled"
                        : L"could not set the event (" + ErrorText(error) + L")");
}

BOOL RunControl(HWND hWnd, int id)
{
    // The device may have been restored since the last action: work on its
    // registry as it is now.
    SimSelectDevice(g_szDevice);
    switch (id) {
    case IDC_EJECT:
        Helper(hWnd, L"eject", L"card ejected");
        break;
    case IDC_INSERT:
        Helper(hWnd, L"insert", L"card inserted, driver loaded");
        break;
    case IDC_OEM_ON:
        SetDeviceDword(hWnd, OEM_KEY, L"WIFI", 1, L"OEM Wi-Fi switch on");
        break;
    case IDC_OEM_OFF:
        SetDeviceDword(hWnd, OEM_KEY, L"WIFI", 0, L"OEM Wi-Fi switch off");
        break;
    case IDC_LOCALE_SET:
        SetLocale(hWnd);
        break;
    case IDC_REFUSE_RESET:
        ToggleSetting(hWnd, L"RefuseColdReset", L"the kernel refuses cold resets",
                      L"the kernel accepts cold resets");
        break;
    case IDC_FAIL_NEXT_ACT:
        SetMessage(hWnd, SimSetFault(L"ActivateDeviceEx", DRIVER_KEY, ERROR_GEN_FAILURE, TRUE)
                             ? L"the next driver activation fails (error 31)"
                             : L"could not set the fault");
        break;
    case IDC_FAIL_ACT:
        ToggleSetting(hWnd, L"FailActivation", L"every driver activation fails",
                      L"driver activations succeed");
        break;
    case IDC_STUCK:
        if (Setting(L"StateStuck", 0)) {
            Helper(hWnd, L"stuck-off", L"the state value settles again");
        } else {
            Helper(hWnd, L"stuck-on", L"the state value keeps its switching bit");
        }
        break;
    case IDC_SIGNAL:
        SignalReload(hWnd);
        break;
    case IDC_CLOCK_SET:
        SetClockSpeed(hWnd);
        break;
    case IDC_FACTORY:
        SetMessage(hWnd, SimResetDevice() ? L"factory state restored"
                                          : L"could not restore the factory state");
        break;
    default:
        return FALSE;
    }
    RefreshViews(hWnd);
    return TRUE;
}
