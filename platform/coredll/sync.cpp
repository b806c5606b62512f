// sync.cpp - events, waits and handles. Named objects belong to the device:
// each device has its own namespace (DeviceObjectName), so two simulated
// handhelds on one host (two tests running side by side) never share an
// event, and a program reaches a device's event only through that device.
#include "sim.h"

#include <map>
#include <mutex>

static std::mutex g_eventLock;
static std::map<HANDLE, std::wstring> g_eventNames;  // named events of this process

static std::wstring NameOf(HANDLE h)
{
    std::lock_guard<std::mutex> lock(g_eventLock);
    auto it = g_eventNames.find(h);
    return it != g_eventNames.end() ? it->second : std::wstring();
}

static void Remember(HANDLE h, LPCWSTR lpName)
{
    if (h && lpName) {
        std::lock_guard<std::mutex> lock(g_eventLock);
        g_eventNames[h] = lpName;
    }
}

extern "C" {

HANDLE WINAPI CeCreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                             BOOL bInitialState, LPCWSTR lpName)
{
    if (lpName) {
        DWORD error = FaultFor(L"CreateEventW", lpName);
        if (error) {
            Journal(L"CreateEventW|%ls|failed", lpName);
            SetLastError(error);
            return NULL;
        }
    }
    HANDLE h = CreateEventW(lpEventAttributes, bManualReset, bInitialState,
                            lpName ? DeviceObjectName(lpName).c_str() : NULL);
    DWORD error = GetLastError();
    Remember(h, lpName);
    if (lpName) {
        Journal(L"CreateEventW|%ls|%ls", lpName,
                h == NULL                       ? L"failed"
                : error == ERROR_ALREADY_EXISTS ? L"opened"
                                                : L"created");
    }
    SetLastError(error);
    return h;
}

HANDLE WINAPI CeCreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                             LPCWSTR lpName)
{
    HANDLE h = CreateMutexW(lpMutexAttributes, bInitialOwner,
                            lpName ? DeviceObjectName(lpName).c_str() : NULL);
    DWORD error = GetLastError();
    if (lpName) {
        Journal(L"CreateMutexW|%ls|%ls", lpName,
                h == NULL                       ? L"failed"
                : error == ERROR_ALREADY_EXISTS ? L"opened"
                                                : L"created");
    }
    SetLastError(error);
    return h;
}

HANDLE WINAPI CeOpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    if (lpName == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    HANDLE h = OpenEventW(dwDesiredAccess, bInheritHandle, DeviceObjectName(lpName).c_str());
    Remember(h, lpName);
    Journal(L"OpenEventW|%ls|%ls", lpName, h ? L"opened" : L"failed");
    return h;
}

BOOL WINAPI CeEventModify(HANDLE hEvent, DWORD func)
{
    BOOL ok = FALSE;
    switch (func) {
    case EVENT_SET:
        ok = SetEvent(hEvent);
        break;
    case EVENT_RESET:
        ok = ResetEvent(hEvent);
        break;
    case EVENT_PULSE:
        ok = PulseEvent(hEvent);
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        break;
    }
    std::wstring name = NameOf(hEvent);
    Journal(L"EventModify|%ls|%lu|%d", name.empty() ? L"?" : name.c_str(), func, ok);
    return ok;
}

}  // extern "C"

// A program may hold its process's waits on named events: a held wait does
// not wait, so it cannot take a signal meant for another process. A program
// that exports the data symbol HandheldHoldEventWaits starts held (before any
// of its threads can reach a wait: SyncAttach decides as the process starts);
// SimHoldEventWaits holds and lets go.
// Plain events, not a condition variable: a waiter killed at process exit
// must leave no lock behind for the library's unloading to trip over.
static HANDLE g_hHoldChanged = NULL;   // set while held
static HANDLE g_hHoldReleased = NULL;  // set while not held

void SyncAttach()
{
    bool hold = GetProcAddress(GetModuleHandleW(NULL), "HandheldHoldEventWaits") != NULL;
    g_hHoldChanged = CreateEventW(NULL, TRUE, hold, NULL);
    g_hHoldReleased = CreateEventW(NULL, TRUE, !hold, NULL);
}

extern "C" {

SIM_API void WINAPI SimHoldEventWaits(BOOL bHold)
{
    if (bHold) {
        ResetEvent(g_hHoldReleased);
        SetEvent(g_hHoldChanged);  // interrupts waits in progress
    } else {
        ResetEvent(g_hHoldChanged);
        SetEvent(g_hHoldReleased);
    }
    Journal(L"Wait|*|%ls", bHold ? L"hold" : L"release");
}

// Waits on named events are journaled: a tool can see a worker go back to
// waiting ("begin") and wake. A wait without time-out is the one a hold
// affects: held meanwhile, it lets go of the event and begins again once
// released. A wait with a time-out is the program's own deliberate look.
DWORD WINAPI CeWaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    std::wstring name = NameOf(hHandle);
    if (name.empty() || dwMilliseconds != INFINITE) {
        if (!name.empty()) {
            Journal(L"Wait|%ls|begin", name.c_str());
        }
        DWORD r = WaitForSingleObject(hHandle, dwMilliseconds);
        if (!name.empty() || r == WAIT_FAILED) {
            Journal(L"Wait|%ls|%lu", name.empty() ? L"?" : name.c_str(), r);
        }
        return r;
    }
    for (;;) {
        WaitForSingleObject(g_hHoldReleased, INFINITE);
        Journal(L"Wait|%ls|begin", name.c_str());
        HANDLE aWait[2] = {hHandle, g_hHoldChanged};
        DWORD r = WaitForMultipleObjects(2, aWait, FALSE, INFINITE);
        if (r == WAIT_OBJECT_0 + 1) {
            Journal(L"Wait|%ls|held", name.c_str());
            continue;
        }
        Journal(L"Wait|%ls|%lu", name.c_str(), r);
        return r;
    }
}

BOOL WINAPI CeCloseHandle(HANDLE hObject)
{
    {
        std::lock_guard<std::mutex> lock(g_eventLock);
        g_eventNames.erase(hObject);
    }
    DevmgrForgetHandle(hObject);
    return CloseHandle(hObject);
}

}  // extern "C"
