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
#include <functional>
#include <math.h>
#include <stdio.h>
#include <string.h>

typedef void(WINAPI* PFN_VOID)(void);
typedef int(WINAPI* PFN_INT)(void);
typedef void(WINAPI* PFN_INDEX)(int);

static HMODULE g_rendak;                  // the library
static void(WINAPI* g_hostSleep)(DWORD);  // the desktop's Sleep

// A domain stored, as a device in use has one: the library then switches
// Wi-Fi without asking for one first.
static void StoreADomain()
{
    SimRegSetDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, g_aRendakDomains[1].dwCode);  // USA, FCC
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
static int g_regulatoryRow = 1;  // a row other than the library's current domain

// The call then stores a domain, as a change of domain does.
static void AnotherDomain(void)
{
    int current = ((PFN_INT)(void*)Export("GetLastWiFiRegulatoryIndex"))();
    do {
        g_regulatoryRow = g_regulatoryRow % 3 + 1;  // rows 1 to 3 in turn
    } while (g_regulatoryRow == current);
}

static const ExportCase kExports[] = {
    {"ChangeWiFiRegulatory", AnotherDomain,
     [] { ((PFN_INDEX)(void*)Export("ChangeWiFiRegulatory"))(g_regulatoryRow); }},
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

// The trials of one export: its own time and its replay's, round by round.
struct ExportTrials {
    std::vector<double> own, replayed;
    size_t operations = 0;
};

// Each round: the arrangement, the call, and at once the replay of the
// calling thread's operations (the worker's and the notification thread's
// run beside it, not in it). Up to `rounds` rounds, at least 60, within
// about budgetMs; after each call settle() (when given) waits for what the
// call set going.
static ExportTrials TimeExport(const ExportCase& c, int rounds, double budgetMs,
                               void (*settle)(void))
{
    ExportTrials t;
    const DWORD self = GetCurrentThreadId();
    double until = NowUs() + budgetMs * 1000.0;
    for (int i = -2; i < rounds && (i < 60 || NowUs() < until); i++) {
        c.arrange();
        SimJournalClear();
        double t0 = NowUs();
        c.call();
        double t1 = NowUs();
        std::vector<handheld::JournalEntry> entries =
            EntriesOfThread(handheld::ReadJournal(), self);
        if (settle) {
            settle();
        }
        std::vector<HREGNOTIFY> notifications = PrepareReplay(entries);
        if (!notifications.empty()) {
            // The notification thread takes a new registration in (arms it,
            // reads it) as it took in the export's during its arrangement.
            g_hostSleep(2);
        }
        SimJournalClear();
        double t2 = NowUs();
        t.operations = Replay(entries, &notifications);
        double t3 = NowUs();
        FinishReplay(&notifications);
        if (i >= 0) {  // the first two rounds warm what a first call fills
            t.own.push_back(t1 - t0);
            t.replayed.push_back(t3 - t2);
        }
    }
    return t;
}

static double ReportExport(const std::string& name, const ExportTrials& t)
{
    if (t.operations == 0) {
        Report(
            name, Median(t.own), "us", "n/a",
            Format("makes no registry or file operation; %s", SpreadText(SpreadOf(t.own)).c_str()));
        return 0;
    }
    Spread ratio = RatioOf(t.own, t.replayed, BENCH_BLOCK);
    Report(name, ratio.median, "ratio", "<= 1.5",
           Format("%.0f us against %.0f us for its %zu operations; %s",
                  Median(BlockMinima(t.own, BENCH_BLOCK)),
                  Median(BlockMinima(t.replayed, BENCH_BLOCK)), t.operations,
                  SpreadText(ratio).c_str()));
    return ratio.median;
}

static const ExportCase& Case(const char* name)
{
    for (const ExportCase& c : kExports) {
        if (strcmp(c.name, name) == 0) {
            return c;
        }
    }
    return kExports[0];
}

static DWORD WorkerWaitsBegun(void)
{
    SIMEVENTWAITS w = {};
    SimEventWaits(RELOAD_EVENT_NAME, &w);
    return w.dwBegun;
}

static DWORD g_waitsBefore = 0;  // the worker's waits begun before the call

// Until the worker, woken by the call, has made its pass and waits again.
static void WorkerBackToWaiting(void)
{
    double until = NowUs() + 30e6;
    while (WorkerWaitsBegun() <= g_waitsBefore && NowUs() < until) {
        g_hostSleep(1);
    }
}

// The two exports that once missed their goal, with the library's worker
// woken by the call (the OEM switch on: a domain change sets the reload
// event, and the worker's pass begins beside the call) and with its wait
// held (no thread waits on the reload event). This runs before any
// CloseWiFi, which lets the worker end at its next wake.
static void WorkerVariants(void)
{
    SimRegSetDword(REG_OEM_KEY, REG_WIFI_VALUE, 1);
    ExportCase woken = Case("ChangeWiFiRegulatory");
    woken.arrange = [] {
        AnotherDomain();
        g_waitsBefore = WorkerWaitsBegun();
    };
    ReportExport("cost.ChangeWiFiRegulatory.worker-woken",
                 TimeExport(woken, 60, 20000, WorkerBackToWaiting));
    SimRegSetDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    SimHoldEventWaits(TRUE);
    for (const char* name : {"ChangeWiFiRegulatory", "InitWiFi"}) {
        ReportExport(std::string("cost.") + name + ".worker-held",
                     TimeExport(Case(name), 300, 8000, NULL));
    }
    SimHoldEventWaits(FALSE);
}

// Under the virtual clock, with radios that switch at once and a driver that
// is loaded, no export pauses or asks: what is left is its own work and the
// operations it makes, which are replayed from its journal for comparison.
static void ExportCosts(void)
{
    SimSetClock(SIM_CLOCK_VIRTUAL, 1);
    SimSetSetting(SIM_SETTING_POWER_ON_MS, 0);
    SimSetSetting(SIM_SETTING_POWER_OFF_MS, 0);
    StoreADomain();
    WorkerVariants();
    // The OEM switch off: a domain change stores and does not wake the worker,
    // whose passes would run beside the calls measured.
    SimRegSetDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    double worst = 0;
    for (const ExportCase& c : kExports) {
        worst = std::max(
            worst, ReportExport(std::string("cost.") + c.name, TimeExport(c, 300, 8000, NULL)));
    }
    Report("cost.worst", worst, "ratio", "<= 1.5", "");
    Call("CloseWiFi");
    SimResetDevice();
}

// --- From a state change in another process to the callback --------------------

static void NotificationLatency(const wchar_t* self)
{
    SimSetClock(SIM_CLOCK_REAL, 1);
    StoreADomain();
    Call("InitWiFi");
    NotificationFloor(self);
    Call("CloseWiFi");
}

// --- The platform layer's own cost -------------------------------------------------

static void Overheads(void)
{
    StoreADomain();
    Call("InitWiFi");
    LayerOverhead();
    Call("CloseWiFi");
    SimResetDevice();
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
        Report("worker.idle-cpu", NAN, "ms", "0", "the worker was not found");
        return;
    }
    g_hostSleep(10000);
    GetThreadTimes(h, &c, &e, &k1, &u1);
    auto ms = [](const FILETIME& a, const FILETIME& b) {
        ULARGE_INTEGER x = {{a.dwLowDateTime, a.dwHighDateTime}};
        ULARGE_INTEGER y = {{b.dwLowDateTime, b.dwHighDateTime}};
        return (double)(y.QuadPart - x.QuadPart) / 10000.0;
    };
    Report("worker.idle-cpu", ms(k0, k1) + ms(u0, u1), "ms", "0",
           "processor time in 10 s of waiting");
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
    SimRegSetDword(REG_OEM_KEY, REG_WIFI_VALUE, 1);
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
            Report(std::string("realtime.") + c.name, NAN, "%", "< 1%", "it made no pause");
            continue;
        }
        totalOver += wall - slept;
        totalPause += slept;
        Report(std::string("realtime.") + c.name, (wall - slept) * 100.0 / slept, "%", "< 1%",
               Format("%.1f ms beyond %lu ms of pauses", wall - slept, slept));
    }
    Report("realtime.all", totalOver * 100.0 / totalPause, "%", "< 1%", "");
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
    Report("panel.start-to-dialog", Median(times), "ms", "none set",
           Format("median of %zu starts", times.size()));
}

// Whether the command line's --only list (comma-separated) names a section;
// without --only every section runs.
static bool g_onlySome = false;
static std::wstring g_only;  // ",cost,notify,"

static bool Runs(const wchar_t* section)
{
    return !g_onlySome || g_only.find(std::wstring(L",") + section + L",") != std::wstring::npos;
}

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    g_hostSleep =
        (void(WINAPI*)(DWORD))(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Sleep");
    if (argc > 1 && wcscmp(argv[1], L"--write-values") == 0) {
        return WriteValuesForParent();
    }
    int role = ScaleRole(argc, argv);
    if (role >= 0) {
        return role;
    }
    std::wstring jsonPath;
    std::wstring arguments;  // passed on to the run on the benchmark's device
    for (int i = 1; i < argc; i++) {
        bool valued = i + 1 < argc;
        if (wcscmp(argv[i], L"--json") == 0 && valued) {
            jsonPath = argv[++i];
        } else if (wcscmp(argv[i], L"--only") == 0 && valued) {
            g_onlySome = true;
            g_only = std::wstring(L",") + argv[++i] + L",";
        } else {
            fprintf(stderr,
                    "usage: rendak-bench [--json FILE] [--only SECTION,...]\n"
                    "  sections: worker cost notify overhead realtime panel scale\n");
            return 2;
        }
        arguments += std::wstring(L" \"") + argv[i - valued] + L"\" \"" + argv[i] + L"\"";
    }
    wchar_t device[64] = L"";
    GetEnvironmentVariableW(L"HANDHELD_DEVICE", device, 64);
    if (wcscmp(device, L"rendak-bench") != 0) {
        // The library makes its event on the device it loads on: start again there.
        SetEnvironmentVariableW(L"HANDHELD_DEVICE", L"rendak-bench");
        SetEnvironmentVariableW(L"HANDHELD_USER", L"scripted");
        SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"virtual");
        std::wstring command = std::wstring(L"\"") + self + L"\"" + arguments;
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
    Report("library.load", loadMs, "ms", "none set", "LoadLibraryW with the worker's start");
    // The worker is up once its wait on the reload event began.
    SimJournalWaitFor(handheld::WaitBeginEntry(RELOAD_EVENT_NAME).c_str(), 1, 5000);
    const struct {
        const wchar_t* name;
        std::function<void()> run;
    } sections[] = {
        {L"worker", IdleWorker},
        {L"cost", ExportCosts},
        {L"notify", [&] { NotificationLatency(self); }},
        {L"overhead", Overheads},
        {L"realtime", PauseOverheads},
        {L"panel", [&] { PanelStart(self); }},
        {L"scale", [&] { ScaleSeries(self); }},
    };
    for (const auto& section : sections) {
        if (Runs(section.name)) {
            section.run();
        }
    }
    std::string json = FiguresJson(Figures(), sizeof(void*) == 8 ? "x86_64" : "i686", HostLoad());
    if (!jsonPath.empty() && !WriteHostFile(jsonPath, json)) {
        fprintf(stderr, "rendak-bench: cannot write %ls\n", jsonPath.c_str());
        return 1;
    }
    return 0;
}
