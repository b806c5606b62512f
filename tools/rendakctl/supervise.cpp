// supervise.cpp - each device command runs in a process of its own (the
// runner), started and watched by the rendakctl the user started (the
// supervisor). The runner is tied to the device like any program on it: a
// restart of the device ends it, and so does the tool's own hard-reset. The
// supervisor outlives that and reports it. Ctrl+C reaches the runner (the
// supervisor passes it on when only it got the signal); when the supervisor is
// ended (SIGTERM ends a Wine process at once), the runner sees it gone and
// says what state it left. A power cut ends the runner, and the tool ends
// with the cut's code, 137, saying nothing. The two share a small block:
// whether the runner claimed the output, its exit code, and the lines watch
// printed.
#include "rendakctl.h"

#include <handheld.h>
#include <handheld_radio.h>

#include <stdio.h>

#define RUNNER_VARIABLE L"RENDAKCTL_RUNNER"
#define POLL_MS 100               // the supervisor's look at the device's boot count
#define RESTART_GRACE_MS 2000     // a runner ends itself this soon after a restart
#define INTERRUPT_GRACE_MS 10000  // a runner reports an interruption within this

struct Shared {
    LONG claimed;  // the runner has claimed the output (and printed, or is printing)
    LONG rc;       // its exit code, once claimed
    LONG lines;    // watch: lines printed
};

static Shared* g_sharedBlock = NULL;  // the block, in both processes
static HANDLE g_supervisor = NULL;    // runner: the supervisor's process
static HANDLE g_interrupt = NULL;     // set on Ctrl+C, by either process
static std::string g_commandWords;    // "regulatory set fr", for next steps

static unsigned long long HandleValue(HANDLE h)
{
    return (unsigned long long)(ULONG_PTR)h;
}

bool IsRunner()
{
    static int runner = -1;
    if (runner >= 0) {
        return runner == 1;
    }
    runner = 0;
    wchar_t value[128] = L"";
    if (GetEnvironmentVariableW(RUNNER_VARIABLE, value, 128) == 0) {
        return false;
    }
    unsigned long long parent = 0, event = 0, mapping = 0;
    if (swscanf(value, L"%llx:%llx:%llx", &parent, &event, &mapping) != 3) {
        return false;
    }
    HANDLE hMapping = (HANDLE)(ULONG_PTR)mapping;
    void* view = MapViewOfFile(hMapping, FILE_MAP_WRITE, 0, 0, sizeof(Shared));
    if (!view) {
        return false;
    }
    g_sharedBlock = (Shared*)view;
    g_supervisor = (HANDLE)(ULONG_PTR)parent;
    g_interrupt = (HANDLE)(ULONG_PTR)event;
    // The runner's own children (none today) are not runners.
    SetEnvironmentVariableW(RUNNER_VARIABLE, NULL);
    ReportSetSharedResult(&g_sharedBlock->claimed);
    runner = 1;
    return true;
}

void NoteWatchLines(long lines)
{
    if (g_sharedBlock) {
        InterlockedExchange(&g_sharedBlock->lines, lines);
    }
}

void SetCommandWords(const std::string& words)
{
    g_commandWords = words;
}

static std::string AgainStep()
{
    return "run it again (" + ToolCommand(g_commandWords) + "), or see what is wrong with " +
           ToolCommand("diagnose");
}

// --- the runner ---------------------------------------------------------------

static BOOL WINAPI OnBreak(DWORD dwType)
{
    (void)dwType;
    SetEvent(g_interrupt);
    return TRUE;
}

static DWORD WINAPI WatchSupervisor(void*)
{
    HANDLE aWait[2] = {g_interrupt, g_supervisor};
    DWORD r = WaitForMultipleObjects(2, aWait, FALSE, INFINITE);
    std::string running = "while \"" + g_commandWords + "\" was running";
    if (r == WAIT_OBJECT_0) {
        ReportCutShort(
            EXIT_INTERRUPTED,
            ErrorInfo{"interrupted", "interrupted (Ctrl+C) " + running, {}, AgainStep()});
    }
    ReportCutShort(
        EXIT_TERMINATED,
        ErrorInfo{"terminated", "the tool was ended (SIGTERM) " + running, {}, AgainStep()});
}

void RunnerWatchSupervisor()
{
    SetConsoleCtrlHandler(OnBreak, TRUE);
    HANDLE h = CreateThread(NULL, 0, WatchSupervisor, NULL, 0, NULL);
    if (h) {
        CloseHandle(h);
    }
}

// --- the supervisor -------------------------------------------------------------

static BOOL WINAPI PassOnBreak(DWORD dwType)
{
    (void)dwType;
    SetEvent(g_interrupt);  // the runner reports what it left, then ends
    return TRUE;
}

struct Counters {
    DWORD boot, coldResets, reboots;
};

static Counters ReadCounters()
{
    return {SimKernelCounter(L"Boot"), SimKernelCounter(L"ColdResets"),
            SimKernelCounter(L"Reboots")};
}

static HANDLE Inheritable(HANDLE h)
{
    HANDLE copy = NULL;
    DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

static bool StartRunner(PROCESS_INFORMATION* pi)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, TRUE};
    HANDLE hMapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(Shared), NULL);
    g_interrupt = CreateEventW(&sa, TRUE, FALSE, NULL);
    HANDLE hSelf = Inheritable(GetCurrentProcess());
    if (!hMapping || !g_interrupt || !hSelf) {
        return false;
    }
    g_sharedBlock = (Shared*)MapViewOfFile(hMapping, FILE_MAP_WRITE, 0, 0, sizeof(Shared));
    wchar_t value[128];
    swprintf(value, 128, L"%llx:%llx:%llx", HandleValue(hSelf), HandleValue(g_interrupt),
             HandleValue(hMapping));
    SetEnvironmentVariableW(RUNNER_VARIABLE, value);
    // The runner works on the device resolved here (also for HANDHELD_DEVICE=@process).
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(NULL, exe, MAX_PATH);
    std::wstring commandLine = GetCommandLineW();
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    BOOL ok = g_sharedBlock &&
              CreateProcessW(exe, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, pi);
    SetEnvironmentVariableW(RUNNER_VARIABLE, NULL);
    return ok != FALSE;
}

// The runner ended without claiming the output: the device restarted under
// it, it did not report an interruption in time, or it crashed or was killed.
// The supervisor reports for it.
static int ReportForRunner(const Counters& before, bool restarted, bool interrupted,
                           DWORD runnerCode)
{
    // A cold reset made the device's keys anew: open them again.
    SimSelectDevice(SimDeviceName());
    Counters now = ReadCounters();
    bool cold = now.coldResets > before.coldResets;
    bool byUs = ReportCommand() == "hard-reset" && now.reboots > before.reboots;
    if (ReportCommand() == "watch") {
        if (!ReportClaim(EXIT_RESTARTED)) {
            return EXIT_RESTARTED;
        }
        int rc = restarted ? EXIT_RESTARTED : EXIT_LOST;
        if (ReportJson()) {
            JsonValue line = JsonValue::MakeObject();
            line.Set("event", "end");
            line.Set("seq", g_sharedBlock ? g_sharedBlock->lines : 0);
            SYSTEMTIME t;
            GetLocalTime(&t);
            char when[32];
            snprintf(when, sizeof(when), "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond,
                     t.wMilliseconds);
            line.Set("time", when);
            line.Set("device_ms", (long long)SimNow());
            line.Set("device", DeviceNameUtf8());
            line.Set("reason", restarted ? "restarted" : "lost");
            line.Set("exit_code", rc);
            printf("%s\n", line.Dump().c_str());
            fflush(stdout);
        }
        fprintf(stderr, "rendakctl: watch ended: %s\n",
                restarted ? ("the device restarted (boot " + std::to_string(now.boot) + ")").c_str()
                          : "its process ended unexpectedly");
        return rc;
    }
    JsonValue restart = JsonValue::MakeObject();
    restart.Set("boot", now.boot);
    restart.Set("cold", cold);
    restart.Set("by_this_command", byUs);
    restart.Set("recorded_only", false);
    JsonValue& f = ReportFields();
    if (restarted) {
        f.Set("restart", restart);
    }
    AddSnapshot(f);
    if (restarted && byUs) {
        if (!ReportJson()) {
            printf("the device cold-reset and restarted (boot %lu): it is in its factory state\n",
                   (unsigned long)now.boot);
        }
        return ReportFinish(EXIT_DONE);
    }
    if (restarted) {
        if (!ReportJson()) {
            fprintf(stderr, "rendakctl: the device was left so:\n");
            PrintSnapshot(stderr);
        }
        return ReportFinish(
            EXIT_RESTARTED,
            ErrorInfo{"restarted",
                      "the device restarted (boot " + std::to_string(now.boot) + ") while \"" +
                          g_commandWords + "\" was running: its work is lost",
                      {cold ? "a cold reset restored the device's factory state"
                            : "a warm reboot: the device kept its settings"},
                      AgainStep()});
    }
    if (interrupted) {
        if (!ReportJson()) {
            fprintf(stderr, "rendakctl: the device was left so:\n");
            PrintSnapshot(stderr);
        }
        return ReportFinish(EXIT_INTERRUPTED,
                            ErrorInfo{"interrupted",
                                      "interrupted (Ctrl+C) while \"" + g_commandWords +
                                          "\" was running; its process did not end by itself",
                                      {},
                                      AgainStep()});
    }
    return ReportFinish(EXIT_LOST, ErrorInfo{"lost",
                                             "the process running \"" + g_commandWords +
                                                 "\" ended before it finished (exit code " +
                                                 std::to_string(runnerCode) + ")",
                                             {},
                                             AgainStep()});
}

int Supervise(const CommandLine& line)
{
    (void)line;
    // The supervisor watches the device from outside: a restart or a power cut
    // ends the runner, never the process that reports it.
    SimSetObserver(TRUE);
    Counters before = ReadCounters();
    PROCESS_INFORMATION pi = {};
    if (!StartRunner(&pi)) {
        return ReportFinish(EXIT_LOST,
                            ErrorInfo{"lost",
                                      "cannot start the process that runs the command (error " +
                                          std::to_string(GetLastError()) + ")",
                                      {},
                                      "run the command again"});
    }
    SetConsoleCtrlHandler(PassOnBreak, TRUE);
    bool restarted = false, interrupted = false;
    ULONGLONG interruptedAt = 0;
    while (WaitForSingleObject(pi.hProcess, POLL_MS) == WAIT_TIMEOUT) {
        // The runner reports an interruption itself; one stuck inside the
        // platform is ended, and reported for, after a grace.
        if (!interruptedAt && WaitForSingleObject(g_interrupt, 0) == WAIT_OBJECT_0) {
            interruptedAt = GetTickCount64();
        }
        if (interruptedAt && GetTickCount64() - interruptedAt > INTERRUPT_GRACE_MS) {
            interrupted = true;
            TerminateProcess(pi.hProcess, EXIT_INTERRUPTED);
            WaitForSingleObject(pi.hProcess, INFINITE);
            break;
        }
        if (SimKernelCounter(L"Boot") != before.boot) {
            // The runner is tied to the device: it ends with the restart.
            restarted = true;
            if (WaitForSingleObject(pi.hProcess, RESTART_GRACE_MS) == WAIT_TIMEOUT) {
                TerminateProcess(pi.hProcess, EXIT_RESTARTED);
                WaitForSingleObject(pi.hProcess, INFINITE);
            }
            break;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (InterlockedCompareExchange(&g_sharedBlock->claimed, 0, 0)) {
        return (int)g_sharedBlock->rc;
    }
    // A power cut ended the runner with the device's other programs: the tool
    // ends with the cut's code and says nothing, as the runner could not.
    if (code == SIM_EXIT_POWER_CUT) {
        return SIM_EXIT_POWER_CUT;
    }
    restarted = restarted || SimKernelCounter(L"Boot") != before.boot;
    return ReportForRunner(before, restarted, interrupted, code);
}

// --- hard-reset's confirmation ----------------------------------------------------

int ConfirmHardReset(const Options& opt)
{
    std::string again = ToolCommand("--yes hard-reset");
    if (opt.answerGiven) {
        if (opt.yes) {
            return EXIT_DONE;
        }
        return ReportFinish(EXIT_REFUSED, ErrorInfo{"declined",
                                                    "hard-reset was not confirmed (--no): nothing "
                                                    "was changed",
                                                    {},
                                                    again + " confirms it"});
    }
    if (!StdinIsTerminal()) {
        return ReportFinish(EXIT_USAGE,
                            ErrorInfo{"usage",
                                      "hard-reset cold-resets the device and there is no terminal "
                                      "to ask on: give --yes to confirm; nothing was changed",
                                      {},
                                      again});
    }
    fprintf(stderr,
            "rendakctl: hard-reset cold-resets device %s: it restarts in its factory state "
            "(every setting, the stored domain, the status file).\nType yes to go on: ",
            DeviceNameUtf8().c_str());
    fflush(stderr);
    char answer[32] = "";
    if (!fgets(answer, sizeof(answer), stdin)) {
        answer[0] = '\0';
    }
    std::string a = answer;
    while (!a.empty() && (a.back() == '\n' || a.back() == '\r' || a.back() == ' ')) {
        a.pop_back();
    }
    if (a == "yes" || a == "y" || a == "YES" || a == "Yes") {
        return EXIT_DONE;
    }
    return ReportFinish(EXIT_REFUSED, ErrorInfo{"declined",
                                                "hard-reset was not confirmed: nothing was changed",
                                                {},
                                                again + " confirms it without asking"});
}
