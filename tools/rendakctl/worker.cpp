// worker.cpp - keeps this process's reload worker from losing a reload, and
// serves the reload this tool signalled when nobody else does.
//
// Loading Rendak.dll starts its reload worker, which waits on the device's
// shared reload event like the worker of every other process (the panel's).
// A short-lived tool whose worker took a signal and then exited would lose
// that reload. So this program's waits on named events are held from the
// start (the platform holds them for a program that exports
// HandheldHoldEventWaits): a held wait cannot take the event, and signals go
// to the other processes' workers. Only when this process itself signals, and
// no other worker took the signal, is the worker let go to serve it; the tool
// then waits until the worker is back waiting and its passes have settled,
// and holds it again.
#include "rendakctl.h"

#include <atomic>
#include <stdio.h>

#define HAND_OVER_MS 2000      // a waiting worker wakes within this (host time)
#define WORKER_START_MS 10000  // a released worker reaches its wait within this
// A question and two passes: the off pass waits at most 15.8 s, the on pass
// 45.8 s, with 0.5 s between them (device time); the question's time-out on top.
#define RELOAD_PASSES_MS 65000
#define WAITS_POLL_MS 5  // how often the worker's waits are looked at (host time)

// The platform reads this export when it loads: this program starts held.
extern "C" __declspec(dllexport) const int HandheldHoldEventWaits = 1;

static std::atomic<bool> g_held{true};  // this process's named-event waits are held now

static void Release()
{
    if (g_held.exchange(false)) {
        SimHoldEventWaits(FALSE);
    }
}

static void Hold()
{
    if (!g_held.exchange(true)) {
        SimHoldEventWaits(TRUE);
    }
}

// A person may take the whole time-out to answer the question.
static DWORD ReloadBoundMs()
{
    return RELOAD_PASSES_MS + AnswerTimeoutMs();
}

// This process's waits on the reload event, as the platform counts them: the
// worker's waits that began (again after each hold) and those the event woke.
static SIMEVENTWAITS ReloadWaits()
{
    SIMEVENTWAITS waits = {0, 0, 0};
    SimEventWaits(RELOAD_EVENT_NAME, &waits);
    return waits;
}

// Waits until the reload waits' count (begun or woken) reaches atLeast.
// Bounded in host time and, with deviceBound, in device time too: on the
// virtual clock only the worker's Sleeps move the device's.
static bool WaitForReloadWaits(DWORD SIMEVENTWAITS::*count, DWORD atLeast, DWORD boundMs,
                               bool deviceBound)
{
    ULONGLONG deviceStart = SimNow(), hostStart = GetTickCount64();
    while (ReloadWaits().*count < atLeast) {
        if (GetTickCount64() - hostStart > boundMs ||
            (deviceBound && SimNow() - deviceStart > boundMs)) {
            return false;
        }
        Sleep(WAITS_POLL_MS);  // the desktop's: device time is not this wait's to move
    }
    return true;
}

// Lets the held worker serve every wake it has taken, one after another, and
// holds it again once it is back waiting with nothing taken.
static bool ServeWakes(DWORD wakesServed)
{
    for (;;) {
        Hold();
        SIMEVENTWAITS waits = ReloadWaits();
        if (waits.dwWoken <= wakesServed) {
            return true;
        }
        Release();
        // Back waiting: its next wait begins.
        if (!WaitForReloadWaits(&SIMEVENTWAITS::dwBegun, waits.dwBegun + 1, ReloadBoundMs(),
                                true)) {
            Hold();
            return false;
        }
        wakesServed = waits.dwWoken;
    }
}

// What the answer must have left: Yes switches Wi-Fi off and on again, No off.
static std::vector<std::string> AnswerShortfalls(bool yes)
{
    std::vector<std::string> problems;
    const SimRadioInfo* adapter = NULL;
    std::vector<SimRadioInfo> radios = ModelRadios();
    adapter = AdapterOf(radios);
    if (adapter && !adapter->listed) {
        if (yes) {
            problems.push_back("the Wi-Fi adapter " + adapter->name +
                               " is not listed (card out or driver not loaded): it could not be "
                               "switched on");
        }
        return problems;
    }
    if (adapter && adapter->on != yes) {
        problems.push_back("the Wi-Fi radio " + adapter->name + " is " +
                           (adapter->on ? "on" : "off"));
    }
    std::optional<DWORD> state = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE);
    if (state && (*state & SIM_STATE_SWITCHING)) {
        problems.push_back("the state value " + Hex(*state, 3) + " still shows switching");
    }
    std::optional<DWORD> wifi = DeviceDword(REG_ADAPTER_KEY, REG_WIFI_VALUE);
    if (wifi.value_or(0) != (yes ? 1u : 0u)) {
        problems.push_back("the adapter's \"WIFI\" is " +
                           (wifi ? std::to_string(*wifi) : std::string("missing")) + ", not " +
                           (yes ? "1" : "0"));
    }
    return problems;
}

// Waits (device time) until the passes' last power change has settled: the
// library does not wait for a switch-off it did not see (no notification in
// this process), and the settling runs in the process that switched.
static void WaitForPassesToSettle()
{
    if (SimGetSetting(SIM_SETTING_STATE_STUCK, 0)) {
        return;  // it never settles: the shortfalls say so
    }
    DWORD bound = SettleBoundMs();
    ProgressBegin("waiting for the reload's last power change to settle", bound);
    WaitForSettledState(bound);
    ProgressEnd();
}

static ReloadResult TakenByAnother()
{
    ReloadResult r;
    r.servedBy = "another program";
    r.outcome =
        "the reload was taken by another program's worker (the panel's), which asks its "
        "own user";
    return r;
}

ReloadResult ServeOwnReloadSignal()
{
    ReloadResult r;
    r.servedBy = "nobody";
    if (GetModuleHandleW(L"Rendak.dll") == NULL) {
        r.outcome = "the signal waits for a worker of another program";
        return r;
    }
    HANDLE hEvent = OpenDeviceEvent(EVENT_MODIFY_STATE | SYNCHRONIZE, RELOAD_EVENT_NAME);
    if (hEvent == NULL) {
        r.outcome = "the reload event could not be opened to serve it";
        return r;
    }
    // With ours held, a worker waiting in another process has already taken
    // the signal. If the event is still set, take it back and hand it to ours
    // with the desktop's SetEvent: a hand-over, not a second signal, so the
    // device's journal shows one.
    if (WaitForSingleObject(hEvent, 0) != WAIT_OBJECT_0) {
        CloseDeviceHandle(hEvent);
        return TakenByAnother();
    }
    SIMEVENTWAITS before = ReloadWaits();
    DWORD wakes = before.dwWoken;
    Release();
    if (!WaitForReloadWaits(&SIMEVENTWAITS::dwBegun, before.dwBegun + 1, WORKER_START_MS, false)) {
        // The worker cannot wait (no event): give the signal back for others.
        SetEvent(hEvent);
        Hold();
        CloseDeviceHandle(hEvent);
        r.outcome =
            "this tool's worker is not waiting; the signal is left set for another "
            "program's worker";
        return r;
    }
    SetEvent(hEvent);
    CloseDeviceHandle(hEvent);
    ProgressBegin("serving the reload: the library's worker asks and runs its passes",
                  ReloadBoundMs());
    if (!WaitForReloadWaits(&SIMEVENTWAITS::dwWoken, wakes + 1, HAND_OVER_MS, false)) {
        Hold();
        if (ReloadWaits().dwWoken == wakes) {
            ProgressEnd();
            return TakenByAnother();
        }
    }
    bool done = ServeWakes(wakes);
    ProgressEnd();
    r.servedBy = "this tool";
    r.answer = LastQuestionAnswer();
    if (!done) {
        r.problems.push_back("the reload was still running after " +
                             std::to_string(ReloadBoundMs() / 1000) + " s of device time");
    }
    WaitForPassesToSettle();
    bool yes = r.answer.value_or(false);
    std::vector<std::string> more = AnswerShortfalls(yes);
    r.problems.insert(r.problems.end(), more.begin(), more.end());
    // Said as it happened: what the answer asked for, and whether it came about.
    r.outcome = !r.problems.empty() ? std::string("reload answered ") + (yes ? "Yes" : "No") +
                                          ", but Wi-Fi did not end up " + (yes ? "on" : "off")
                : yes ? "Wi-Fi switched off and on again: reload answered Yes"
                      : "Wi-Fi switched off: reload answered No";
    return r;
}

void PrintReload(const ReloadResult& r)
{
    if (ReportJson()) {
        return;
    }
    printf("%s\n", r.outcome.c_str());
    fflush(stdout);
    for (const std::string& p : r.problems) {
        fprintf(stderr, "rendakctl: note: %s\n", p.c_str());
    }
    if (!r.problems.empty()) {
        fprintf(stderr, "(%s says why)\n", ToolCommand("diagnose").c_str());
    }
}

JsonValue ReloadJson(const ReloadResult& r)
{
    JsonValue j = JsonValue::MakeObject();
    j.Set("served_by", r.servedBy);
    j.Set("answer", r.answer ? JsonValue(*r.answer ? "Yes" : "No") : JsonValue());
    j.Set("outcome", r.outcome);
    j.Set("problems", JsonStrings(r.problems));
    return j;
}
