// worker.cpp - keeps this process's reload worker from losing a reload.
//
// Loading Rendak.dll starts its reload worker, which waits on the device's
// shared reload event like the worker of every other process (the panel's).
// A short-lived tool whose worker took a signal and then exited would lose
// that reload. So the worker is suspended before it first runs (from a TLS
// callback, while process start-up still holds the loader lock that the new
// thread needs before its procedure runs): a suspended thread cannot take an
// event, so signals go to the other processes' workers. Only when this process
// itself signals, and no other worker took the signal, is the worker let go
// to serve it; the tool then waits until the worker is back waiting, and holds
// it again.
#include "rendakctl.h"

#include <handheld.h>
#include <tlhelp32.h>
#define WINCE_HOST_CRT
#include <wince.h>

#include <atomic>
#include <stdio.h>

#define WORKER_WAIT_BEGIN L"Wait|" RELOAD_EVENT L"|begin"
#define WORKER_WOKE L"Wait|" RELOAD_EVENT L"|0"
#define HAND_OVER_MS 2000      // a waiting worker wakes within this (host time)
#define WORKER_START_MS 10000  // a released worker reaches its wait within this
#define RELOAD_DONE_MS 180000  // a question and two passes on the real clock take ~65 s

static HANDLE g_hWorker = NULL;           // the library's reload worker thread
static std::atomic<bool> g_bHeld{false};  // it is suspended now

typedef LONG(NTAPI* NTQUERYINFORMATIONTHREAD)(HANDLE, int, PVOID, ULONG, PULONG);
#define THREAD_QUERY_START_ADDRESS 9  // ThreadQuerySetWin32StartAddress

// Finds the thread whose start routine lies in Rendak.dll and suspends it.
static void NTAPI HoldWorkerAtLoad(PVOID hModule, DWORD dwReason, PVOID pReserved)
{
    (void)hModule, (void)pReserved;
    if (dwReason != DLL_PROCESS_ATTACH || g_hWorker != NULL) {
        return;
    }
    HMODULE hLib = GetModuleHandleW(L"Rendak.dll");
    NTQUERYINFORMATIONTHREAD pfnQuery = (NTQUERYINFORMATIONTHREAD)(void*)GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread");
    if (hLib == NULL || pfnQuery == NULL) {
        return;
    }
    const IMAGE_DOS_HEADER* pDos = (const IMAGE_DOS_HEADER*)hLib;
    const IMAGE_NT_HEADERS* pNt = (const IMAGE_NT_HEADERS*)((const BYTE*)hLib + pDos->e_lfanew);
    ULONG_PTR lo = (ULONG_PTR)hLib, hi = lo + pNt->OptionalHeader.SizeOfImage;

    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnap == INVALID_HANDLE_VALUE) {
        return;
    }
    THREADENTRY32 te;
    te.dwSize = sizeof(te);
    for (BOOL ok = Thread32First(hSnap, &te); ok && g_hWorker == NULL;
         ok = Thread32Next(hSnap, &te)) {
        if (te.th32OwnerProcessID != GetCurrentProcessId() ||
            te.th32ThreadID == GetCurrentThreadId()) {
            continue;
        }
        HANDLE hThread =
            OpenThread(THREAD_QUERY_INFORMATION | THREAD_SUSPEND_RESUME, FALSE, te.th32ThreadID);
        PVOID pStart = NULL;
        if (hThread &&
            pfnQuery(hThread, THREAD_QUERY_START_ADDRESS, &pStart, sizeof(pStart), NULL) == 0 &&
            (ULONG_PTR)pStart >= lo && (ULONG_PTR)pStart < hi &&
            SuspendThread(hThread) != (DWORD)-1) {
            g_hWorker = hThread;
            g_bHeld = true;
        } else if (hThread) {
            CloseHandle(hThread);
        }
    }
    CloseHandle(hSnap);
}

// The loader runs the callbacks in .CRT$XL? between the CRT's own markers.
extern "C" __attribute__((section(".CRT$XLW"), used)) const PIMAGE_TLS_CALLBACK g_pfnHoldWorker =
    HoldWorkerAtLoad;

bool WorkerHeld()
{
    return g_bHeld.load();
}

// How many entries of this process's journal begin with pszPrefix.
DWORD JournalCountOf(const wchar_t* pszPrefix)
{
    DWORD n = 0, count = SimJournalCount();
    size_t cch = wcslen(pszPrefix);
    wchar_t entry[256];
    for (DWORD i = 0; i < count; i++) {
        SimJournalEntry(i, entry, 256);
        n += wcsncmp(entry, pszPrefix, cch) == 0;
    }
    return n;
}

static void Release()
{
    if (g_bHeld.exchange(false)) {
        ResumeThread(g_hWorker);
    }
}

static void Hold()
{
    if (!g_bHeld.exchange(true)) {
        SuspendThread(g_hWorker);
    }
}

static HANDLE OpenReloadEvent()
{
    // Through the device's core library: named objects live in the device's namespace.
    typedef HANDLE(WINAPI * OPENEVENTW)(DWORD, BOOL, LPCWSTR);
    OPENEVENTW pfnOpen =
        (OPENEVENTW)(void*)GetProcAddress(GetModuleHandleW(L"coredll.dll"), "OpenEventW");
    return pfnOpen ? pfnOpen(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, RELOAD_EVENT) : NULL;
}

// Lets the held worker serve every wake it has taken, one after another, and
// holds it again once it is back waiting with nothing taken.
static void ServeWakes(DWORD dwWakesServed)
{
    for (;;) {
        Hold();
        DWORD wakes = JournalCountOf(WORKER_WOKE);
        if (wakes <= dwWakesServed) {
            return;
        }
        DWORD begins = JournalCountOf(WORKER_WAIT_BEGIN);
        Release();
        if (!SimJournalWaitFor(WORKER_WAIT_BEGIN, begins + 1, RELOAD_DONE_MS)) {
            fprintf(stderr, "rendakctl: the reload is still running after %d s; giving up\n",
                    RELOAD_DONE_MS / 1000);
            return;
        }
        dwWakesServed = wakes;
    }
}

void ServeOwnReloadSignal()
{
    if (g_hWorker == NULL) {
        return;  // no worker here: the signal waits for another process's worker
    }
    HANDLE hEvent = OpenReloadEvent();
    if (hEvent == NULL) {
        return;
    }
    // With ours held, a worker waiting in another process has already taken
    // the signal. If the event is still set, take it back and give it to ours.
    if (WaitForSingleObject(hEvent, 0) != WAIT_OBJECT_0) {
        fprintf(stderr, "rendakctl: the reload was taken by another program's worker\n");
        CloseHandle(hEvent);
        return;
    }
    DWORD wakes = JournalCountOf(WORKER_WOKE);
    DWORD begins = JournalCountOf(WORKER_WAIT_BEGIN);
    Release();
    if (!SimJournalWaitFor(WORKER_WAIT_BEGIN, begins + 1, WORKER_START_MS)) {
        // The worker cannot wait (no event): give the signal back for others.
        EventModify(hEvent, EVENT_SET);
        Hold();
        CloseHandle(hEvent);
        return;
    }
    EventModify(hEvent, EVENT_SET);
    if (!SimJournalWaitFor(WORKER_WOKE, wakes + 1, HAND_OVER_MS)) {
        Hold();
        if (JournalCountOf(WORKER_WOKE) == wakes) {
            fprintf(stderr, "rendakctl: the reload was taken by another program's worker\n");
        }
    }
    ServeWakes(wakes);
    CloseHandle(hEvent);
}
