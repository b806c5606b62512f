// clock.cpp - the device clock (real, scaled or virtual), Sleep on it, the
// device's time of day, and timers for the device's own timed behaviour.
//
// Virtual time is the device's, shared by all its processes: it is kept in
// the device's kernel record (VirtualNow) and only moves forward, by the
// Sleep of any of them. Sleeping runs what falls due on the way: this
// process's timers and the device's power changes, in order of due time.
#include "sim.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

static std::atomic<DWORD> g_mode{0xFFFFFFFF};  // unset until first use
static std::atomic<DWORD> g_scale{1};
static ULONGLONG g_hostStart = 0;  // host milliseconds when this process began
static FILETIME g_epoch;           // time of day when this process began

void ClockAttach()
{
    g_hostStart = GetTickCount64();
    GetSystemTimeAsFileTime(&g_epoch);
}

struct Timer {
    SIMTIMERPROC pfn;
    void* context;
};
static std::mutex g_timerLock;
static std::condition_variable g_timerWake;
static std::multimap<ULONGLONG, Timer> g_timers;
static bool g_timerThreadStarted = false;

static void DecideMode()
{
    if (g_mode.load() != 0xFFFFFFFF) {
        return;
    }
    wchar_t v[32] = L"";
    DWORD mode = SIM_CLOCK_REAL, scale = 1;
    if (GetEnvironmentVariableW(L"HANDHELD_CLOCK", v, 32) > 0) {
        if (_wcsicmp(v, L"virtual") == 0) {
            mode = SIM_CLOCK_VIRTUAL;
        } else if (_wcsnicmp(v, L"scaled:", 7) == 0 && _wtoi(v + 7) > 0) {
            mode = SIM_CLOCK_SCALED;
            scale = (DWORD)_wtoi(v + 7);
        }
    } else {
        mode = SimGetSetting(SIM_SETTING_CLOCK_MODE, SIM_CLOCK_REAL);
        scale = SimGetSetting(SIM_SETTING_CLOCK_SCALE, 1);
    }
    g_scale = scale ? scale : 1;
    DWORD expected = 0xFFFFFFFF;
    g_mode.compare_exchange_strong(expected, mode);
}

bool ClockIsVirtual()
{
    DecideMode();
    return g_mode.load() == SIM_CLOCK_VIRTUAL;
}

DWORD ClockScale()
{
    DecideMode();
    return g_mode.load() == SIM_CLOCK_SCALED ? g_scale.load() : 1;
}

static ULONGLONG VirtualNow()
{
    ULONGLONG now = 0;
    DWORD cb = sizeof(now);
    RegGetValueW(HKEY_CURRENT_USER, KernelKeyPath().c_str(), L"VirtualNow", RRF_RT_REG_QWORD, NULL,
                 &now, &cb);
    return now;
}

// Moves the device's virtual time forward to target (never back: processes
// sleeping side by side overlap, they do not add up).
static void VirtualAdvanceTo(ULONGLONG target)
{
    DeviceLock lock(DeviceName());
    if (target <= VirtualNow()) {
        return;
    }
    HKEY hKey = CreateDeviceSubkey(KERNEL_SUBKEY);
    if (hKey != NULL) {
        RegSetValueExW(hKey, L"VirtualNow", 0, REG_QWORD, (const BYTE*)&target, sizeof(target));
        RegCloseKey(hKey);
    }
}

static ULONGLONG NowLocked()
{
    DecideMode();
    if (g_mode.load() == SIM_CLOCK_VIRTUAL) {
        return VirtualNow();
    }
    ULONGLONG host = GetTickCount64() - g_hostStart;
    return g_mode.load() == SIM_CLOCK_SCALED ? host * g_scale.load() : host;
}

// Runs every timer that is due at device time now, in order of due time.
static void RunDueTimers(ULONGLONG now)
{
    for (;;) {
        Timer timer;
        {
            std::lock_guard<std::mutex> lock(g_timerLock);
            auto first = g_timers.begin();
            if (first == g_timers.end() || first->first > now) {
                return;
            }
            timer = first->second;
            g_timers.erase(first);
        }
        timer.pfn(timer.context);
    }
}

// Under the real and scaled clocks timers run on this thread.
static void TimerThread()
{
    std::unique_lock<std::mutex> lock(g_timerLock);
    for (;;) {
        if (g_timers.empty()) {
            g_timerWake.wait(lock);
            continue;
        }
        ULONGLONG now = NowLocked();
        ULONGLONG due = g_timers.begin()->first;
        if (due > now) {
            ULONGLONG hostMs = (due - now) / g_scale.load() + 1;
            g_timerWake.wait_for(lock, std::chrono::milliseconds(hostMs));
            continue;
        }
        lock.unlock();
        RunDueTimers(NowLocked());
        lock.lock();
    }
}

// Under the virtual clock: advances device time to target, running each of
// this process's timers and the device's power change at its own due time
// and delivering what they changed before going on.
static void AdvanceVirtual(ULONGLONG target)
{
    NotifyDeliverNow();
    for (;;) {
        ULONGLONG due = target + 1;
        {
            std::lock_guard<std::mutex> lock(g_timerLock);
            if (!g_timers.empty()) {
                due = g_timers.begin()->first;
            }
        }
        ULONGLONG deviceDue = 0;
        bool onVirtualClock = false;
        bool devicePending = AdapterNextDue(&deviceDue, &onVirtualClock) && onVirtualClock;
        if (devicePending && deviceDue < due) {
            due = deviceDue;
        }
        if (due > target) {
            break;
        }
        VirtualAdvanceTo(due);
        RunDueTimers(due);
        bool settled = devicePending && AdapterSettleDue();
        NotifyDeliverNow();
        std::lock_guard<std::mutex> lock(g_timerLock);
        if (!settled && (g_timers.empty() || g_timers.begin()->first > due) && devicePending &&
            deviceDue <= due) {
            break;  // the device's change is not ours to settle after all: do not spin
        }
    }
    VirtualAdvanceTo(target);
    NotifyDeliverNow();
}

extern "C" {

SIM_API void WINAPI SimSetClock(DWORD dwMode, DWORD dwScale)
{
    DecideMode();
    g_scale = dwScale ? dwScale : 1;
    g_mode = dwMode;
    ProcessJoinDevice(DeviceName());  // the record says which clock it keeps
    AdapterOpened();  // on host time, this process watches the device's changes fall due
}

SIM_API DWORD WINAPI SimClockMode(void)
{
    DecideMode();
    return g_mode.load();
}

SIM_API ULONGLONG WINAPI SimNow(void)
{
    return NowLocked();
}

SIM_API void WINAPI SimScheduleAt(ULONGLONG dueMs, SIMTIMERPROC pfn, void* pContext)
{
    DecideMode();
    std::lock_guard<std::mutex> lock(g_timerLock);
    g_timers.insert({dueMs, Timer{pfn, pContext}});
    if (g_mode.load() != SIM_CLOCK_VIRTUAL && !g_timerThreadStarted) {
        g_timerThreadStarted = true;
        std::thread(TimerThread).detach();
    }
    g_timerWake.notify_all();
}

void WINAPI CeSleep(DWORD dwMilliseconds)
{
    Journal(SIM_J_SLEEP L"|%lu", dwMilliseconds);
    DecideMode();
    DWORD mode = g_mode.load();
    if (mode == SIM_CLOCK_VIRTUAL) {
        if (dwMilliseconds == INFINITE) {
            ::Sleep(INFINITE);
        }
        AdvanceVirtual(VirtualNow() + dwMilliseconds);
        return;
    }
    if (mode == SIM_CLOCK_SCALED && dwMilliseconds != INFINITE) {
        dwMilliseconds /= g_scale.load();
    }
    ::Sleep(dwMilliseconds);
}

// The device's time of day: when this process began, plus device time since.
void WINAPI CeGetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    DecideMode();
    ULARGE_INTEGER t;
    t.LowPart = g_epoch.dwLowDateTime;
    t.HighPart = g_epoch.dwHighDateTime;
    t.QuadPart += NowLocked() * 10000ULL;
    FILETIME utc = {t.LowPart, t.HighPart}, local;
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, lpSystemTime);
}

}  // extern "C"
