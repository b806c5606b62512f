// scale.cpp - how the platform's costs grow with the processes and devices
// that share one wineserver: a state change seen by 1, 4 and 16 processes, a
// device opened by a new process among 10, 100 and 1,000 devices, and a reload
// signalled to 1, 4 and 16 processes holding the library. Each series is one
// figure, its largest point against its smallest, with its points beside it;
// each point is a figure of its own too.
//
// The processes are this program again, started as "--scale ROLE INDEX MAP":
// they share a host file mapping (MAP) with the parent and write there, as
// microseconds since the parent's base time, when their part happened.
#include "bench.h"
#include "scale.h"

#include <handheld_radio.h>
#include <rendak_store.h>

#include <algorithm>
#include <map>

namespace {

const int kMaxChildren = 16;
const LONG kNotYet = -1;

struct ChildSlot {
    LONG seenUs;      // notify: its callback ran; reload: its worker asked (kNotYet)
    LONG waitsBegun;  // reload: its worker's waits on the reload event so far
    LONG woken;       // reload: of those, how many the event ended
    LONG startUs;     // open: the process reached its main
    LONG openedUs;    // open: its first platform call returned
};

// Written by the parent before the children start, then by the children.
struct Shared {
    double baseUs;  // the parent's NowUs() that the children's times count from
    LONG expected;  // callbacks or wakes that complete a round
    LONG ready;     // children set up and waiting
    LONG seen;      // callbacks or wakes in this round
    LONG quit;      // the children may end
    ChildSlot child[kMaxChildren];
};

// Device-named events of the bench's device, shared by parent and children.
#define SCALE_ROUND_DONE L"RendakBench.Scale.RoundDone"
#define SCALE_QUIT L"RendakBench.Scale.Quit"
#define SCALE_FLOOR_EVENT L"RendakBench.Scale.Floor"
#define SCALE_DEVICE_PREFIX L"bench-scale-"

Shared* g_shared = NULL;           // the mapping, in a child
HANDLE g_roundDone = NULL;         // set when a round's callbacks or wakes are all in
HANDLE g_quit = NULL;              // the parent's: set when the children may end
void(WINAPI* g_hostSleep)(DWORD);  // the desktop's Sleep: the device's may be virtual

LONG Read(LONG* p)
{
    return InterlockedCompareExchange(p, 0, 0);
}

// A number as text, without the wide formatting functions (the device's own
// stream functions must not be bound elsewhere).
std::wstring Wide(long n)
{
    std::string narrow = std::to_string(n);
    return std::wstring(narrow.begin(), narrow.end());
}

LONG UsSinceBase()
{
    return (LONG)(NowUs() - g_shared->baseUs);
}

// One more callback or wake in this round; the last one expected says so.
void Seen(int index)
{
    InterlockedExchange(&g_shared->child[index].seenUs, UsSinceBase());
    if (InterlockedIncrement(&g_shared->seen) == Read(&g_shared->expected)) {
        SetEvent(g_roundDone);
    }
}

// --- The children's parts ----------------------------------------------------------

void OnStateChanged(HREGNOTIFY, DWORD dwUserData, const PBYTE, const UINT)
{
    Seen((int)dwUserData);
}

// Registers for the state value as the library does, and waits to be told to end.
int NotifyRole(int index)
{
    // On host time a change of another process is delivered at once; the
    // virtual clock would first give the writer time to say it was its own.
    SimSetClock(SIM_CLOCK_REAL, 1);
    HANDLE hQuit = OpenEventW(EVENT_ALL_ACCESS, FALSE, SCALE_QUIT);
    HKEY hKey;
    if (hQuit == NULL || RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, 0, &hKey) != 0) {
        return 1;
    }
    HREGNOTIFY hNotify = NULL;
    RegistryNotifyCallback(hKey, NULL, L"WIFI", OnStateChanged, (DWORD)index, NULL, &hNotify);
    RegCloseKey(hKey);
    if (hNotify == NULL) {
        return 1;
    }
    InterlockedIncrement(&g_shared->ready);
    WaitForSingleObject(hQuit, 600000);
    RegistryCloseNotification(hNotify);
    CloseHandle(hNotify);
    return 0;
}

// The floor under NotifyRole: the host's own change notification on the same
// key, re-armed and the value read once per change, as the platform's
// notification thread must at the least.
int NotifyFloorRole(int index)
{
    typedef LONG(WINAPI * PFN_OPEN)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    typedef LONG(WINAPI * PFN_QUERY)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    HMODULE hHost = GetModuleHandleW(L"advapi32.dll");
    PFN_OPEN pfnOpen = (PFN_OPEN)(void*)GetProcAddress(hHost, "RegOpenKeyExW");
    PFN_QUERY pfnQuery = (PFN_QUERY)(void*)GetProcAddress(hHost, "RegQueryValueExW");
    std::wstring path =
        std::wstring(SIM_DEVICES_KEY) + L"\\" + SimDeviceName() + L"\\HKLM\\" + REG_STATE_KEY;
    HANDLE hQuit = OpenEventW(EVENT_ALL_ACCESS, FALSE, SCALE_QUIT);
    HANDLE hChanged = CreateEventW(NULL, FALSE, FALSE, NULL);
    HKEY hKey;
    if (!pfnOpen || !pfnQuery || !hQuit || !hChanged ||
        pfnOpen(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        return 1;
    }
    const DWORD kFilter = REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME;
    RegNotifyChangeKeyValue(hKey, FALSE, kFilter, hChanged, TRUE);
    InterlockedIncrement(&g_shared->ready);
    HANDLE aWait[2] = {hChanged, hQuit};
    while (WaitForMultipleObjects(2, aWait, FALSE, 600000) == WAIT_OBJECT_0) {
        RegNotifyChangeKeyValue(hKey, FALSE, kFilter, hChanged, TRUE);
        DWORD value = 0, cb = sizeof(value);
        pfnQuery(hKey, L"WiFi", NULL, NULL, (LPBYTE)&value, &cb);
        Seen(index);
    }
    return 0;
}

int WINAPI OnReloadQuestion(HWND, LPCWSTR, LPCWSTR, UINT, void* pContext)
{
    Seen((int)(INT_PTR)pContext);
    return IDNO;  // a short pass, and the worker waits again
}

// Holds the library, and says each time its worker begins to wait again, with
// the waits and wakes that the platform counted.
int ReloadRole(int index)
{
    SimSetMessageBoxHook(OnReloadQuestion, (void*)(INT_PTR)index);
    if (LoadLibraryW(L"Rendak.dll") == NULL) {
        return 1;
    }
    const std::wstring begin = handheld::WaitBeginEntry(RELOAD_EVENT_NAME);
    ChildSlot& slot = g_shared->child[index];
    for (DWORD k = 1; Read(&g_shared->quit) == 0;) {
        if (!SimJournalWaitFor(begin.c_str(), k, 100)) {
            continue;
        }
        SIMEVENTWAITS waits = {0, 0, 0};
        SimEventWaits(RELOAD_EVENT_NAME, &waits);
        InterlockedExchange(&slot.woken, (LONG)waits.dwWoken);
        InterlockedExchange(&slot.waitsBegun, (LONG)waits.dwBegun);
        if (k++ == 1) {
            InterlockedIncrement(&g_shared->ready);
        }
    }
    return 0;
}

// The floor under ReloadRole: a thread waiting on a plain auto-reset event.
int ReloadFloorRole(int index)
{
    HANDLE hEvent = OpenEventW(EVENT_ALL_ACCESS, FALSE, SCALE_FLOOR_EVENT);
    HANDLE hQuit = OpenEventW(EVENT_ALL_ACCESS, FALSE, SCALE_QUIT);
    if (hEvent == NULL || hQuit == NULL) {
        return 1;
    }
    ChildSlot& slot = g_shared->child[index];
    InterlockedIncrement(&g_shared->ready);
    HANDLE aWait[2] = {hEvent, hQuit};
    for (;;) {
        InterlockedIncrement(&slot.waitsBegun);
        if (WaitForMultipleObjects(2, aWait, FALSE, 600000) != WAIT_OBJECT_0) {
            return 0;
        }
        InterlockedIncrement(&slot.woken);
        Seen(index);
    }
}

// A new process's first platform call: it opens the device on the way.
int OpenRole(int index)
{
    ChildSlot& slot = g_shared->child[index];
    InterlockedExchange(&slot.startUs, UsSinceBase());
    HKEY hKey;
    DWORD value = 0, cb = sizeof(value);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, 0, &hKey) != 0) {
        return 1;
    }
    RegQueryValueExW(hKey, L"WiFi", NULL, NULL, (LPBYTE)&value, &cb);
    RegCloseKey(hKey);
    InterlockedExchange(&slot.openedUs, UsSinceBase());
    return 0;
}

// Makes the devices FROM to TO (bench-scale-N) from the factory image.
int MakeRole(int from, int to)
{
    for (int i = from; i <= to; i++) {
        if (!SimSelectDevice((SCALE_DEVICE_PREFIX + Wide(i)).c_str())) {
            return 1;
        }
    }
    return 0;
}

// --- The parent's side ---------------------------------------------------------------

// The children of one round of a series, and the mapping they share.
class Children {
public:
    explicit Children(const wchar_t* self) : self_(self)
    {
        name_ = L"RendakBench.Scale." + Wide(GetCurrentProcessId());
        map_ = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(Shared),
                                  name_.c_str());
        shared_ = map_ ? (Shared*)MapViewOfFile(map_, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
        if (shared_) {
            ZeroMemory(shared_, sizeof(Shared));
            shared_->baseUs = NowUs();
        }
        ResetEvent(g_quit);
    }
    ~Children()
    {
        End();
        if (shared_) {
            UnmapViewOfFile(shared_);
        }
        if (map_) {
            CloseHandle(map_);
        }
    }
    Shared* shared() { return shared_; }

    bool Start(const wchar_t* role, int index, const std::wstring& extra = L"")
    {
        std::wstring command =
            L"\"" + self_ + L"\" --scale " + role + L" " + Wide(index) + L" " + name_ + extra;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (shared_ == NULL || !CreateProcessW(self_.c_str(), &command[0], NULL, NULL, FALSE, 0,
                                               NULL, NULL, &si, &pi)) {
            return false;
        }
        CloseHandle(pi.hThread);
        processes_.push_back(pi.hProcess);
        return true;
    }

    // Starts n children in ROLE and waits until each says it is ready.
    bool StartReady(const wchar_t* role, int n)
    {
        for (int i = 0; i < n; i++) {
            if (!Start(role, i)) {
                return false;
            }
        }
        return WaitUntil([&] { return Read(&shared_->ready) == n; });
    }

    // Forgets the last sample's callbacks or wakes, before the next one.
    void NewSample(int n)
    {
        for (int c = 0; c < n; c++) {
            InterlockedExchange(&shared_->child[c].seenUs, kNotYet);
        }
        InterlockedExchange(&shared_->seen, 0);
        ResetEvent(g_roundDone);
    }

    // Waits (host time) until the condition holds; false after timeoutMs.
    template <typename F>
    bool WaitUntil(F condition, DWORD timeoutMs = 60000)
    {
        double until = NowUs() + timeoutMs * 1000.0;
        while (!condition()) {
            if (NowUs() > until) {
                return false;
            }
            g_hostSleep(1);
        }
        return true;
    }

    // Tells the children to end and waits for them; returns how many ended
    // with exit code 0 of their own accord.
    int End()
    {
        int clean = 0;
        if (shared_) {
            InterlockedExchange(&shared_->quit, 1);
        }
        SetEvent(g_quit);
        for (HANDLE h : processes_) {
            DWORD code = 1;
            if (WaitForSingleObject(h, 30000) != WAIT_OBJECT_0) {
                TerminateProcess(h, 1);
            } else if (GetExitCodeProcess(h, &code) && code == 0) {
                clean++;
            }
            CloseHandle(h);
        }
        processes_.clear();
        return clean;
    }

private:
    std::wstring self_;
    std::wstring name_;
    HANDLE map_ = NULL;
    Shared* shared_ = NULL;
    std::vector<HANDLE> processes_;
};

double Ms(LONG us)
{
    return us / 1000.0;
}

// One series: each point as a figure, then the largest against the smallest.
// A point that could not be measured (0 samples) makes the series n/a.
struct Point {
    int size;
    double ms;
    std::string detail;
};

void ReportSeries(const std::string& name, const std::string& what,
                  const std::vector<Point>& points)
{
    std::string list;
    bool complete = !points.empty();
    for (const Point& p : points) {
        Report(name + "." + std::to_string(p.size), p.ms, "ms", "none set", p.detail);
        list +=
            (list.empty() ? "" : ", ") + std::to_string(p.size) + ": " + Format("%.2f ms", p.ms);
        complete = complete && p.ms > 0;
    }
    double ratio = complete ? points.back().ms / points.front().ms : 0;
    Report(name, ratio, "ratio", "<= 1.5", what + "; " + list);
}

const int kSizes[] = {1, 4, 16};
const int kSizeCount = 3;
// Each series is measured in passes over its sizes, so that a machine busy
// for a while slows every size alike rather than one.
const int kPasses = 3;

template <typename T>
void Append(std::vector<T>* to, const std::vector<T>& from)
{
    to->insert(to->end(), from.begin(), from.end());
}

// --- A state change seen by N processes --------------------------------------------

struct Latencies {
    std::vector<double> toFirst, toLast;
    int clean = 0;  // children that ended of their own accord
};

// N children in ROLE watch the state value; each of the samples changes it
// through the platform, as the driver does, and times the callbacks.
Latencies NotifyRound(const wchar_t* self, const wchar_t* role, int n, HKEY hKey)
{
    const int kSamples = 10;
    Latencies result;
    Children children(self);
    Shared* s = children.shared();
    if (children.StartReady(role, n)) {
        InterlockedExchange(&s->expected, n);
        for (int i = 0; i < kSamples; i++) {
            children.NewSample(n);
            // The adapter powered, and every other time switching as well.
            DWORD state = SIM_STATE_ADAPTER | SIM_STATE_POWERED | (i % 2 ? 0 : SIM_STATE_SWITCHING);
            LONG changed = (LONG)(NowUs() - s->baseUs);
            RegSetValueExW(hKey, L"WiFi", 0, REG_DWORD, (const BYTE*)&state, sizeof(state));
            if (WaitForSingleObject(g_roundDone, 5000) != WAIT_OBJECT_0) {
                continue;  // a callback missing: the sample is not counted
            }
            LONG lo = LONG_MAX, hi = 0;
            for (int c = 0; c < n; c++) {
                LONG t = Read(&s->child[c].seenUs);
                lo = std::min(lo, t);
                hi = std::max(hi, t);
            }
            result.toFirst.push_back(Ms(lo - changed));
            result.toLast.push_back(Ms(hi - changed));
            g_hostSleep(20);
        }
    }
    result.clean = children.End();
    return result;
}

void NotifySeries(const wchar_t* self)
{
    std::vector<Point> first, last, floorFirst, floorLast;
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, KEY_ALL_ACCESS, &hKey) != 0) {
        return;
    }
    Latencies platform[kSizeCount], host[kSizeCount];
    for (int pass = 0; pass < kPasses; pass++) {
        for (int k = 0; k < kSizeCount; k++) {
            for (auto [role, into] : {std::make_pair(L"notify", &platform[k]),
                                      std::make_pair(L"notify-floor", &host[k])}) {
                Latencies round = NotifyRound(self, role, kSizes[k], hKey);
                Append(&into->toFirst, round.toFirst);
                Append(&into->toLast, round.toLast);
                into->clean += round.clean;
            }
        }
    }
    for (int k = 0; k < kSizeCount; k++) {
        const Latencies& p = platform[k];
        const Latencies& h = host[k];
        std::string detail =
            Format("median of %zu changes; %d processes of %d ended cleanly", p.toFirst.size(),
                   p.clean, kPasses * kSizes[k]) +
            Format("; the host's own notification %.2f ms to the first, %.2f ms to the last",
                   Median(h.toFirst), Median(h.toLast));
        first.push_back({kSizes[k], Median(p.toFirst), detail});
        last.push_back({kSizes[k], Median(p.toLast), detail});
        std::string hostDetail = Format("median of %zu changes", h.toFirst.size());
        floorFirst.push_back({kSizes[k], Median(h.toFirst), hostDetail});
        floorLast.push_back({kSizes[k], Median(h.toLast), hostDetail});
    }
    RegCloseKey(hKey);
    ReportSeries("scale.notify-first", "change to the first callback, 1 to 16 processes", first);
    ReportSeries("scale.notify-last", "change to the last callback, 1 to 16 processes", last);
    ReportSeries("scale.notify-floor-first",
                 "the same through the host's RegNotifyChangeKeyValue alone", floorFirst);
    ReportSeries("scale.notify-floor-last",
                 "the same through the host's RegNotifyChangeKeyValue alone", floorLast);
}

// --- A reload signalled to N processes holding the library ------------------------

struct Wakes {
    std::vector<double> latencies;
    std::vector<LONG> wokenPerSignal;  // workers woken by each signal
};

// N children in ROLE wait on hEvent; each sample sets it once when every one
// of them waits, and times the wake.
Wakes ReloadRound(const wchar_t* self, const wchar_t* role, int n, HANDLE hEvent)
{
    const int kSamples = 10;
    Wakes result;
    Children children(self);
    Shared* s = children.shared();
    auto sum = [&](LONG ChildSlot::*field) {
        LONG total = 0;
        for (int c = 0; c < n; c++) {
            total += Read(&(s->child[c].*field));
        }
        return total;
    };
    if (hEvent == NULL || !children.StartReady(role, n)) {
        return result;
    }
    InterlockedExchange(&s->expected, 1);
    for (int i = 0; i < kSamples; i++) {
        // Every worker waits again, as after its own pass.
        if (!children.WaitUntil([&] { return sum(&ChildSlot::waitsBegun) >= n + i; }, 10000)) {
            break;
        }
        LONG wokenBefore = sum(&ChildSlot::woken);
        children.NewSample(n);
        LONG signalled = (LONG)(NowUs() - s->baseUs);
        EventModify(hEvent, EVENT_SET);
        if (WaitForSingleObject(g_roundDone, 5000) != WAIT_OBJECT_0) {
            break;
        }
        LONG woke = 0;
        for (int c = 0; c < n; c++) {
            woke = std::max(woke, Read(&s->child[c].seenUs));
        }
        result.latencies.push_back(Ms(woke - signalled));
        // The woken worker's pass is over once it waits again; a second wake
        // would have been counted by then.
        if (children.WaitUntil([&] { return sum(&ChildSlot::waitsBegun) >= n + i + 1; }, 10000)) {
            result.wokenPerSignal.push_back(sum(&ChildSlot::woken) - wokenBefore);
        }
    }
    return result;
}

void ReloadSeries(const wchar_t* self)
{
    std::vector<Point> points, floor;
    std::string wokenDetail;
    int signals = 0, exact = 0;
    // Our own worker lets go of the event, so that it goes to the children's.
    SimHoldEventWaits(TRUE);
    HANDLE hEvent = CreateEventW(NULL, FALSE, FALSE, RELOAD_EVENT_NAME);
    HANDLE hFloor = CreateEventW(NULL, FALSE, FALSE, SCALE_FLOOR_EVENT);
    Wakes reload[kSizeCount], host[kSizeCount];
    for (int pass = 0; pass < kPasses; pass++) {
        for (int k = 0; k < kSizeCount; k++) {
            Wakes round = ReloadRound(self, L"reload", kSizes[k], hEvent);
            Append(&reload[k].latencies, round.latencies);
            Append(&reload[k].wokenPerSignal, round.wokenPerSignal);
            Append(&host[k].latencies,
                   ReloadRound(self, L"reload-floor", kSizes[k], hFloor).latencies);
        }
    }
    for (int k = 0; k < kSizeCount; k++) {
        int n = kSizes[k];
        const std::vector<LONG>& woken = reload[k].wokenPerSignal;
        int ones = (int)std::count(woken.begin(), woken.end(), 1);
        signals += (int)woken.size();
        exact += ones;
        LONG most = woken.empty() ? 0 : *std::max_element(woken.begin(), woken.end());
        points.push_back(
            {n, Median(reload[k].latencies),
             Format("median of %zu signals, the event set to the worker's question; a thread "
                    "waiting on a plain event %.2f ms",
                    reload[k].latencies.size(), Median(host[k].latencies))});
        floor.push_back({n, Median(host[k].latencies),
                         Format("median of %zu signals", host[k].latencies.size())});
        wokenDetail += (wokenDetail.empty() ? "" : ", ") + std::to_string(n) + ": " +
                       std::to_string(ones) + " of " + std::to_string(woken.size()) + " (most " +
                       std::to_string(most) + ")";
    }
    CloseHandle(hFloor);
    if (hEvent) {
        CloseHandle(hEvent);
    }
    SimHoldEventWaits(FALSE);
    ReportSeries("scale.reload", "set to the woken worker, 1 to 16 processes holding the library",
                 points);
    ReportSeries("scale.reload-floor", "set to a woken thread of 1 to 16 processes waiting on it",
                 floor);
    Report("scale.reload-woken", signals ? (double)exact / signals : 0, "share", "1",
           "signals that woke exactly one worker; " + wokenDetail);
}

// --- A device opened among N ----------------------------------------------------------

// The host folder that holds every device's folder, and the devices in it.
std::wstring DevicesFolder()
{
    wchar_t folder[MAX_PATH];
    DWORD n = SimDeviceFolder(folder, MAX_PATH);
    std::wstring path(folder, n < MAX_PATH ? n : 0);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::vector<std::wstring> Devices()
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((DevicesFolder() + L"\\*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        std::wstring name = fd.cFileName;
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
    return names;
}

bool IsOurs(const std::wstring& device)
{
    return device.rfind(SCALE_DEVICE_PREFIX, 0) == 0;
}

void OpenSeries(const wchar_t* self)
{
    // Up to 1,000 and down again: each size is measured twice, apart in time.
    const int kSteps[] = {10, 100, 1000, 100, 10};
    const int kTargets[] = {10, 100, 1000};
    const int kSamples = 8;
    // Devices of an earlier run that did not finish are this series' own.
    for (const std::wstring& d : Devices()) {
        if (IsOurs(d)) {
            SimDeleteDevice(d.c_str());
        }
    }
    int present = (int)Devices().size();
    int made = 0;
    std::map<int, std::vector<double>> inProcess, fromStart;
    std::map<int, std::string> counts;
    std::string making;
    for (int target : kSteps) {
        Children children(self);
        Shared* s = children.shared();
        int want = std::max(0, target - present);
        double t0 = NowUs();
        if (made < want) {
            children.Start(L"make", 0, L" " + Wide(made + 1) + L" " + Wide(want));
            children.End();
            making += (making.empty() ? "" : ", ") +
                      Format("%d made in %.1f s", want - made, (NowUs() - t0) / 1e6);
        }
        for (; made > want; made--) {
            SimDeleteDevice((SCALE_DEVICE_PREFIX + Wide(made)).c_str());
        }
        made = want;
        counts[target] +=
            (counts[target].empty() ? "" : " and ") + std::to_string(Devices().size());
        for (int i = 0; i < kSamples; i++) {
            std::wstring device =
                made > 0 ? SCALE_DEVICE_PREFIX + Wide(1 + i % made) : std::wstring(SimDeviceName());
            InterlockedExchange(&s->child[0].startUs, kNotYet);
            InterlockedExchange(&s->child[0].openedUs, kNotYet);
            SetEnvironmentVariableW(L"HANDHELD_DEVICE", device.c_str());
            LONG started = (LONG)(NowUs() - s->baseUs);
            bool ok = children.Start(L"open", 0) && children.End() == 1;
            SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
            LONG main = Read(&s->child[0].startUs), opened = Read(&s->child[0].openedUs);
            if (ok && main != kNotYet && opened != kNotYet) {
                inProcess[target].push_back(Ms(opened - main));
                fromStart[target].push_back(Ms(opened - started));
            }
        }
    }
    for (; made > 0; made--) {
        SimDeleteDevice((SCALE_DEVICE_PREFIX + Wide(made)).c_str());
    }
    std::vector<Point> open, whole;
    for (int target : kTargets) {
        std::string detail = counts[target] + " devices in the prefix; " +
                             Format("median of %zu processes", inProcess[target].size());
        open.push_back({target, Median(inProcess[target]), detail});
        whole.push_back({target, Median(fromStart[target]), detail});
    }
    ReportSeries("scale.device-open",
                 "main to the first platform call's return, 10 to 1,000 devices (" + making + ")",
                 open);
    ReportSeries("scale.device-start", "process creation to the first platform call's return",
                 whole);
}

}  // namespace

int ScaleRole(int argc, LPWSTR* argv)
{
    // The recorded times alone, of this checkout or of the one named.
    if (argc > 1 && wcscmp(argv[1], L"--suite-times") == 0) {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(NULL, self, MAX_PATH);
        SuiteTimes(argc > 2 ? std::wstring(argv[2]) : CheckoutOf(self));
        return 0;
    }
    if (argc < 5 || wcscmp(argv[1], L"--scale") != 0) {
        return -1;
    }
    HANDLE hMap = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, argv[4]);
    g_shared = hMap ? (Shared*)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
    int index = _wtoi(argv[3]);
    if (g_shared == NULL || index < 0 || index >= kMaxChildren) {
        return 1;
    }
    const std::wstring role = argv[2];
    if (role == L"open") {
        return OpenRole(index);  // first: its first platform call is the one timed
    }
    if (role == L"make") {
        return argc < 7 ? 1 : MakeRole(_wtoi(argv[5]), _wtoi(argv[6]));
    }
    g_roundDone = OpenEventW(EVENT_ALL_ACCESS, FALSE, SCALE_ROUND_DONE);
    if (g_roundDone == NULL) {
        return 1;
    }
    if (role == L"notify") {
        return NotifyRole(index);
    }
    if (role == L"notify-floor") {
        return NotifyFloorRole(index);
    }
    if (role == L"reload") {
        return ReloadRole(index);
    }
    if (role == L"reload-floor") {
        return ReloadFloorRole(index);
    }
    return 1;
}

void ScaleSeries(const wchar_t* self)
{
    g_hostSleep =
        (void(WINAPI*)(DWORD))(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Sleep");
    SimSetClock(SIM_CLOCK_REAL, 1);
    g_roundDone = CreateEventW(NULL, FALSE, FALSE, SCALE_ROUND_DONE);
    g_quit = CreateEventW(NULL, TRUE, FALSE, SCALE_QUIT);
    NotifySeries(self);
    fflush(stdout);
    ReloadSeries(self);
    fflush(stdout);
    OpenSeries(self);
    fflush(stdout);
    CloseHandle(g_quit);
    CloseHandle(g_roundDone);
    SuiteTimes(CheckoutOf(self));
}
