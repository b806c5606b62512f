// shell.cpp - Quenta's entry point: the single-instance check, the main
// window, and the message loop. The main window is only a host: it runs the
// control dialog from its creation and ends the program when that closes.
#include <windows.h>
#include <wince.h>

#include "panel.h"
#include "resource.h"

// ---------------------------------------------------------------------------
// Module-level state
// ---------------------------------------------------------------------------
static HINSTANCE g_hInst = NULL;        // the program's instance, for its resources
static SHACTIVATEINFO g_sActivateInfo;  // the shell's activation record, never written here
static HANDLE g_hInstanceMutex = NULL;  // held for the program's life: one instance a device

// Registers the main window's class; returns its atom, 0 on failure.
static ATOM RegisterMainClass(HINSTANCE hInstance, LPCWSTR pszClassName);
static LRESULT CALLBACK MainWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Makes and shows the main window, unless an instance already runs: that one
// is brought forward instead and FALSE is returned.
static BOOL CreateMainWindow(HINSTANCE hInstance, int nCmdShow)
{
    WCHAR szTitle[MAX_LOADSTRING];
    WCHAR szWindowClass[MAX_LOADSTRING];

    g_hInst = hInstance;
    SHInitExtraControls();
    LoadStringW(hInstance, IDS_APP_TITLE, szTitle, MAX_LOADSTRING);
    LoadStringW(hInstance, IDS_APP_CLASS, szWindowClass, MAX_LOADSTRING);

    // Two instances started at the same moment would both find no window yet:
    // the first to create the device-wide mutex is the one that runs.
    g_hInstanceMutex = CreateMutexW(NULL, FALSE, szWindowClass);
    BOOL bAnotherStarted = g_hInstanceMutex != NULL && GetLastError() == ERROR_ALREADY_EXISTS;
    HWND hWnd = FindWindowW(szWindowClass, szTitle);
    if (hWnd != NULL) {
        // The low bit asks the shell to bring the windows it owns forward too.
        SetForegroundWindow((HWND)((ULONG_PTR)hWnd | 0x1));
        return FALSE;
    }
    if (bAnotherStarted) {
        return FALSE;
    }
    if (RegisterMainClass(hInstance, szWindowClass) == 0) {
        return FALSE;
    }
    // The control dialog runs to its end inside this call (WM_CREATE).
    hWnd = CreateWindowExW(0, szWindowClass, szTitle, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, hInstance, NULL);
    if (hWnd == NULL) {
        return FALSE;
    }
    ShowWindow(hWnd, nCmdShow);
    UpdateWindow(hWnd);
    return TRUE;
}

static ATOM RegisterMainClass(HINSTANCE hInstance, LPCWSTR pszClassName)
{
    WNDCLASSW wc;

    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_APP_ICON));
    wc.hCursor = NULL;
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = NULL;
    wc.lpszClassName = pszClassName;
    return (ATOM)RegisterClassW(&wc);
}

// Runs the control dialog from the program's own template, modally, with no owner.
static void RunControlDialog(void)
{
    HRSRC hResInfo = FindResourceW(g_hInst, MAKEINTRESOURCEW(IDD_CONTROL_DIALOG), RT_DIALOG);
    HGLOBAL hTemplate = hResInfo ? LoadResource(g_hInst, hResInfo) : NULL;
    LPCDLGTEMPLATEW pTemplate = (LPCDLGTEMPLATEW)(hTemplate ? LockResource(hTemplate) : NULL);
    if (pTemplate != NULL) {
        DialogBoxIndirectParamW(g_hInst, pTemplate, NULL, ControlDlgProc, 0);
    }
}

static LRESULT CALLBACK MainWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    PAINTSTRUCT ps;

    switch (uMsg) {
    case WM_CREATE:
        RunControlDialog();
        PostQuitMessage(0);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_ACTIVATE:
        SHHandleWMActivate(hWnd, wParam, lParam, &g_sActivateInfo, 0);
        return 0;
    case WM_PAINT:
        BeginPaint(hWnd, &ps);
        EndPaint(hWnd, &ps);
        return 0;
    case WM_SETTINGCHANGE:
        SHHandleWMSettingChange(hWnd, wParam, lParam, &g_sActivateInfo);
        return 0;
    case WM_COMMAND:
        return 0;  // no command of the main window does anything
    default:
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    MSG msg;

    (void)hPrevInstance, (void)lpCmdLine;
    if (!CreateMainWindow(hInstance, nCmdShow)) {
        return 0;
    }
    HACCEL hAccelTable = LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(IDA_MAIN));
    msg.wParam = 0;
    while (GetMessageW(&msg, NULL, 0, 0)) {
        if (!TranslateAcceleratorW(msg.hwnd, hAccelTable, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return (int)msg.wParam;
}
