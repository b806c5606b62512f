// shell.cpp - the handheld shell's helpers. On the desktop there is no soft
// input panel or shell to tell: each does what a user would notice of it.
#define CE_IMPORT
#define WINCE_HOST_CRT
#include <wince.h>

extern "C" {

// The device's extra controls are the desktop's common controls.
BOOL WINAPI ShInitExtraControls(void)
{
    return TRUE;
}

// Keeps the activation record current; there is no input panel to restore.
BOOL WINAPI ShHandleWMActivate(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* psai,
                               DWORD dwFlags)
{
    (void)hwnd, (void)lParam, (void)dwFlags;
    if (psai == NULL) {
        return FALSE;
    }
    psai->fActive = LOWORD(wParam) != WA_INACTIVE;
    return TRUE;
}

// A setting change needs no work on the desktop.
BOOL WINAPI ShHandleWMSettingChange(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* psai)
{
    (void)hwnd, (void)wParam, (void)lParam;
    return psai != NULL;
}

}  // extern "C"
