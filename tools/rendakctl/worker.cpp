// worker.cpp - keeps this process's reload worker from losing a reload.
//
// Loading Rendak.dll starts its reload worker, which waits on the device's
// shared reload event like the worker of every other process (the panel's).
// A short-lived tool whose worker took a signal and then exited would lose
// that reload. So this program's waits on named events are held from the
// start (the platform holds them for a program that exports
// HandheldHoldEventWaits): a held wait cannot take the event, and signals go
// to the other processes' workers. Only when this process itself signals, and
// no other worker took the signal, is the worker let go to serve it; the tool
// then waits until the worker is back waiting, and holds it again.
#include "rendakctl.h"

#include <handheld.h>
#define WINCE_HOST_CRT
#include <wince.h>

#include <atomic>
#include <stdio.h>

#define WORKER_WAIT_BEGIN L"Wait|" RELOAD_EVENT L"|begin"
#define WORKER_WOKE L"Wait|" RELOAD_EVENT L"|0"
#define HAND_OVER_MS 2000      // a waiting worker wakes within this (host time)
#define WORKER_START_MS 10000  // a released worker reaches its wait within this
#define RELOAD_DONE_MS 180000  // a question and two passes on the real clock take ~65 s

// The platform reads this export when it loads: this program starts held.
extern "C" __declspec(dllexport) const int HandheldHoldEventWaits = 1;

static std::atomic<bool> g_bHeld{true};  // this process's named-event waits are held now

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
        SimHoldEventWaits(FALSE);
    }
}

static void Hold()
{
    if (!g_bHeld.exchange(true)) {
        SimHoldEventWaits(TRUE);
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
    if (GetModuleHandleW(L"Rendak.dll") == NULL) {
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
