// The lifecycle of the handheld's processes: processes of one device start
// and end in every way a process ends there (its work done; its work done
// with files open and a commit under way; killed; its device's power cut
// while it starts; the device restarted by one of them), two starters at
// once, and every start and every end must be clean. What is not is counted
// by kind: a start that failed, an end that took over 10 s, a crash or an
// abort, the device left switching, a file of a cut-short process left in
// the device's folder, a device of a process's own left after it.
// HANDHELD_LIFECYCLES sets how many processes start (the suite's run starts a
// few dozen; docs/reliability.md has the figure of a long run).
#include "testing.h"

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace {

const DWORD kEndBoundMs = 10000;  // host time from the moment a process must end
const DWORD kWorkBoundMs = 120000;

enum class End {
    Done,
    DoneWithFilesOpen,
    OwnDeviceWithFilesOpen,
    Killed,
    PowerCutWhileStarting,
    Restart
};

const struct {
    End end;
    const char* child;  // the LifecycleChild case the process runs
    const char* name;
    int weight;
} kEnds[] = {
    {End::Done, "Works", "its work done", 25},
    {End::DoneWithFilesOpen, "EndsWithFilesOpenAndACommitUnderWay", "done with files open", 15},
    // The same on a device of its own, which goes with it (the test
    // programs' own ends).
    {End::OwnDeviceWithFilesOpen, "EndsWithFilesOpenAndACommitUnderWay",
     "on a device of its own, done with files open", 15},
    {End::Killed, "WorksUntilEnded", "killed", 20},
    {End::PowerCutWhileStarting, "WorksUntilEnded", "power cut while it starts", 15},
    {End::Restart, "Restarts", "a restart of the device", 10},
};

// The anomalies of a run, by kind, with the first of each said in full; and
// how the processes ended, by the end asked for and their exit code.
class Anomalies {
public:
    void Ended(End end, DWORD exitCode)
    {
        std::lock_guard<std::mutex> lock(lock_);
        ends_[std::string(kEnds[(int)end].name) + ": exit code " + std::to_string(exitCode)]++;
    }
    std::string Ends()
    {
        std::lock_guard<std::mutex> lock(lock_);
        std::string said;
        for (const auto& e : ends_) {
            said += "  " + std::to_string(e.second) + " " + e.first + "\n";
        }
        return said;
    }
    void Add(const std::string& kind, const std::string& detail)
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (count_[kind]++ == 0) {
            first_[kind] = detail;
        }
    }
    int Total()
    {
        std::lock_guard<std::mutex> lock(lock_);
        int total = 0;
        for (const auto& k : count_) {
            total += k.second;
        }
        return total;
    }
    std::string Report()
    {
        std::lock_guard<std::mutex> lock(lock_);
        std::string report;
        for (const auto& k : count_) {
            report += "  " + std::to_string(k.second) + " " + k.first +
                      "; the first: " + first_[k.first] + "\n";
        }
        return report;
    }

private:
    std::mutex lock_;
    std::map<std::string, int> count_;
    std::map<std::string, std::string> first_;
    std::map<std::string, int> ends_;
};

std::wstring SelfPath()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    return self;
}

// The event a child sets once its work is done: from then on it must end.
std::wstring DoneEventName(DWORD pid)
{
    return L"Lifecycle.Done." + std::to_wstring(pid);
}

// A child whose end is ours to check: waits until it says its work is done,
// or ends, then for its end; says what was wrong, if anything.
void CheckEnd(RunningProgram& child, End end, HANDLE hDone, Anomalies& anomalies)
{
    std::string who = "process " + std::to_string(child.pid()) + " (" + kEnds[(int)end].name + ")";
    HANDLE waits[2] = {hDone, child.process()};
    DWORD r = WaitForMultipleObjects(2, waits, FALSE, kWorkBoundMs);
    if (r == WAIT_TIMEOUT) {
        anomalies.Add("work that never ended", who);
    }
    bool ended = child.Wait(r == WAIT_TIMEOUT ? 0 : kEndBoundMs);
    if (!ended) {
        TerminateProcess(child.process(), 99);
        child.Wait(kEndBoundMs);  // its output is whole only once it ended
        anomalies.Add("end over 10 s", who + " still ran 10 s after it was done; it said:\n" +
                                           LastLines(child.err()));
    } else if (IsCrash(child.exitCode()) || child.exitCode() == 3) {
        anomalies.Add("crash or abort", who + ": " + DescribeExit(child.exitCode()) +
                                            "; its standard error ended:\n" +
                                            LastLines(child.err()));
    } else if (child.exitCode() == 1) {
        anomalies.Add("a check of its own that failed", who + ":\n" + LastLines(child.out()));
    }
    anomalies.Ended(end, child.exitCode());
}

// The processes that had a device of their own.
struct OwnDevices {
    std::mutex lock;
    std::vector<DWORD> pids;
};

void Starter(unsigned seed, int count, Anomalies& anomalies, std::atomic<int>& started,
             OwnDevices& own)
{
    std::mt19937 rng(seed);
    int totalWeight = 0;
    for (const auto& e : kEnds) {
        totalWeight += e.weight;
    }
    for (int i = 0; i < count; i++) {
        int pick = (int)(rng() % totalWeight);
        size_t k = 0;
        while (pick >= kEnds[k].weight) {
            pick -= kEnds[k++].weight;
        }
        End end = kEnds[k].end;
        RunningProgram::Environment environment;
        if (end == End::OwnDeviceWithFilesOpen) {
            environment.emplace_back(L"HANDHELD_DEVICE", L"@process");
        }
        RunningProgram child(
            SelfPath(), std::wstring(L"--gtest_filter=LifecycleChild.") + Widen(kEnds[k].child),
            environment);
        started++;
        if (end == End::OwnDeviceWithFilesOpen && child.started()) {
            std::lock_guard<std::mutex> lock(own.lock);
            own.pids.push_back(child.pid());
        }
        if (!child.started()) {
            anomalies.Add("start that failed",
                          "error " + std::to_string(child.error()) + "; it said: " +
                              (child.err().empty() ? "nothing" : child.err() + child.out()));
            continue;
        }
        HANDLE hDone = CreateEventW(NULL, TRUE, FALSE, DoneEventName(child.pid()).c_str());
        switch (end) {
        case End::Killed:
            ::Sleep(rng() % 600);
            TerminateProcess(child.process(), 9);
            break;
        case End::PowerCutWhileStarting:
            // Within the first few hundred ms the process is still starting: a
            // process that has not yet joined its device outlives the cut, as
            // it would start after it on the device, and is killed after it.
            ::Sleep(rng() % 300);
            SimPowerCut();
            if (!child.Wait(2000)) {
                TerminateProcess(child.process(), 9);
            }
            break;
        default:
            break;
        }
        CheckEnd(child, end, hDone, anomalies);
        CloseHandle(hDone);
    }
}

// Files that only a process cut short leaves: a commit's half-written image.
std::vector<std::wstring> CutShortFiles(const std::wstring& folder)
{
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\registry.img.*.new").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            found.push_back(fd.cFileName);
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    return found;
}

TEST(Lifecycle, ProcessesOfOneDeviceStartAndEndCleanlyInEveryWay)
{
    int count = CountFromEnvironment(L"HANDHELD_LIFECYCLES", 40);
    const std::wstring device = L"lifecycle-" + std::to_wstring(GetCurrentProcessId());
    // This process watches the device from outside, so its power cuts spare
    // it; its children run on the scaled clock, as a device's programs do
    // on host time (a power cut and a restart spare the virtual clock's).
    SimSetObserver(TRUE);
    ASSERT_TRUE(SimSelectDevice(device.c_str()));
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", device.c_str());
    SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"scaled:50");

    Anomalies anomalies;
    std::atomic<int> started{0};
    OwnDevices own;
    ULONGLONG start = GetTickCount64();
    std::thread first(Starter, 0x11FE, count - count / 2, std::ref(anomalies), std::ref(started),
                      std::ref(own));
    std::thread second(Starter, 0xC7C1E, count / 2, std::ref(anomalies), std::ref(started),
                       std::ref(own));
    first.join();
    second.join();

    // The own devices of processes that ended are gone once another process
    // has made its own: their keys with them, their folders then.
    RunningProgram next(BuiltProgram(L"rendakctl.exe"), L"status",
                        {{L"HANDHELD_DEVICE", L"@process"}});
    EXPECT_TRUE(next.Wait(60000) && next.exitCode() == 0) << next.err();
    for (DWORD pid : own.pids) {
        std::wstring name = L"p" + std::to_wstring(pid);
        if (GetFileAttributesW(DeviceFolderOf(name).c_str()) != INVALID_FILE_ATTRIBUTES) {
            anomalies.Add("device left behind", "the folder of " + Narrow(name));
        }
        if (DeviceHasHostKeys(name)) {
            anomalies.Add("device left behind", "the keys of " + Narrow(name));
        }
    }

    // What fell due while no process of the device ran is settled by the
    // next one to open it; after that nothing may be switching, and no
    // cut-short commit may have left its file.
    RunResult status = RunProgram(L"rendakctl.exe", L"status");
    EXPECT_EQ(status.exitCode, 0u) << status.err;
    if (SimGetSetting(SIM_SETTING_SWITCHING, 0) != 0) {
        anomalies.Add("device left switching", "state value " + std::to_string(SimAdapterState()));
    }
    for (const std::wstring& file : CutShortFiles(DeviceFolder())) {
        anomalies.Add("file left behind", Narrow(file));
    }
    printf("lifecycle.anomalies: %d of %d processes (%llu s, two starters)\n%sHow they ended:\n%s",
           anomalies.Total(), started.load(), (GetTickCount64() - start) / 1000,
           anomalies.Report().c_str(), anomalies.Ends().c_str());
    EXPECT_EQ(anomalies.Total(), 0) << anomalies.Report();
    EXPECT_EQ(started.load(), count);

    SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"virtual");
    SimDeleteDevice(device.c_str());
}

// --- The children ------------------------------------------------------------------------

void SayDone()
{
    HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, DoneEventName(GetCurrentProcessId()).c_str());
    if (h) {
        SetEvent(h);
        CloseHandle(h);
    }
}

// A program's ordinary use: a domain stored (the reload it signals is
// answered and runs on the library's worker, maybe still as the process
// ends), Wi-Fi on and off.
TEST(LifecycleChild, Works)
{
    ChangeWiFiRegulatory(3);
    TurnOnWiFiModule();
    TurnOffWiFiModule();
    SayDone();
}

TEST(LifecycleChild, WorksUntilEnded)
{
    for (;;) {
        TurnOnWiFiModule();
        TurnOffWiFiModule();
    }
}

// Ends with files open and its threads in the midst of the platform's work.
TEST(LifecycleChild, EndsWithFilesOpenAndACommitUnderWay)
{
    HoldFilesOpen();
    KeepThePlatformBusy();
    TurnOnWiFiModule();
    SayDone();
}

// Restarts the device: every other process of the device ends with it, and
// this one last.
TEST(LifecycleChild, Restarts)
{
    TurnOnWiFiModule();
    SayDone();
    HardReset();
}

}  // namespace
