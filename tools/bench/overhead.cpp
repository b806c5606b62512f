// overhead.cpp - the platform layer's own cost: each platform operation the
// library makes, through coredll, against the desktop call it stands on made
// directly (taken from the desktop's own DLL by name); and the notification
// path against Wine's own change notification. Both sides run in the same
// run, interleaved, and the side that goes first alternates.
#include "bench.h"

#include <handheld_notify.h>
#include <handheld_radio.h>
#include <handheld_service.h>
#include <rendak_store.h>

#include <atomic>
#include <functional>

namespace {

template <typename F>
F Desktop(const wchar_t* dll, const char* name)
{
    HMODULE h = GetModuleHandleW(dll);
    return (F)(void*)GetProcAddress(h ? h : LoadLibraryW(dll), name);
}

// The desktop calls, bound past the platform layer.
struct DesktopCalls {
    decltype(&::RegOpenKeyExW) regOpen =
        Desktop<decltype(regOpen)>(L"advapi32.dll", "RegOpenKeyExW");
    decltype(&::RegCreateKeyExW) regCreate =
        Desktop<decltype(regCreate)>(L"advapi32.dll", "RegCreateKeyExW");
    decltype(&::RegQueryValueExW) regQuery =
        Desktop<decltype(regQuery)>(L"advapi32.dll", "RegQueryValueExW");
    decltype(&::RegSetValueExW) regSet =
        Desktop<decltype(regSet)>(L"advapi32.dll", "RegSetValueExW");
    decltype(&::RegFlushKey) regFlush = Desktop<decltype(regFlush)>(L"advapi32.dll", "RegFlushKey");
    decltype(&::RegCloseKey) regClose = Desktop<decltype(regClose)>(L"advapi32.dll", "RegCloseKey");
    decltype(&::RegSaveKeyW) regSave = Desktop<decltype(regSave)>(L"advapi32.dll", "RegSaveKeyW");
    decltype(&::RegNotifyChangeKeyValue) regNotify =
        Desktop<decltype(regNotify)>(L"advapi32.dll", "RegNotifyChangeKeyValue");
    decltype(&::SetEvent) setEvent = Desktop<decltype(setEvent)>(L"kernel32.dll", "SetEvent");
    // coredll's CreateFileW keeps to the device's store, and refuses a host path.
    decltype(&::CreateFileW) createFile =
        Desktop<decltype(createFile)>(L"kernel32.dll", "CreateFileW");
    decltype(&::WaitForSingleObject) wait =
        Desktop<decltype(wait)>(L"kernel32.dll", "WaitForSingleObject");
    void(WINAPI* sleep)(DWORD) = Desktop<decltype(sleep)>(L"kernel32.dll", "Sleep");
    // The runtime coredll forwards the stream functions to.
    FILE*(__cdecl* fileOpen)(const wchar_t*,
                             const wchar_t*) = Desktop<decltype(fileOpen)>(L"msvcrt.dll",
                                                                           "_wfopen");
    int(__cdecl* filePrint)(FILE*, const wchar_t*,
                            ...) = Desktop<decltype(filePrint)>(L"msvcrt.dll", "fwprintf");
    int(__cdecl* fileClose)(FILE*) = Desktop<decltype(fileClose)>(L"msvcrt.dll", "fclose");
};

const DesktopCalls& Host()
{
    static DesktopCalls s_calls;
    return s_calls;
}

#define BENCH_KEY L"Bench\\Overhead"  // below the device's HKLM: watched by no one
#define BENCH_VALUE L"Value"          // the benchmark's own value in its keys
#define BENCH_FILE L"\\Application Data\\bench-overhead.txt"

// One comparison: trials of each side in turn (the first alternating); each
// side times its own batch and returns the microseconds.
struct Comparison {
    std::vector<double> platform, desktop;
    Spread ratio{};
};

Comparison Compare(int trials, const std::function<double()>& platform,
                   const std::function<double()>& desktop)
{
    Comparison c;
    platform();  // once each before timing: first-use costs are not the layer's
    desktop();
    for (int i = 0; i < trials; i++) {
        if (i % 2) {
            c.platform.push_back(platform());
            c.desktop.push_back(desktop());
        } else {
            c.desktop.push_back(desktop());
            c.platform.push_back(platform());
        }
    }
    c.ratio = RatioOf(c.platform, c.desktop, BENCH_BLOCK);
    return c;
}

void ReportOverhead(const char* operation, const Comparison& c, int perBatch, const char* how)
{
    Report(std::string("overhead.") + operation, c.ratio.median, "ratio", "<= 1.2",
           Format("%.1f us against %.1f us a call, %s; %s",
                  Median(BlockMinima(c.platform, BENCH_BLOCK)) / perBatch,
                  Median(BlockMinima(c.desktop, BENCH_BLOCK)) / perBatch, how,
                  SpreadText(c.ratio).c_str()));
}

const int kBatch = 16;        // calls timed together: a call is a few microseconds
const int kTrials = 3 * 101;  // per side: 101 blocks

// Times `calls` runs of call(i), nothing else.
double Timed(int calls, const std::function<void(int)>& call)
{
    double t0 = NowUs();
    for (int i = 0; i < calls; i++) {
        call(i);
    }
    return NowUs() - t0;
}

void RegistryOverheads(HKEY hostRoot)
{
    const DesktopCalls& d = Host();
    HKEY keys[kBatch];
    // Open: the state key, as the library opens it (access 0 is read).
    Comparison open = Compare(
        kTrials,
        [&] {
            double t = Timed(kBatch, [&](int i) {
                RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, 0, &keys[i]);
            });
            for (HKEY h : keys) {
                RegCloseKey(h);
            }
            return t;
        },
        [&] {
            double t = Timed(
                kBatch, [&](int i) { d.regOpen(hostRoot, REG_STATE_KEY, 0, KEY_READ, &keys[i]); });
            for (HKEY h : keys) {
                d.regClose(h);
            }
            return t;
        });
    ReportOverhead("reg-open", open, kBatch, "RegOpenKeyExW of the state key");

    Comparison close = Compare(
        kTrials,
        [&] {
            for (HKEY& h : keys) {
                RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, 0, &h);
            }
            return Timed(kBatch, [&](int i) { RegCloseKey(keys[i]); });
        },
        [&] {
            for (HKEY& h : keys) {
                d.regOpen(hostRoot, REG_STATE_KEY, 0, KEY_READ, &h);
            }
            return Timed(kBatch, [&](int i) { d.regClose(keys[i]); });
        });
    ReportOverhead("reg-close", close, kBatch, "RegCloseKey of a key just opened");

    HKEY hDevice = NULL, hHost = NULL;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, BENCH_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hDevice,
                    NULL);
    d.regOpen(hostRoot, BENCH_KEY, 0, KEY_ALL_ACCESS, &hHost);
    DWORD value = 1;
    RegSetValueExW(hDevice, BENCH_VALUE, 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
    Comparison query = Compare(
        kTrials,
        [&] {
            return Timed(kBatch, [&](int) {
                DWORD data = 0, cb = sizeof(data);
                RegQueryValueExW(hDevice, BENCH_VALUE, NULL, NULL, (LPBYTE)&data, &cb);
            });
        },
        [&] {
            return Timed(kBatch, [&](int) {
                DWORD data = 0, cb = sizeof(data);
                d.regQuery(hHost, BENCH_VALUE, NULL, NULL, (LPBYTE)&data, &cb);
            });
        });
    ReportOverhead("reg-query", query, kBatch, "RegQueryValueExW of a DWORD");

    Comparison set = Compare(
        kTrials,
        [&] {
            return Timed(kBatch, [&](int i) {
                DWORD data = (DWORD)i;
                RegSetValueExW(hDevice, BENCH_VALUE, 0, REG_DWORD, (const BYTE*)&data,
                               sizeof(data));
            });
        },
        [&] {
            return Timed(kBatch, [&](int i) {
                DWORD data = (DWORD)i;
                d.regSet(hHost, BENCH_VALUE, 0, REG_DWORD, (const BYTE*)&data, sizeof(data));
            });
        });
    ReportOverhead("reg-set", set, kBatch, "RegSetValueExW of a DWORD");

    // A flush through coredll commits the device durably; the desktop's
    // RegFlushKey under Wine writes nothing. The fair floor is the desktop's
    // own durable save of the same registry: RegSaveKeyW of the device's key
    // to a new file, FlushFileBuffers, and a write-through rename over the
    // old one, as the commit makes it.
    std::wstring deviceKey = std::wstring(SIM_DEVICES_KEY) + L"\\" + SimDeviceName();
    wchar_t folder[MAX_PATH];
    SimDeviceFolder(folder, MAX_PATH);
    std::wstring target = std::wstring(folder) + L"\\bench-floor.img";
    std::wstring temp = target + L".new";
    HKEY hWhole = NULL;
    d.regOpen(HKEY_CURRENT_USER, deviceKey.c_str(), 0, KEY_READ, &hWhole);
    const int kFlushTrials = 3 * 41;  // a durable commit waits for the disk: milliseconds
    Comparison flush = Compare(
        kFlushTrials, [&] { return Timed(1, [&](int) { RegFlushKey(hDevice); }); },
        [&] {
            return Timed(1, [&](int) {
                DeleteFileW(temp.c_str());
                d.regSave(hWhole, temp.c_str(), NULL);
                HANDLE h = d.createFile(temp.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, NULL);
                FlushFileBuffers(h);
                CloseHandle(h);
                MoveFileExW(temp.c_str(), target.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
            });
        });
    std::vector<double> bare;
    for (int i = 0; i < kTrials; i++) {
        bare.push_back(Timed(kBatch, [&](int) { d.regFlush(hHost); }) / kBatch);
    }
    ReportOverhead("reg-flush", flush, 1,
                   Format("RegFlushKey, a durable commit, against the desktop's durable save "
                          "of the same registry (its RegFlushKey, %.1f us, writes nothing)",
                          Median(bare))
                       .c_str());
    DeleteFileW(target.c_str());
    d.regClose(hWhole);
    d.regClose(hHost);
    RegCloseKey(hDevice);
}

void EventOverhead(void)
{
    const DesktopCalls& d = Host();
    // A device event no thread waits on, as the replay sets one.
    HANDLE hEvent = CreateEventW(NULL, FALSE, FALSE, L"rendak-bench.overhead");
    Comparison set = Compare(
        kTrials, [&] { return Timed(kBatch, [&](int) { EventModify(hEvent, EVENT_SET); }); },
        [&] { return Timed(kBatch, [&](int) { d.setEvent(hEvent); }); });
    ReportOverhead("event-set", set, kBatch, "EventModify(EVENT_SET) against SetEvent");
    CloseHandle(hEvent);
}

void FileOverheads(void)
{
    const DesktopCalls& d = Host();
    auto deviceOpen = (FILE * (__cdecl*)(const wchar_t*, const wchar_t*))(void*)GetProcAddress(
        GetModuleHandleW(L"coredll.dll"), "_wfopen");
    auto devicePrint = (int(__cdecl*)(FILE*, const wchar_t*, ...))(void*)GetProcAddress(
        GetModuleHandleW(L"coredll.dll"), "fwprintf");
    auto deviceClose =
        (int(__cdecl*)(FILE*))(void*)GetProcAddress(GetModuleHandleW(L"coredll.dll"), "fclose");
    wchar_t hostPath[MAX_PATH];
    SimStorePath(BENCH_FILE, hostPath, MAX_PATH);
    const int kFiles = 4;
    FILE* files[kFiles];
    Comparison open = Compare(
        kTrials,
        [&] {
            double t = Timed(kFiles, [&](int i) { files[i] = deviceOpen(BENCH_FILE, L"w"); });
            for (FILE* f : files) {
                deviceClose(f);
            }
            return t;
        },
        [&] {
            double t = Timed(kFiles, [&](int i) { files[i] = d.fileOpen(hostPath, L"w"); });
            for (FILE* f : files) {
                d.fileClose(f);
            }
            return t;
        });
    ReportOverhead("file-open", open, kFiles, "_wfopen of the status file's folder for writing");
    // Writing and closing are the runtime's own functions, which coredll
    // forwards: the same code on both sides, timed to show that it is.
    FILE* f = deviceOpen(BENCH_FILE, L"w");
    Comparison write = Compare(
        kTrials, [&] { return Timed(kBatch, [&](int) { devicePrint(f, L"%d", 1); }); },
        [&] { return Timed(kBatch, [&](int) { d.filePrint(f, L"%d", 1); }); });
    deviceClose(f);
    ReportOverhead("file-write", write, kBatch, "fwprintf, forwarded to the runtime");
    Comparison closing = Compare(
        kTrials,
        [&] {
            FILE* g = deviceOpen(BENCH_FILE, L"w");
            devicePrint(g, L"%d", 1);
            return Timed(1, [&](int) { deviceClose(g); });
        },
        [&] {
            FILE* g = d.fileOpen(hostPath, L"w");
            d.filePrint(g, L"%d", 1);
            return Timed(1, [&](int) { d.fileClose(g); });
        });
    ReportOverhead("file-close", closing, 1, "fclose of a written file, forwarded to the runtime");
    DeleteFileW(hostPath);
}

// --- Notifications within the process ----------------------------------------------

std::atomic<double> g_calledUs{0};  // when the latest callback began
HANDLE g_called = NULL;             // set by each callback

void StampCallback(HREGNOTIFY, DWORD, const PBYTE, const UINT)
{
    g_calledUs = NowUs();
    Host().setEvent(g_called);
}

// The floor: the least a callback service on Wine does. A thread waits on
// the host's change notification, arms it again, reads the value and calls.
struct FloorWatcher {
    HKEY hKey = NULL;
    HANDLE hChanged = CreateEventW(NULL, FALSE, FALSE, NULL);
    std::atomic<bool> stop{false};
};

DWORD WINAPI FloorThread(LPVOID p)
{
    FloorWatcher* w = (FloorWatcher*)p;
    const DesktopCalls& d = Host();
    d.regNotify(w->hKey, FALSE, REG_NOTIFY_CHANGE_LAST_SET, w->hChanged, TRUE);
    while (d.wait(w->hChanged, INFINITE) == WAIT_OBJECT_0 && !w->stop) {
        d.regNotify(w->hKey, FALSE, REG_NOTIFY_CHANGE_LAST_SET, w->hChanged, TRUE);
        DWORD data = 0, cb = sizeof(data);
        d.regQuery(w->hKey, BENCH_VALUE, NULL, NULL, (LPBYTE)&data, &cb);
        StampCallback(NULL, 0, (PBYTE)&data, cb);
    }
    return 0;
}

void NotifyOverhead(HKEY hostRoot)
{
    const DesktopCalls& d = Host();
    g_called = CreateEventW(NULL, FALSE, FALSE, NULL);
    HKEY hPlatform = NULL, hFloor = NULL;
    d.regCreate(hostRoot, BENCH_KEY L"\\Platform", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hPlatform,
                NULL);
    d.regCreate(hostRoot, BENCH_KEY L"\\Floor", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hFloor, NULL);
    HREGNOTIFY hNotify = NULL;
    RegistryNotifyCallback(HKEY_LOCAL_MACHINE, BENCH_KEY L"\\Platform", BENCH_VALUE, StampCallback,
                           0, NULL, &hNotify);
    FloorWatcher watcher;
    watcher.hKey = hFloor;
    HANDLE hThread = CreateThread(NULL, 0, FloorThread, &watcher, 0, NULL);
    d.sleep(50);  // both watching
    DWORD counter = 0;
    // A change written past the layer, so that only the delivery is timed.
    auto deliver = [&](HKEY hKey) {
        counter++;
        double t0 = NowUs();
        d.regSet(hKey, BENCH_VALUE, 0, REG_DWORD, (const BYTE*)&counter, sizeof(counter));
        if (d.wait(g_called, 2000) != WAIT_OBJECT_0) {
            return 0.0;
        }
        d.sleep(2);  // both threads back to waiting
        return g_calledUs - t0;
    };
    Comparison c = Compare(
        3 * 61, [&] { return deliver(hPlatform); }, [&] { return deliver(hFloor); });
    ReportOverhead("notify", c, 1,
                   "a change in this process to the callback, RegistryNotifyCallback against "
                   "a thread on RegNotifyChangeKeyValue that reads the value and calls");
    watcher.stop = true;
    DWORD one = 1;
    d.regSet(hFloor, BENCH_VALUE, 0, REG_DWORD, (const BYTE*)&one, sizeof(one));
    WaitForSingleObject(hThread, 2000);
    CloseHandle(hThread);
    RegistryCloseNotification(hNotify);
    CloseHandle((HANDLE)hNotify);
    d.regClose(hPlatform);
    d.regClose(hFloor);
    CloseHandle(g_called);
}

}  // namespace

void LayerOverhead(void)
{
    // On the real clock, with the library's state notification open, as its
    // calls run in use.
    SimSetClock(SIM_CLOCK_REAL, 1);
    HKEY hostRoot = SimDeviceRegistryRoot();
    RegistryOverheads(hostRoot);
    EventOverhead();
    FileOverheads();
    NotifyOverhead(hostRoot);
    SimRegDeleteKey(BENCH_KEY);
}

// --- Notifications across processes -------------------------------------------------

#define PLATFORM_KEY L"Bench\\Platform"  // watched by the benchmark's registration
#define FLOOR_KEY L"Bench\\Floor"        // watched with the desktop's call

namespace {

enum Written { kStateValue, kPlatformValue, kFloorValue };

struct SharedClock {
    volatile double changedUs;  // when the other process wrote the value
    volatile LONG which;        // a Written: the value to write next
};

}  // namespace

// The child: writes the value the parent names, past the layer (the desktop's
// RegSetValueExW on the device's host key), so that every kind of sample
// times the same write and only its delivery differs.
int WriteValuesForParent(void)
{
    const DesktopCalls& d = Host();
    HANDLE hMap = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, L"RendakBench.Shared");
    HANDLE hSeen = OpenEventW(EVENT_ALL_ACCESS, FALSE, L"RendakBench.Seen");
    HANDLE hGo = OpenEventW(EVENT_ALL_ACCESS, FALSE, L"RendakBench.Go");
    HKEY keys[3] = {};
    HKEY hostRoot = SimDeviceRegistryRoot();
    d.regOpen(hostRoot, REG_STATE_KEY, 0, KEY_ALL_ACCESS, &keys[kStateValue]);
    d.regOpen(hostRoot, PLATFORM_KEY, 0, KEY_ALL_ACCESS, &keys[kPlatformValue]);
    d.regOpen(hostRoot, FLOOR_KEY, 0, KEY_ALL_ACCESS, &keys[kFloorValue]);
    if (!hMap || !hSeen || !hGo || !keys[0] || !keys[1] || !keys[2]) {
        return 1;
    }
    SharedClock* shared = (SharedClock*)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    DWORD written = 0, stateWrites = 0;
    for (;;) {
        if (d.wait(hGo, 30000) != WAIT_OBJECT_0) {
            break;
        }
        LONG which = shared->which;
        written++;
        shared->changedUs = NowUs();
        if (which == kStateValue) {
            // The adapter powered, and every other time switching as well:
            // each write changes the value, as the library is called back
            // only then.
            DWORD state = SIM_STATE_ADAPTER | SIM_STATE_POWERED |
                          (stateWrites++ % 2 ? 0 : SIM_STATE_SWITCHING);
            d.regSet(keys[which], REG_STATE_VALUE, 0, REG_DWORD, (const BYTE*)&state,
                     sizeof(state));
        } else {
            d.regSet(keys[which], BENCH_VALUE, 0, REG_DWORD, (const BYTE*)&written,
                     sizeof(written));
        }
        d.wait(hSeen, 30000);
    }
    return 0;
}

// The parent, with the library's state notification open. notify.median: a
// change of the state value to the library's callback line in the journal.
// notify.floor-ratio, by turns: a change to the first line of a callback
// registered with RegistryNotifyCallback, against a change of a value watched
// with the desktop's RegNotifyChangeKeyValue to this thread's wake.
void NotificationFloor(const wchar_t* self)
{
    const DesktopCalls& d = Host();
    HKEY hPlatform = NULL, hFloor = NULL;
    HKEY hostRoot = SimDeviceRegistryRoot();
    d.regCreate(hostRoot, PLATFORM_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hPlatform, NULL);
    d.regCreate(hostRoot, FLOOR_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hFloor, NULL);
    HREGNOTIFY hNotify = NULL;
    g_called = CreateEventW(NULL, FALSE, FALSE, NULL);
    RegistryNotifyCallback(HKEY_LOCAL_MACHINE, PLATFORM_KEY, BENCH_VALUE, StampCallback, 0, NULL,
                           &hNotify);
    HANDLE hMap = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                     sizeof(SharedClock), L"RendakBench.Shared");
    HANDLE hSeen = CreateEventW(NULL, FALSE, FALSE, L"RendakBench.Seen");
    HANDLE hGo = CreateEventW(NULL, FALSE, FALSE, L"RendakBench.Go");
    HANDLE hChanged = CreateEventW(NULL, FALSE, FALSE, NULL);
    SharedClock* shared = (SharedClock*)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    std::wstring command = std::wstring(L"\"") + self + L"\" --write-values";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    const int kSamples = 3 * 41;  // of each kind
    std::vector<double> library, platform, floor, floorRead;
    int missed = 0;
    const std::wstring callbackLine = std::wstring(SIM_J_DEBUG) + L"|g_lWiFiState=";
    // One change and its delivery, in ms; -1 when it was not seen in 5 s.
    auto sample = [&](Written which) {
        if (which == kFloorValue) {
            d.regNotify(hFloor, FALSE, REG_NOTIFY_CHANGE_LAST_SET, hChanged, TRUE);
        }
        SimJournalClear();
        shared->which = which;
        d.setEvent(hGo);
        bool seen = false;
        double deliveredUs = 0;
        if (which == kStateValue) {
            seen = SimJournalWaitFor(callbackLine.c_str(), 1, 5000) != FALSE;
            deliveredUs = NowUs();
        } else if (which == kPlatformValue) {
            seen = d.wait(g_called, 5000) == WAIT_OBJECT_0;
            deliveredUs = g_calledUs;
        } else {
            seen = d.wait(hChanged, 5000) == WAIT_OBJECT_0;
            deliveredUs = NowUs();
            // What a waiter does next to learn the value a callback is given.
            DWORD data = 0, cb = sizeof(data);
            d.regQuery(hFloor, BENCH_VALUE, NULL, NULL, (LPBYTE)&data, &cb);
            floorRead.push_back((NowUs() - shared->changedUs) / 1000.0);
        }
        double latencyMs = (deliveredUs - shared->changedUs) / 1000.0;
        d.setEvent(hSeen);
        d.sleep(10);  // the callback's own work done, the child back to waiting
        return seen ? latencyMs : -1.0;
    };
    if (hPlatform && hFloor && hNotify &&
        CreateProcessW(self, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        for (int i = 0; i < kSamples; i++) {
            double seen = sample(kStateValue);
            if (seen >= 0) {
                library.push_back(seen);
            }
            bool floorFirst = i % 2 == 1;
            double a = sample(floorFirst ? kFloorValue : kPlatformValue);
            double b = sample(floorFirst ? kPlatformValue : kFloorValue);
            double mine = floorFirst ? b : a, theirs = floorFirst ? a : b;
            if (mine < 0 || theirs < 0) {
                missed++;
                continue;
            }
            platform.push_back(mine);
            floor.push_back(theirs);
        }
        TerminateProcess(pi.hProcess, 0);
        WaitForSingleObject(pi.hProcess, 5000);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    Spread l = SpreadOf(library);
    Report("notify.median", l.median, "ms", "< 5 ms",
           Format("%zu of %d changes seen, slowest %.2f ms; %s", library.size(), kSamples,
                  Percentile(library, 1.0), SpreadText(l).c_str()));
    Spread r = RatioOf(platform, floor, BENCH_BLOCK);
    Report(
        "notify.floor-ratio", r.median, "ratio", "<= 1.5",
        Format("%.3f ms to a RegistryNotifyCallback callback against %.3f ms for Wine's own "
               "RegNotifyChangeKeyValue, across processes (%.3f ms with the value then read, "
               "as a callback is given it); %d pairs not seen; %s",
               Median(BlockMinima(platform, BENCH_BLOCK)), Median(BlockMinima(floor, BENCH_BLOCK)),
               Median(BlockMinima(floorRead, BENCH_BLOCK)), missed, SpreadText(r).c_str()));
    UnmapViewOfFile(shared);
    CloseHandle(hMap);
    CloseHandle(hSeen);
    CloseHandle(hGo);
    CloseHandle(hChanged);
    RegistryCloseNotification(hNotify);
    CloseHandle((HANDLE)hNotify);
    CloseHandle(g_called);
    d.regClose(hPlatform);
    d.regClose(hFloor);
    SimRegDeleteKey(L"Bench");
}
