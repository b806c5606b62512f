// windows.cpp - the device's windows. On the device every window is the
// device's; here the prefix's windows are shared by every simulated device,
// so the look-ups the device makes see only the windows of processes on the
// same device, and the device's way of bringing an application forward
// (SetForegroundWindow with the window's low bit set) is emulated.
#include "sim.h"

static bool OnThisDevice(HWND hWnd)
{
    DWORD pid = 0;
    if (hWnd == NULL || GetWindowThreadProcessId(hWnd, &pid) == 0) {
        return false;
    }
    return ProcessIsOnDevice(pid, DeviceName());
}

struct ThreadWindows {
    HWND hMain;
    HWND hFront;  // the window of the application to bring forward
};

static BOOL CALLBACK ChooseFront(HWND hWnd, LPARAM lParam)
{
    ThreadWindows* p = reinterpret_cast<ThreadWindows*>(lParam);
    if (hWnd != p->hMain && IsWindowVisible(hWnd) && IsWindowEnabled(hWnd)) {
        p->hFront = hWnd;  // the first in z-order: the one the user last had
        return FALSE;
    }
    return TRUE;
}

extern "C" {

HWND WINAPI CeFindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName)
{
    HWND h = NULL;
    while ((h = FindWindowExW(NULL, h, lpClassName, lpWindowName)) != NULL) {
        if (OnThisDevice(h)) {
            return h;
        }
    }
    SetLastError(ERROR_SUCCESS);
    return NULL;
}

HWND WINAPI CeGetForegroundWindow(void)
{
    HWND h = GetForegroundWindow();
    return OnThisDevice(h) ? h : NULL;
}

// The low bit of the handle asks for the window's application: the window
// itself, or the window of its own that the application shows in front of
// it (a dialog), comes forward.
BOOL WINAPI CeSetForegroundWindow(HWND hWnd)
{
    if (((ULONG_PTR)hWnd & 1) == 0) {
        return SetForegroundWindow(hWnd);
    }
    ThreadWindows windows = {(HWND)((ULONG_PTR)hWnd & ~(ULONG_PTR)1), NULL};
    if (!OnThisDevice(windows.hMain)) {
        Journal(SIM_J_SET_FOREGROUND L"|%p|not a window of this device", (void*)windows.hMain);
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    EnumThreadWindows(GetWindowThreadProcessId(windows.hMain, NULL), ChooseFront,
                      reinterpret_cast<LPARAM>(&windows));
    HWND hFront = windows.hFront ? windows.hFront : windows.hMain;
    BOOL ok = SetForegroundWindow(hFront);
    Journal(SIM_J_SET_FOREGROUND L"|%p|application|%p|%d", (void*)windows.hMain, (void*)hFront, ok);
    return ok;
}

}  // extern "C"
