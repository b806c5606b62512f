// dialog.cpp - the control dialog: one button per Wi-Fi operation of the
// library, the list of regulatory domains, and the enable states of the four
// life-cycle buttons, which offer only the next sensible step.
#include <windows.h>
#include <wince.h>

#include <Rendak.h>
#include <rendak_domains.h>

#include "panel.h"
#include "resource.h"

#define MSG_CAPTION L"Msg"
#define ERROR_BOX_FLAGS (MB_OK | MB_ICONHAND | MB_SETFOREGROUND)

typedef void(WINAPI* PFN_INITWIFI)(void);
typedef void(WINAPI* PFN_CHANGEWIFIREGULATORY)(int index);

// ---------------------------------------------------------------------------
// Module-level state: the control handles and the library, set once at
// initialisation and kept until the program ends. Every control has its
// handle, also the two that no routine changes (Set Wi-Fi Regulatory and Hard
// Reset stay enabled): the dialog's controls are all known in one place.
// ---------------------------------------------------------------------------
static HWND g_hBtnTurnOn = NULL;         // "Turn on Wi-Fi" (1000)
static HWND g_hBtnTurnOff = NULL;        // "Turn off Wi-Fi" (1001)
static HWND g_hRegulatoryList = NULL;    // the regulatory domains (1002)
static HWND g_hBtnSetRegulatory = NULL;  // "Set Wi-Fi Regulatory" (1003)
static HWND g_hBtnHardReset = NULL;      // "Hard Reset" (1004)
static HWND g_hBtnInitWiFi = NULL;       // "Init Wi-Fi" (1005)
static HWND g_hBtnCloseWiFi = NULL;      // "Close Wi-Fi" (1006)
static HMODULE g_hWiFiLib = NULL;        // Rendak loaded by name; NULL if that failed

// The argument each item of the list passes on, in regulatory index order.
// A table of its own although it is the index today: what an item passes is
// the library's row, and the list's order is the panel's.
static const LONG g_lRegulatoryArgs[RENDAK_DOMAIN_COUNT] = {0, 1, 2, 3, 4, 5, 6};

static void ShowErrorBox(LPCWSTR pszText)
{
    MessageBoxW(GetActiveWindow(), pszText, MSG_CAPTION, ERROR_BOX_FLAGS);
}

// Looks an entry of the library up by name, anew at each use.
static FARPROC FindWiFiEntry(LPCWSTR pszName)
{
    // Without a library there is nothing to look in (a null module would
    // mean this program itself on the desktop).
    return g_hWiFiLib != NULL ? GetProcAddressW(g_hWiFiLib, pszName) : NULL;
}

// ---------------------------------------------------------------------------
// Button states: always Init, Turn on, Turn off, Close, in that order.
// ---------------------------------------------------------------------------

static void SetLifecycleButtons(BOOL bInit, BOOL bTurnOn, BOOL bTurnOff, BOOL bClose)
{
    const struct {
        HWND hWnd;
        BOOL bEnable;
    } aButtons[] = {{g_hBtnInitWiFi, bInit},
                    {g_hBtnTurnOn, bTurnOn},
                    {g_hBtnTurnOff, bTurnOff},
                    {g_hBtnCloseWiFi, bClose}};
    HWND hFocus = GetFocus();
    BOOL bFocusLost = FALSE;
    HWND hFirstEnabled = NULL;
    for (const auto& button : aButtons) {
        EnableWindow(button.hWnd, button.bEnable);
        bFocusLost |= !button.bEnable && button.hWnd == hFocus;
        if (button.bEnable && hFirstEnabled == NULL) {
            hFirstEnabled = button.hWnd;
        }
    }
    // A button that disabled itself must not leave the keyboard without a focus.
    if (bFocusLost && hFirstEnabled != NULL) {
        SendMessageW(GetParent(hFirstEnabled), WM_NEXTDLGCTL, (WPARAM)hFirstEnabled, TRUE);
    }
}

// The stack is not started: only initialising is offered.
static void ShowClosedButtons(void)
{
    SetLifecycleButtons(TRUE, FALSE, FALSE, FALSE);
}

// The radio is on: switch off or close.
static void ShowOnButtons(void)
{
    SetLifecycleButtons(FALSE, FALSE, TRUE, TRUE);
}

// The stack is started and the radio is off: switch on or close.
static void ShowOffButtons(void)
{
    SetLifecycleButtons(FALSE, TRUE, FALSE, TRUE);
}

// ---------------------------------------------------------------------------
// Buttons
// ---------------------------------------------------------------------------

// Starts the Wi-Fi stack once a regulatory domain is set.
static void OnInitWiFiButton(void)
{
    if (IfWiFiRegulatorySet() == 0) {
        ShowErrorBox(L"Please set Wi-Fi regulatory at first!");
        return;
    }
    PFN_INITWIFI pfnInitWiFi = (PFN_INITWIFI)(void*)FindWiFiEntry(L"InitWiFi");
    if (pfnInitWiFi == NULL) {
        ShowErrorBox(L"Calling GetProcAddress() for InitWiFi() inside Rendak.dll fail!");
        return;
    }
    pfnInitWiFi();
    // InitWiFi clears the flag when it found no domain and did not start.
    if (IfWiFiRegulatorySet() == 1) {
        ShowOffButtons();
    }
}

// Stores the regulatory domain selected in the list; "None" is refused.
static void OnSetRegulatoryButton(void)
{
    LRESULT lSel = SendMessageW(g_hRegulatoryList, CB_GETCURSEL, 0, 0);
    if (lSel == CB_ERR || lSel < 0 || lSel >= RENDAK_DOMAIN_COUNT) {
        ShowErrorBox(L"Selecting Wi-Fi regulatory first!");
        return;
    }
    if (lSel == 0) {
        ShowErrorBox(L"Please select valid Wi-Fi regulatory at first!");
        return;
    }
    LONG lArg = g_lRegulatoryArgs[lSel];
    PFN_CHANGEWIFIREGULATORY pfnChange =
        (PFN_CHANGEWIFIREGULATORY)(void*)FindWiFiEntry(L"ChangeWiFiRegulatory");
    if (pfnChange == NULL) {
        ShowErrorBox(
            L"Calling GetProcAddress() for ChangeWiFiRegulatory() inside Rendak.dll fail!");
        return;
    }
    pfnChange((int)lArg);
}

// ---------------------------------------------------------------------------
// Dialog
// ---------------------------------------------------------------------------

// Fills the list, binds the library by name and restores the last Wi-Fi state.
static BOOL OnInitControlDialog(HWND hDlg, HWND hFocus, LPARAM lParam)
{
    (void)hFocus, (void)lParam;
    g_hBtnTurnOn = GetDlgItem(hDlg, IDC_TURN_ON_WIFI);
    g_hBtnTurnOff = GetDlgItem(hDlg, IDC_TURN_OFF_WIFI);
    g_hBtnSetRegulatory = GetDlgItem(hDlg, IDC_SET_REGULATORY);
    g_hRegulatoryList = GetDlgItem(hDlg, IDC_REGULATORY_LIST);
    g_hBtnHardReset = GetDlgItem(hDlg, IDC_HARD_RESET);
    g_hBtnInitWiFi = GetDlgItem(hDlg, IDC_INIT_WIFI);
    g_hBtnCloseWiFi = GetDlgItem(hDlg, IDC_CLOSE_WIFI);

    for (int i = 0; i < RENDAK_DOMAIN_COUNT; i++) {
        SendMessageW(g_hRegulatoryList, CB_ADDSTRING, 0, (LPARAM)g_aRendakDomains[i].pszName);
    }

    g_hWiFiLib = LoadLibraryW(L"Rendak.dll");
    if (g_hWiFiLib == NULL) {
        ShowErrorBox(L"Loading Rendak.dll fail!");
        return TRUE;
    }
    ShowClosedButtons();
    SendMessageW(g_hRegulatoryList, CB_SETCURSEL, (WPARAM)GetLastWiFiRegulatoryIndex(), 0);
    if (IfWiFiHasTurnedOn() == 1) {
        MessageBoxW(GetForegroundWindow(), L"The WiFi reg has turned last time.", MSG_CAPTION,
                    MB_OK | MB_ICONINFORMATION);
        DirectlyTurnOnWiFi();
        ShowOnButtons();
    }
    return TRUE;
}

// Acts on a command by its identifier alone; unknown identifiers do nothing.
static void OnControlCommand(HWND hDlg, int id, HWND hCtl, UINT codeNotify)
{
    (void)hCtl, (void)codeNotify;
    switch (id) {
    case IDCANCEL:
        CloseWiFi();
        EndDialog(hDlg, 0);
        break;
    case IDC_TURN_ON_WIFI:
        TurnOnWiFiModule();
        ShowOnButtons();
        break;
    case IDC_TURN_OFF_WIFI:
        TurnOffWiFiModule();
        ShowOffButtons();
        break;
    case IDC_SET_REGULATORY:
        OnSetRegulatoryButton();
        break;
    case IDC_HARD_RESET:
        HardReset();
        break;
    case IDC_INIT_WIFI:
        OnInitWiFiButton();
        break;
    case IDC_CLOSE_WIFI:
        CloseWiFi();
        ShowClosedButtons();
        break;
    default:
        break;
    }
}

INT_PTR CALLBACK ControlDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_INITDIALOG:
        return OnInitControlDialog(hDlg, (HWND)wParam, lParam);
    case WM_COMMAND:
        OnControlCommand(hDlg, LOWORD(wParam), (HWND)lParam, HIWORD(wParam));
        SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, 0);
        return TRUE;
    default:
        return FALSE;
    }
}
