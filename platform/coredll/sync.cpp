// sync.cpp - events, waits and handles. Named objects belong to the device:
// each device has its own namespace (DeviceObjectName), so two simulated
// handhelds on one host (two tests running side by side) never share an
// event, and a program reaches a device's event only through that device.
#include "sim.h"

#include <map>
#include <mutex>

static std::mutex g_eventLock;
static std::map<HANDLE, std::wstring> g_eventNames;    // named events of this process
static std::map<std::wstring, SIMEVENTWAITS> g_waits;  // waits without time-out, by event name

// Counts a wait's progress for SimEventWaits: begun (+1 waiting), then ended.
static void CountWait(const std::wstring& name, bool begin, bool woken)
{
    std::lock_guard<std::mutex> lock(g_eventLock);
    SIMEVENTWAITS& w = g_waits[name];
    if (begin) {
        w.dwBegun++;
        w.dwWaiting++;
    } else {
        w.dwWaiting--;
        w.dwWoken += woken ? 1 : 0;
    }
}

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

// Journals how making a named object ended (made, or an existing one
// opened) and hands its handle back with the host's error.
static HANDLE Created(const wchar_t* pszKind, LPCWSTR lpName, HANDLE h, DWORD error)
{
    if (lpName) {
        Journal(L"%ls|%ls|%ls", pszKind, lpName,
                h == NULL                       ? L"failed"
                : error == ERROR_ALREADY_EXISTS ? L"opened"
                                                : L"created");
    }
    SetLastError(error);
    return h;
}

extern "C" {

HANDLE WINAPI CeCreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                             BOOL bInitialState, LPCWSTR lpName)
{
    if (lpName) {
        DWORD error = FaultFor(L"CreateEventW", lpName);
        if (error) {
            Journal(SIM_J_CREATE_EVENT L"|%ls|failed", lpName);
            SetLastError(error);
            return NULL;
        }
    }
    HANDLE h = CreateEventW(lpEventAttributes, bManualReset, bInitialState,
                            lpName ? DeviceObjectName(lpName).c_str() : NULL);
    DWORD error = GetLastError();
    Remember(h, lpName);
    return Created(SIM_J_CREATE_EVENT, lpName, h, error);
}

HANDLE WINAPI CeCreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                             LPCWSTR lpName)
{
    HANDLE h = CreateMutexW(lpMutexAttributes, bInitialOwner,
                            lpName ? DeviceObjectName(lpName).c_str() : NULL);
    return Created(SIM_J_CREATE_MUTEX, lpName, h, GetLastError());
}

HANDLE WINAPI CeOpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName)
{
    if (lpName == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    HANDLE h = OpenEventW(dwDesiredAccess, bInheritHandle, DeviceObjectName(lpName).c_str());
    Remember(h, lpName);
    Journal(SIM_J_OPEN_EVENT L"|%ls|%ls", lpName, h ? L"opened" : L"failed");
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
    Journal(SIM_J_EVENT_MODIFY L"|%ls|%lu|%d", name.empty() ? L"?" : name.c_str(), func, ok);
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
static HANDLE g_holdChanged = NULL;   // set while held
static HANDLE g_holdReleased = NULL;  // set while not held

void SyncAttach()
{
    bool hold = GetProcAddress(GetModuleHandleW(NULL), "HandheldHoldEventWaits") != NULL;
    g_holdChanged = CreateEventW(NULL, TRUE, hold, NULL);
    g_holdReleased = CreateEventW(NULL, TRUE, !hold, NULL);
}

extern "C" {

SIM_API BOOL WINAPI SimEventWaits(LPCWSTR pszEvent, SIMEVENTWAITS* pWaits)
{
    if (pszEvent == NULL || pWaits == NULL) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_eventLock);
    auto it = g_waits.find(pszEvent);
    *pWaits = it != g_waits.end() ? it->second : SIMEVENTWAITS{0, 0, 0};
    return TRUE;
}

SIM_API void WINAPI SimHoldEventWaits(BOOL bHold)
{
    if (bHold) {
        ResetEvent(g_holdReleased);
        SetEvent(g_holdChanged);  // interrupts waits in progress
    } else {
        ResetEvent(g_holdChanged);
        SetEvent(g_holdReleased);
    }
    Journal(SIM_J_WAIT L"|*|%ls", bHold ? L"hold" : L"release");
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
            Journal(SIM_J_WAIT L"|%ls|" SIM_J_WAIT_BEGIN, name.c_str());
        }
        DWORD r = WaitForSingleObject(hHandle, dwMilliseconds);
        if (!name.empty() || r == WAIT_FAILED) {
            Journal(SIM_J_WAIT L"|%ls|%lu", name.empty() ? L"?" : name.c_str(), r);
        }
        return r;
    }
    for (;;) {
        WaitForSingleObject(g_holdReleased, INFINITE);
        CountWait(name, true, false);
        Journal(SIM_J_WAIT L"|%ls|" SIM_J_WAIT_BEGIN, name.c_str());
        HANDLE aWait[2] = {hHandle, g_holdChanged};
        DWORD r = WaitForMultipleObjects(2, aWait, FALSE, INFINITE);
        CountWait(name, false, r == WAIT_OBJECT_0);
        if (r == WAIT_OBJECT_0 + 1) {
            Journal(SIM_J_WAIT L"|%ls|" SIM_J_WAIT_HELD, name.c_str());
            continue;
        }
        Journal(SIM_J_WAIT L"|%ls|%lu", name.c_str(), r);
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
