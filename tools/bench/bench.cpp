// bench.cpp - rendak-bench: prints the library's performance figures, one a
// line, as "NAME: VALUE UNIT (goal GOAL)". It runs itself again on a device of
// its own ("rendak-bench", reset to its factory state) with a scripted user.
#include "bench.h"

#include <handheld_devmgr.h>
#include <handheld_journal.h>
#include <handheld_radio.h>
#include <rendak_domains.h>
#include <rendak_store.h>

#include <algorithm>
#include <stdio.h>

typedef void(WINAPI* PFN_VOID)(void);
typedef int(WINAPI* PFN_INT)(void);
typedef void(WINAPI* PFN_INDEX)(int);

static HMODULE g_rendak;                  // the library
static void(WINAPI* g_hostSleep)(DWORD);  // the desktop's Sleep

// A domain stored, as a device in use has one: the library then switches
// Wi-Fi without asking for one first.
static void StoreADomain()
{
    SimRegSetDword(REG_ADAPTER_KEY, L"Domain", g_aRendakDomains[1].dwCode);  // USA, FCC
}

double NowUs()
{
    static LARGE_INTEGER s_freq;
    if (s_freq.QuadPart == 0) {
        QueryPerformanceFrequency(&s_freq);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1e6 / (double)s_freq.QuadPart;
}

double Median(std::vector<double> v)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Report(const std::string& name, double value, const char* unit, const char* goal,
            const std::string& detail)
{
    printf("%s: %.2f %s (goal %s%s%s)\n", name.c_str(), value, unit, goal,
           detail.empty() ? "" : "; ", detail.c_str());
}

static FARPROC Export(const char* name)
{
    return GetProcAddress(g_rendak, name);
}
static void Call(const char* name)
{
    ((PFN_VOID)(void*)Export(name))();
}

// --- Each export's own cost against the operations it must make ----------------

struct ExportCase {
    const char* name;
    void (*arrange)(void);  // brings the device into the state the call expects
    void (*call)(void);
};

static void NoArrangement(void) {}
static void StackClosed(void)
{
    Call("CloseWiFi");
}
static void StackOpen(void)
{
    Call("InitWiFi");
}
static int g_regulatoryRow = 1;  // alternates, so each call stores a new domain

static const ExportCase kExports[] = {
    {"ChangeWiFiRegulatory", NoArrangement,
     [] {
         g_regulatoryRow = g_regulatoryRow == 1 ? 2 : 1;
         ((PFN_INDEX)(void*)Export("ChangeWiFiRegulatory"))(g_regulatoryRow);
     }},
    {"CloseWiFi", StackOpen, [] { Call("CloseWiFi"); }},
    {"DirectlyTurnOnWiFi", StackClosed, [] { Call("DirectlyTurnOnWiFi"); }},
    {"GetLastWiFiRegulatoryIndex", NoArrangement,
     [] { ((PFN_INT)(void*)Export("GetLastWiFiRegulatoryIndex"))(); }},
    {"HardReset", NoArrangement, [] { Call("HardReset"); }},
    {"IfWiFiHasTurnedOn", NoArrangement, [] { ((PFN_INT)(void*)Export("IfWiFiHasTurnedOn"))(); }},
    {"IfWiFiRegulatorySet", NoArrangement,
     [] { ((PFN_INT)(void*)Export("IfWiFiRegulatorySet"))(); }},
    {"InitWiFi", StackClosed, [] { Call("InitWiFi"); }},
    {"TurnOffWiFiModule", NoArrangement, [] { Call("TurnOffWiFiModule"); }},
    {"TurnOnWiFiModule", NoArrangement, [] { Call("TurnOnWiFiModule"); }},
};

// Under the virtual clock, with radios that switch at once and a driver that
// is loaded, no export pauses or asks: what is left is its own work and the
// operations it makes, which are replayed from its journal for comparison.
static void ExportCosts(void)
{
    SimSetClock(SIM_CLOCK_VIRTUAL, 1);
    SimSetSetting(L"PowerOnMs", 0);
    SimSetSetting(L"PowerOffMs", 0);
    StoreADomain();
    // The OEM switch off: a domain change stores and does not wake the worker,
    // whose passes would run beside the calls measured.
    SimRegSetDword(REG_OEM_KEY, L"WIFI", 0);
    const int kRounds = 200;
    double worst = 0;
    for (const ExportCase& c : kExports) {
        std::vector<double> own, replayed;
        size_t operations = 0;
        for (int i = 0; i < kRounds; i++) {
            c.arrange();
            SimJournalClear();
            double t0 = NowUs();
            c.call();
            double t1 = NowUs();
            std::vector<handheld::JournalEntry> entries = handheld::ReadJournal();
            SimJournalClear();
            double t2 = NowUs();
            operations = Replay(entries);
            double t3 = NowUs();
            own.push_back(t1 - t0);
            replayed.push_back(t3 - t2);
        }
        if (operations == 0) {
            printf("cost.%s: %.2f us (goal n/a: makes no registry or file operation)\n", c.name,
                   Median(own));
            continue;
        }
        double ratio = Median(own) / Median(replayed);
        worst = std::max(worst, ratio);
        printf(
            "cost.%s: %.2f ratio (goal <= 1.5; %.0f us against %.0f us for its %zu operations)\n",
            c.name, ratio, Median(own), Median(replayed), operations);
    }
    printf("cost.worst: %.2f ratio (goal <= 1.5)\n", worst);
    Call("CloseWiFi");
    SimResetDevice();
}

// --- From a state change in another process to the callback --------------------

struct SharedClock {
    volatile double changedUs;  // when the other process wrote the state value
};

static int ToggleStateForParent(void)
{
    HANDLE hMap = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, L"RendakBench.Shared");
    HANDLE hSeen = OpenEventW(EVENT_ALL_ACCESS, FALSE, L"RendakBench.Seen");
    HANDLE hGo = OpenEventW(EVENT_ALL_ACCESS, FALSE, L"RendakBench.Go");
    if (!hMap || !hSeen || !hGo) {
        return 1;
    }
    SharedClock* shared = (SharedClock*)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    for (int i = 0;; i++) {
        if (WaitForSingleObject(hGo, 30000) != WAIT_OBJECT_0) {
            break;
        }
        shared->changedUs = NowUs();
        // The adapter powered, and every other time switching as well.
        DWORD state = SIM_STATE_ADAPTER | SIM_STATE_POWERED | (i % 2 ? 0 : SIM_STATE_SWITCHING);
        SimRegSetDword(REG_STATE_KEY, L"WiFi", state);
        WaitForSingleObject(hSeen, 30000);
    }
    return 0;
}

static int CountCallbacks(void)
{
    // The library's callback says what it read.
    int n = 0;
    for (const handheld::JournalEntry& e : handheld::ReadJournal()) {
        n += e.Is(SIM_J_DEBUG) && e.Field(0).rfind(L"g_lWiFiState=", 0) == 0;
    }
    return n;
}

static void NotificationLatency(const wchar_t* self)
{
    SimSetClock(SIM_CLOCK_REAL, 1);
    StoreADomain();
    Call("InitWiFi");
    HANDLE hMap = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                     sizeof(SharedClock), L"RendakBench.Shared");
    HANDLE hSeen = CreateEventW(NULL, FALSE, FALSE, L"RendakBench.Seen");
    HANDLE hGo = CreateEventW(NULL, FALSE, FALSE, L"RendakBench.Go");
    SharedClock* shared = (SharedClock*)MapViewOfFile(hMap, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    std::wstring command = std::wstring(L"\"") + self + L"\" --toggle-state";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::vector<double> latencies;
    if (CreateProcessW(self, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        const int kSamples = 40;
        for (int i = 0; i < kSamples; i++) {
            SimJournalClear();
            SetEvent(hGo);
            double until = NowUs() + 5e6;
            while (CountCallbacks() == 0 && NowUs() < until) {
                SwitchToThread();
            }
            double seen = NowUs();
            if (CountCallbacks() > 0) {
                latencies.push_back((seen - shared->changedUs) / 1000.0);
            }
            SetEvent(hSeen);
            g_hostSleep(20);
        }
        TerminateProcess(pi.hProcess, 0);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    std::vector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    printf("notify.median: %.2f ms (goal < 5 ms; %zu of 40 changes seen, slowest %.2f ms)\n",
           Median(latencies), latencies.size(), sorted.empty() ? 0.0 : sorted.back());
    Call("CloseWiFi");
}

// --- The worker at rest -------------------------------------------------------------

static void IdleWorker(void)
{
    // The thread whose wait on the reload event began last.
    DWORD worker = 0;
    const std::wstring begin = handheld::WaitBeginEntry(RELOAD_EVENT_NAME);
    for (const handheld::JournalEntry& e : handheld::ReadJournal()) {
        worker = e.text == begin ? e.thread : worker;
    }
    HANDLE h = OpenThread(THREAD_QUERY_INFORMATION, FALSE, worker);
    FILETIME c, e, k0, u0, k1, u1;
    if (h == NULL || !GetThreadTimes(h, &c, &e, &k0, &u0)) {
        printf("worker.idle-cpu: n/a ms (goal 0; the worker was not found)\n");
        return;
    }
    g_hostSleep(10000);
    GetThreadTimes(h, &c, &e, &k1, &u1);
    auto ms = [](const FILETIME& a, const FILETIME& b) {
        ULARGE_INTEGER x = {{a.dwLowDateTime, a.dwHighDateTime}};
        ULARGE_INTEGER y = {{b.dwLowDateTime, b.dwHighDateTime}};
        return (double)(y.QuadPart - x.QuadPart) / 10000.0;
    };
    printf("worker.idle-cpu: %.3f ms (goal 0; processor time in 10 s of waiting)\n",
           ms(k0, k1) + ms(u0, u1));
    CloseHandle(h);
}

// --- Real time beyond the required pauses, on the real clock ------------------------

static DWORD SleptMs(const std::vector<handheld::JournalEntry>& entries)
{
    DWORD total = 0;
    for (const handheld::JournalEntry& e : entries) {
        if (e.Is(SIM_J_SLEEP)) {
            total += wcstoul(e.Field(0).c_str(), NULL, 10);
        }
    }
    return total;
}

static void PauseOverheads(void)
{
    SimResetDevice();
    SimSetClock(SIM_CLOCK_REAL, 1);
    StoreADomain();
    SimRegSetDword(REG_OEM_KEY, L"WIFI", 1);
    const struct {
        const char* name;
        void (*arrange)(void);
        void (*call)(void);
    } cases[] = {
        {"TurnOnWiFiModule", NoArrangement, [] { Call("TurnOnWiFiModule"); }},
        {"TurnOffWiFiModule", NoArrangement, [] { Call("TurnOffWiFiModule"); }},
        {"InitWiFi",
         [] {
             SimEjectCard();  // the card back in without its driver: no Wi-Fi state at all
             SimInsertCard(FALSE);
         },
         [] { Call("InitWiFi"); }},
        {"ChangeWiFiRegulatory", [] { ((PFN_INDEX)(void*)Export("ChangeWiFiRegulatory"))(1); },
         [] { ((PFN_INDEX)(void*)Export("ChangeWiFiRegulatory"))(0); }},
    };
    double totalOver = 0, totalPause = 0;
    for (const auto& c : cases) {
        c.arrange();
        SimJournalClear();
        double t0 = NowUs();
        c.call();
        double wall = (NowUs() - t0) / 1000.0;
        DWORD slept = SleptMs(handheld::ReadJournal());
        if (slept == 0) {
            printf("realtime.%s: n/a %% (goal < 1%%; it made no pause)\n", c.name);
            continue;
        }
        totalOver += wall - slept;
        totalPause += slept;
        printf("realtime.%s: %.2f %% (goal < 1%%; %.1f ms beyond %lu ms of pauses)\n", c.name,
               (wall - slept) * 100.0 / slept, wall - slept, slept);
    }
    printf("realtime.all: %.2f %% (goal < 1%%)\n", totalOver * 100.0 / totalPause);
    Call("CloseWiFi");
    SimResetDevice();
}

// --- The panel ----------------------------------------------------------------------

static void PanelStart(const wchar_t* self)
{
    std::wstring exe(self);
    exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"Quenta.exe";
    StoreADomain();
    std::vector<double> times;
    for (int i = 0; i < 3; i++) {
        std::wstring command = L"\"" + exe + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        double t0 = NowUs();
        if (!CreateProcessW(exe.c_str(), &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
            break;
        }
        HWND hDialog = NULL;
        while (hDialog == NULL && NowUs() - t0 < 30e6) {
            for (HWND h = NULL; (h = FindWindowExW(NULL, h, L"#32770", NULL)) != NULL;) {
                DWORD pid = 0;
                GetWindowThreadProcessId(h, &pid);
                if (pid == pi.dwProcessId && IsWindowVisible(h)) {
                    SendMessageW(h, WM_NULL, 0, 0);  // its initialisation is over
                    hDialog = h;
                    break;
                }
            }
        }
        if (hDialog != NULL) {
            times.push_back((NowUs() - t0) / 1000.0);
            PostMessageW(hDialog, WM_COMMAND, IDCANCEL, 0);
        }
        if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
            TerminateProcess(pi.hProcess, 1);
        }
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    printf("panel.start-to-dialog: %.1f ms (goal none set; median of %zu starts)\n", Median(times),
           times.size());
}

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    g_hostSleep =
        (void(WINAPI*)(DWORD))(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Sleep");
    if (argc > 1 && wcscmp(argv[1], L"--toggle-state") == 0) {
        return ToggleStateForParent();
    }
    int role = ScaleRole(argc, argv);
    if (role >= 0) {
        return role;
    }
    wchar_t device[64] = L"";
    GetEnvironmentVariableW(L"HANDHELD_DEVICE", device, 64);
    if (wcscmp(device, L"rendak-bench") != 0) {
        // The library makes its event on the device it loads on: start again there.
        SetEnvironmentVariableW(L"HANDHELD_DEVICE", L"rendak-bench");
        SetEnvironmentVariableW(L"HANDHELD_USER", L"scripted");
        SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"virtual");
        std::wstring command = std::wstring(L"\"") + self + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(self, &command[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
            fprintf(stderr, "rendak-bench: cannot start itself\n");
            return 1;
        }
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        return (int)code;
    }
    SimResetDevice();
    double t0 = NowUs();
    g_rendak = LoadLibraryW(L"Rendak.dll");
    double loadMs = (NowUs() - t0) / 1000.0;
    if (g_rendak == NULL) {
        fprintf(stderr, "rendak-bench: cannot load Rendak.dll\n");
        return 1;
    }
    printf("library.load: %.2f ms (goal none set; LoadLibraryW with the worker's start)\n", loadMs);
    // The worker is up once its wait on the reload event began.
    SimJournalWaitFor(handheld::WaitBeginEntry(RELOAD_EVENT_NAME).c_str(), 1, 5000);
    fflush(stdout);
    IdleWorker();
    fflush(stdout);
    ExportCosts();
    fflush(stdout);
    NotificationLatency(self);
    fflush(stdout);
    PauseOverheads();
    fflush(stdout);
    PanelStart(self);
    fflush(stdout);
    ScaleSeries(self);
    return 0;
}
