// main.cpp - handheld-console.exe: shows one simulated handheld live and lets
// the user make its platform act. It is the device's side, not a client of
// the Wi-Fi library: it never loads Rendak.dll.
//
//   handheld-console.exe [--device NAME] [--beside TITLE]   the console
//   handheld-console.exe [--device NAME] --act ACTION       one action, as a button does it
//   handheld-console.exe --help
//
// The views follow host registry notifications on the device's keys; a timer
// of 400 ms moves the clock and reads the debug output's tail.
#include "console.h"

#include <handheld.h>
#include <shellapi.h>
#include <stdio.h>

// The console watches the device from outside: a power cut or a restart of
// the device ends the device's own programs, never the console (or its --act
// helpers).
extern "C" __declspec(dllexport) const int HandheldObserver = 1;

#define REFRESH_TIMER 1
#define REFRESH_MS 400
#define BACKSTOP_TICKS 5

static HWND g_console = NULL;  // the console's window
static DWORD g_boot = 0;       // the device's boot count as last seen

// A restart seen: the device's registry may have been restored, and the
// platform's cached handle on it must be taken afresh.
static void NoteBoot(HWND hWnd)
{
    DWORD boot = KernelCount(L"Boot");
    if (boot == g_boot) {
        return;
    }
    g_boot = boot;
    SimSelectDevice(g_device);
    std::wstring line = L"--- the device restarted (boot " + std::to_wstring(boot) + L") ---";
    SendDlgItemMessageW(hWnd, IDC_LOG, LB_ADDSTRING, 0, (LPARAM)line.c_str());
}

static void Refresh(HWND hWnd)
{
    NoteBoot(hWnd);
    RefreshViews(hWnd);
    InvalidateRect(GetDlgItem(hWnd, IDC_CHANNEL_ROW), NULL, FALSE);
}

// Any watched key changed: watch again first, so no later change is missed.
static bool PollWatch(HWND hWnd)
{
    HANDLE aHandles[WATCH_MAX];
    bool abFired[WATCH_MAX] = {};
    DWORD n = WatchHandles(aHandles, WATCH_MAX);
    bool changed = false;
    for (DWORD i = 0; i < n; i++) {
        abFired[i] = WaitForSingleObject(aHandles[i], 0) == WAIT_OBJECT_0;
        changed = changed || abFired[i];
    }
    // A watched key deleted (a factory reset) or a restart: watch the keys made anew.
    changed = changed || WatchIsStale() || KernelCount(L"Boot") != g_boot;
    if (changed) {
        WatchRearm(abFired);
        Refresh(hWnd);
    }
    return changed;
}

static VOID CALLBACK OnTimer(HWND hWnd, UINT, UINT_PTR, DWORD)
{
    // Also here: a modal loop (a moved window) does not run the main loop.
    // Under Wine a re-armed host notification is now and then not signalled;
    // every fifth tick (2 s) the views are read again whatever was heard.
    static unsigned s_uTicks = 0;
    if (!PollWatch(hWnd) && ++s_uTicks % BACKSTOP_TICKS == 0) {
        Refresh(hWnd);
    }
    RefreshClock(hWnd);
    LogTail(GetDlgItem(hWnd, IDC_LOG), false);
    PlaceBesideTick(hWnd);
}

struct Args {
    std::wstring device, action, beside;
    bool help = false;
};

// An empty error when the arguments are good; else what is wrong with them.
static std::wstring ParseArgs(Args* pArgs)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring error = argv ? L"" : L"cannot read the command line";
    for (int i = 1; error.empty() && i < argc; i++) {
        std::wstring arg = argv[i];
        std::wstring* target = arg == L"--device"   ? &pArgs->device
                               : arg == L"--act"    ? &pArgs->action
                               : arg == L"--beside" ? &pArgs->beside
                                                    : NULL;
        if (arg == L"--help" || arg == L"-h") {
            pArgs->help = true;
        } else if (!target) {
            error = L"unknown argument \"" + arg + L"\"";
        } else if (i + 1 >= argc) {
            error = arg + L" needs a value";
        } else {
            *target = argv[++i];
        }
    }
    LocalFree(argv);
    return error;
}

static std::wstring HelpText()
{
    return L"usage: handheld-console.exe [--device NAME] [--beside TITLE]\n"
           L"       handheld-console.exe [--device NAME] --act ACTION\n"
           L"\n"
           L"Shows the simulated handheld NAME (default: HANDHELD_DEVICE, else \"default\")\n"
           L"live, with controls that make its platform act.\n"
           L"\n"
           L"  --device NAME   the device\n"
           L"  --beside TITLE  stand beside the window titled TITLE once it shows (run.sh:\n"
           L"                  the panel); with no room beside it, that window moves to the\n"
           L"                  screen's left edge\n"
           L"  --act ACTION    do one action as its control does, say what was done, and\n"
           L"                  end: exit code 0 done, 1 failed, 2 unknown action (or a\n"
           L"                  country-CC that names no country)\n"
           L"  -h, --help      this text\n"
           L"  --version       the console's version, alone on the line\n"
           L"\n"
           L"actions (ACTION, then the control that does it):\n" +
           ActList();
}

static int Usage(const std::wstring& why)
{
    fwprintf(stderr, L"handheld-console: %ls\n\n%ls", why.c_str(), HelpText().c_str());
    fflush(stderr);
    return 2;
}

int WINAPI wWinMain(HINSTANCE hInst, HINSTANCE, LPWSTR, int nShow)
{
    if (__argc == 2 && wcscmp(__wargv[1], L"--version") == 0) {
        fwprintf(stdout, L"handheld-console %ls\n", L"" RENDAK_VERSION);
        return 0;
    }
    Args args;
    std::wstring error = ParseArgs(&args);
    if (!error.empty()) {
        return Usage(error);
    }
    if (args.help) {
        fwprintf(stdout, L"%ls", HelpText().c_str());
        fflush(stdout);
        return 0;
    }
    if (!args.device.empty() && !SimSelectDevice(args.device.c_str())) {
        return Usage(L"not a device name: \"" + args.device + L"\"");
    }
    wcsncpy(g_device, SimDeviceName(), 63);
    g_device[63] = L'\0';
    if (!args.action.empty()) {
        return RunAct(args.action.c_str());
    }

    g_console = CreateConsoleWindow(hInst);
    if (!g_console) {
        return 1;
    }
    g_boot = KernelCount(L"Boot");
    WatchStart();
    RefreshViews(g_console);
    RefreshClock(g_console);
    LogTail(GetDlgItem(g_console, IDC_LOG), true);
    SetTimer(g_console, REFRESH_TIMER, REFRESH_MS, OnTimer);
    if (!args.beside.empty()) {
        PlaceBeside(g_console, args.beside);
    }
    ShowWindow(g_console, nShow);
    UpdateWindow(g_console);

    HANDLE aHandles[WATCH_MAX];
    DWORD n = WatchHandles(aHandles, WATCH_MAX);
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(n, aHandles, FALSE, INFINITE, QS_ALLINPUT);
        if (r < WAIT_OBJECT_0 + n) {
            PollWatch(g_console);
        }
        // Messages are taken after every wake, so a busy device cannot starve them.
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                return (int)msg.wParam;
            }
            if (!IsDialogMessageW(g_console, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
    }
}
