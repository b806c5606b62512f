// The device's own behaviour, as a tester relies on it: a radio finishes
// switching whoever asked, one name is one device, the device's paths and
// objects stay inside it, and what it keeps in memory and in its logs is
// bounded.
#include "testing.h"

#include <handheld_devmgr.h>
#include <handheld_radio.h>

#include <fstream>
#include <map>
#include <sstream>
#include <random>
#include <set>

namespace {

const int kBurstLines = 400;  // per process

class Device : public DeviceTest {};

// The adapter's state value: on, and on its way to on.
const DWORD kOn = SIM_STATE_ADAPTER | SIM_STATE_POWERED;
const DWORD kSwitchingOn = kOn | SIM_STATE_SWITCHING;

std::optional<DWORD> State()
{
    return RegDword(REG_STATE_KEY, REG_STATE_VALUE);
}

// --- Power changes belong to the device -------------------------------------------

// Counts the state notifications this process receives.
std::atomic<int> g_notified{0};
std::atomic<DWORD> g_lastState{0};
void CountState(HREGNOTIFY, DWORD, const PBYTE pData, const UINT cbData)
{
    if (pData && cbData >= sizeof(DWORD)) {
        g_lastState = *reinterpret_cast<const DWORD*>(pData);
    }
    g_notified++;
}

// A second process switches the Wi-Fi radio on and is killed at once: the
// change settles at its due device time all the same, notified once.
TEST_F(Device, AChangeWhoseProcessWasKilledSettlesAtItsDueTime)
{
    HREGNOTIFY hNotify = NULL;
    ASSERT_EQ(SimRegistryNotifyCallback(HKEY_LOCAL_MACHINE, REG_STATE_KEY, REG_STATE_VALUE,
                                        CountState, 0, NULL, &hNotify),
              S_OK);
    g_notified = 0;
    ULONGLONG start = SimNow();
    PROCESS_INFORMATION pi = StartSelf(L"DeviceChild.SwitchesOnAndWaits");
    WaitUntil([] { return State() == kSwitchingOn; });
    ASSERT_EQ(State(), kSwitchingOn);
    TerminateProcess(pi.hProcess, 9);
    WaitAndClose(pi);
    SimDeliverNotifications();
    int before = g_notified;

    // The child's Sleep may have moved the device's time on before it died:
    // the change is due SIM_POWER_ON_MS after it began, wherever that left the clock.
    const ULONGLONG due = SIM_POWER_ON_MS - 1;
    DeviceSleep((DWORD)(due - std::min<ULONGLONG>(SimNow() - start, due)));
    EXPECT_EQ(State(), kSwitchingOn);
    DeviceSleep(SIM_POWER_ON_MS);
    EXPECT_EQ(State(), kOn);
    SimDeliverNotifications();
    EXPECT_EQ(g_notified - before, 1);
    EXPECT_EQ(g_lastState, kOn);
    DeviceSleep(5000);
    EXPECT_EQ(g_notified - before, 1);
    SimRegistryCloseNotification(hNotify);
}

// With no process of the device left, the next one to open it settles what
// fell due meanwhile (host time, on the scaled clock).
TEST_F(Device, TheNextProcessToOpenTheDeviceSettlesWhatFellDueMeanwhile)
{
    const std::wstring other = L"settle-" + std::to_wstring(GetCurrentProcessId());
    SimDeleteDevice(other.c_str());
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", other.c_str());
    SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"scaled:50");
    PROCESS_INFORMATION pi = StartSelf(L"DeviceChild.SwitchesOnAndEnds");
    EXPECT_EQ(WaitAndClose(pi), 0u);
    // The change falls due meanwhile: at 50 times host time, within a quarter
    // of the host's 200 ms.
    static_assert(SIM_POWER_ON_MS / 50 <= 200 / 4, "the change must fall due in the pause");
    Sleep(200);
    pi = StartSelf(L"DeviceChild.SeesTheRadioSettledOn");
    EXPECT_EQ(WaitAndClose(pi), 0u);
    SetEnvironmentVariableW(L"HANDHELD_CLOCK", NULL);
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
    EXPECT_TRUE(SimDeleteDevice(other.c_str()));
}

// A live process of the device settles another's change on its own, as a
// watcher (real and scaled clocks).
TEST_F(Device, ALiveProcessSettlesAChangeAnotherProcessStarted)
{
    SimSetClock(SIM_CLOCK_SCALED, 50);
    SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"scaled:50");
    for (DWORD killAfterMs : {0u, 20u, 200u}) {
        SimSetRadios(NULL, 0);
        SimSetupRadios(SIM_RADIOS_FACTORY);
        PROCESS_INFORMATION pi = StartSelf(L"DeviceChild.SwitchesOnAndWaits");
        WaitUntil([] { return State().value_or(0) != SIM_STATE_ADAPTER; });
        Sleep(killAfterMs);
        TerminateProcess(pi.hProcess, 9);
        WaitAndClose(pi);
        WaitUntil([] { return State() == kOn; }, 5000);
        EXPECT_EQ(State(), kOn) << "killed after " << killAfterMs << " ms";
    }
    SetEnvironmentVariableW(L"HANDHELD_CLOCK", NULL);
    SimSetClock(SIM_CLOCK_VIRTUAL, 1);
}

TEST_F(Device, TheStuckStateIsTheOnlyOneThatStaysSwitching)
{
    SimSetStateStuck(TRUE);
    ASSERT_EQ(SimRadioSwitch(ADAPTER_RADIO, 1), S_OK);
    DeviceSleep(60000);
    EXPECT_EQ(State(), kSwitchingOn);
    SimSetStateStuck(FALSE);
    EXPECT_EQ(State(), kOn);
}

// The tool's own reload answered No switches the radio off; nothing is left
// switching once the device's time has passed.
TEST_F(Device, TheToolsOwnNoPassLeavesNothingSwitching)
{
    ASSERT_EQ(RunProgram(L"rendakctl.exe", L"regulatory set eu").exitCode, 0u);
    ASSERT_EQ(RunProgram(L"rendakctl.exe", L"on").exitCode, 0u);
    RunProgram(L"rendakctl.exe", L"--no regulatory set 3");
    DeviceSleep(5000);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE).value_or(0) & 0x2, 0u);
}

// --- One name, one device ------------------------------------------------------------

TEST_F(Device, NamesAHostFolderCannotHoldAsTheyAreAreRefused)
{
    for (const wchar_t* bad :
         {L"", L"abc.", L".abc", L"a b", L"a/b", L"..\\x", L"CON", L"con", L"NUL", L"AUX", L"PRN",
          L"COM1", L"LPT1", L"com9", L"con.txt", L"NUL.log.x", L"x:y",
          L"a123456789b123456789c123456789d123456789e"}) {
        EXPECT_NE(SimDeviceNameProblem(bad), nullptr) << Narrow(bad);
        EXPECT_FALSE(SimSelectDevice(bad)) << Narrow(bad);
    }
    for (const wchar_t* good : {L"abc", L"a.b", L"A-b_9", L"COM", L"COM10", L"console", L"nul1"}) {
        EXPECT_EQ(SimDeviceNameProblem(good), nullptr) << Narrow(good);
    }
}

TEST_F(Device, NamesThatDifferOnlyByCaseAreOneDeviceWithOneRegistryStoreAndEvents)
{
    const std::wstring lower = L"case-" + std::to_wstring(GetCurrentProcessId());
    std::wstring upper = lower;
    for (wchar_t& c : upper) {
        c = (wchar_t)towupper(c);
    }
    SimDeleteDevice(lower.c_str());
    // A process on the upper-case name waits for the event "Case"; this one
    // sets it on the lower-case name.
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", upper.c_str());
    PROCESS_INFORMATION pi = StartSelf(L"DeviceChild.WaitsForTheEventCase");
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
    ASSERT_TRUE(SimSelectDevice(lower.c_str()));
    EXPECT_EQ(std::wstring(SimDeviceName()), lower);
    auto create =
        CoreFunction<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)>("CreateEventW");
    auto modify = CoreFunction<BOOL(WINAPI*)(HANDLE, DWORD)>("EventModify");
    HANDLE hEvent = create(NULL, TRUE, FALSE, L"Case");
    WaitUntil([] { return RegDword(L"Nls", L"Waiting") == 1u; });
    modify(hEvent, EVENT_SET);
    EXPECT_EQ(WaitAndClose(pi, 30000), 0u);
    CloseHandle(hEvent);
    WriteDeviceFile(L"\\Application Data\\note.txt", "one store");
    ASSERT_TRUE(SimSelectDevice(upper.c_str()));
    EXPECT_EQ(std::wstring(SimDeviceName()), lower);
    EXPECT_EQ(ReadDeviceFile(L"\\Application Data\\note.txt"), "one store");
    EXPECT_EQ(RegDword(L"Nls", L"Waiting"), 1u);
    EXPECT_TRUE(SimDeleteDevice(upper.c_str()));
}

TEST_F(Device, AnInvalidDeviceInTheEnvironmentEndsTheProgramWithAClearMessage)
{
    for (const wchar_t* bad : {L"../../x", L"CON", L"abc.", L"a b"}) {
        SetEnvironmentVariableW(L"HANDHELD_DEVICE", bad);
        RunResult r = RunProgram(L"rendakctl.exe", L"status");
        EXPECT_EQ(r.exitCode, 2u) << Narrow(bad);
        EXPECT_NE(r.err.find("HANDHELD_DEVICE"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("is not a device name"), std::string::npos) << r.err;
    }
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
}

// --- Containment ----------------------------------------------------------------------

// Every path made of these pieces either is refused or opens a file inside
// the device's store; nothing is ever made outside it.
TEST_F(Device, NoDevicePathReachesOutsideTheStore)
{
    auto createFile = CoreFunction<decltype(&CreateFileW)>("CreateFileW");
    using OpenFn = FILE* (*)(const wchar_t*, const wchar_t*);
    auto wfopen = CoreFunction<OpenFn>("_wfopen");
    auto wclose = CoreFunction<int (*)(FILE*)>("fclose");
    const std::wstring store = DeviceFolder() + L"\\Store";
    const std::vector<std::wstring> pieces = {
        L"\\",    L"/",         L"\\\\",         L"..",      L".",        L"...",
        L"C:",    L"c:\\",      L"Z:",           L"\\\\?\\", L"\\\\.\\",  L"\\??\\",
        L"CON",   L"nul",       L"con.txt",      L"COM1",    L"LPT1.log", L"Application Data",
        L"x.txt", L"x.txt:alt", L"x.txt::$DATA", L"x.txt.",  L"x.txt ",   L"Handheld",
        L"Store", L"..\\..",    L"../..",        L"%TEMP%",  L"~",        L"a\tb"};
    std::mt19937 random(12345);
    // Named after this process, so that nothing another run left is taken for ours.
    const std::wstring tag = L"escape-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    int opened = 0, refused = 0;
    for (int n = 0; n < 3000; n++) {
        std::wstring path;
        int parts = 1 + (int)(random() % 6);
        for (int i = 0; i < parts; i++) {
            path += pieces[random() % pieces.size()];
            if (random() % 2) {
                path += random() % 2 ? L"\\" : L"/";
            }
        }
        path += tag + std::to_wstring(n) + L".tmp";
        HANDLE h = createFile(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            refused++;
        } else {
            opened++;
            wchar_t final[MAX_PATH * 2] = L"";
            GetFinalPathNameByHandleW(h, final, MAX_PATH * 2, 0);
            CloseHandle(h);
            std::wstring host = final;
            EXPECT_NE(host.find(L"\\Handheld\\" + std::wstring(SimDeviceName()) + L"\\Store"),
                      std::wstring::npos)
                << Narrow(path) << " -> " << Narrow(host);
        }
        FILE* f = wfopen(path.c_str(), L"w");
        if (f) {
            wclose(f);
        }
    }
    EXPECT_GT(opened, 100);
    EXPECT_GT(refused, 100);
    // Nothing of ours anywhere on drive C: outside the store.
    std::vector<std::wstring> found;
    std::vector<std::wstring> folders = {L"C:"};
    while (!folders.empty()) {
        std::wstring folder = folders.back();
        folders.pop_back();
        WIN32_FIND_DATAW fd;
        HANDLE hFind = FindFirstFileW((folder + L"\\*").c_str(), &fd);
        if (hFind == INVALID_HANDLE_VALUE) {
            continue;
        }
        do {
            std::wstring name = fd.cFileName, full = folder + L"\\" + name;
            if (name == L"." || name == L"..") {
                continue;
            }
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (_wcsicmp(full.c_str(), store.c_str()) != 0 &&
                    !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                    folders.push_back(full);
                }
            } else if (name.find(tag) != std::wstring::npos) {
                found.push_back(full);
            }
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    EXPECT_TRUE(found.empty()) << Narrow(found.front());
}

TEST_F(Device, TheDevicesEventsAreNotReachedByTheirHostNames)
{
    auto create =
        CoreFunction<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)>("CreateEventW");
    HANDLE hEvent = create(NULL, FALSE, FALSE, RELOAD_EVENT_NAME);
    ASSERT_NE(hEvent, nullptr);
    std::wstring device = SimDeviceName();
    for (const std::wstring& name : std::vector<std::wstring>{
             RELOAD_EVENT_NAME, L"Handheld." + device + L"." RELOAD_EVENT_NAME,
             device + L"." RELOAD_EVENT_NAME,
             L"Global\\Handheld." + device + L"." RELOAD_EVENT_NAME}) {
        HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
        EXPECT_EQ(h, nullptr) << Narrow(name);
        if (h) {
            CloseHandle(h);
        }
    }
    CloseHandle(hEvent);
}

// --- Faults, as every process of the device sees them -----------------------------

// A fault armed by another process reaches this one at its next call (the
// platform keeps the faults in memory and reads them again when they change),
// and a fault marked once fires once on the whole device.
TEST_F(Device, AFaultArmedElsewhereIsSeenAtTheNextCallAndAOnceFaultFiresOnce)
{
    auto open = CoreFunction<decltype(&RegOpenKeyExW)>("RegOpenKeyExW");
    HKEY hKey;
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, L"Nls", 0, KEY_READ, &hKey), ERROR_SUCCESS);
    RegCloseKey(hKey);
    PROCESS_INFORMATION pi = StartSelf(L"DeviceChild.ArmsAFault");
    ASSERT_EQ(WaitAndClose(pi), 0u);
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, L"Nls", 0, KEY_READ, &hKey), ERROR_ACCESS_DENIED);

    SimClearFaults();
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, L"Nls", 0, KEY_READ, &hKey), ERROR_SUCCESS);
    RegCloseKey(hKey);
    ASSERT_TRUE(SimSetFault(L"RegOpenKeyExW", L"Comm", ERROR_BUSY, TRUE));
    pi = StartSelf(L"DeviceChild.MeetsTheOnceFault");
    EXPECT_EQ(WaitAndClose(pi), 0u);
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, L"Comm", 0, KEY_READ, &hKey), ERROR_SUCCESS);
    RegCloseKey(hKey);
}

// Faults this process has read go with a reset that another process makes:
// the factory's settings have none.
TEST_F(Device, AResetByAnotherProcessTakesTheFaultsAwayAtTheNextCall)
{
    auto open = CoreFunction<decltype(&RegOpenKeyExW)>("RegOpenKeyExW");
    HKEY hKey;
    ASSERT_TRUE(SimSetFault(L"RegOpenKeyExW", L"Nls", ERROR_ACCESS_DENIED, FALSE));
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, L"Nls", 0, KEY_READ, &hKey), ERROR_ACCESS_DENIED);
    PROCESS_INFORMATION pi = StartSelf(L"DeviceChild.ResetsTheDevice");
    ASSERT_EQ(WaitAndClose(pi), 0u);
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, L"Nls", 0, KEY_READ, &hKey), ERROR_SUCCESS);
    RegCloseKey(hKey);
}

// --- Waits, counted without reading the journal ------------------------------------

// A program learns where its own reload worker stands from the platform, not
// by counting journal lines: how often it began to wait, was woken, waits now.
TEST_F(Device, AProcessLearnsItsWorkersWaitsFromThePlatform)
{
    // This program does not import the library: load it, as a client would.
    HMODULE hLibrary = LoadLibraryW(L"Rendak.dll");
    ASSERT_NE(hLibrary, nullptr);
    WaitUntil([] { return ReloadWaits().dwWaiting == 1; });
    SIMEVENTWAITS before = ReloadWaits();
    EXPECT_EQ(before.dwWaiting, 1u);
    EXPECT_EQ(before.dwBegun, 1u);
    EXPECT_EQ(before.dwWoken, 0u);

    ASSERT_TRUE(SignalReloadEvent());
    WaitUntil([] { return ReloadWaits().dwBegun >= 2 && ReloadWaits().dwWaiting == 1; });
    SIMEVENTWAITS after = ReloadWaits();
    EXPECT_EQ(after.dwWoken, 1u);  // the worker was woken once and served the signal
    EXPECT_EQ(after.dwBegun, 2u);
    EXPECT_EQ(after.dwWaiting, 1u);
    // A hold lets go of the wait and begins it again: counted, not woken.
    SimHoldEventWaits(TRUE);
    WaitUntil([] { return ReloadWaits().dwWaiting == 0; });
    EXPECT_EQ(ReloadWaits().dwWaiting, 0u);
    SimHoldEventWaits(FALSE);
    WaitUntil([] { return ReloadWaits().dwWaiting == 1; });
    EXPECT_EQ(ReloadWaits().dwBegun, 3u);
    EXPECT_EQ(ReloadWaits().dwWoken, 1u);
    SIMEVENTWAITS none;
    ASSERT_TRUE(SimEventWaits(L"NoSuchEvent", &none));
    EXPECT_EQ(none.dwBegun + none.dwWoken + none.dwWaiting, 0u);
}

// --- Bounded ----------------------------------------------------------------------------

TEST_F(Device, TheJournalKeepsItsNewestEntriesOnly)
{
    for (DWORD i = 0; i < SIM_JOURNAL_CAPACITY + 100; i++) {
        SimJournalAdd((L"Entry|" + std::to_wstring(i)).c_str());
    }
    EXPECT_EQ(SimJournalCount(), (DWORD)SIM_JOURNAL_CAPACITY);
    EXPECT_EQ(SimJournalDropped(), 100u);
    EXPECT_EQ(JournalEntries().front(), L"Entry|100");
    EXPECT_EQ(JournalEntries().back(), L"Entry|" + std::to_wstring(SIM_JOURNAL_CAPACITY + 99));
    SimJournalClear();
    EXPECT_EQ(SimJournalDropped(), 0u);
}

TEST_F(Device, TheDebugLogRotatesAtItsSize)
{
    auto print = CoreFunction<void(WINAPI*)(LPCWSTR)>("OutputDebugStringW");
    const std::wstring line(500, L'x');
    const std::wstring log = DeviceFolder() + L"\\debug.log";
    for (int i = 0; i < (SIM_LOG_ROTATE_BYTES / 500) * 2 + 10; i++) {
        print(line.c_str());
    }
    WIN32_FILE_ATTRIBUTE_DATA now, old;
    ASSERT_TRUE(GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &now));
    ASSERT_TRUE(GetFileAttributesExW((log + L".1").c_str(), GetFileExInfoStandard, &old));
    EXPECT_LT(now.nFileSizeLow, (DWORD)SIM_LOG_ROTATE_BYTES + 600);
    EXPECT_GE(old.nFileSizeLow, (DWORD)SIM_LOG_ROTATE_BYTES);
    EXPECT_LT(old.nFileSizeLow, (DWORD)SIM_LOG_ROTATE_BYTES + 600);
    EXPECT_EQ(old.nFileSizeHigh, 0u);
}

// --- A device of the process's own goes with it -------------------------------------

// A process ends while its files in the device's folder are still open (a
// thread cut short by the exit, in the middle of a commit or a write): its
// device's keys go with it, and what the open files kept of its folder goes
// when the next process makes its own device.
TEST_F(Device, AProcessOwnDeviceGoesEvenWithFilesLeftOpen)
{
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", L"@process");
    PROCESS_INFORMATION pi = StartSelf(L"DeviceChild.EndsWithFilesOpenAndACommitUnderWay");
    const std::wstring child = L"p" + std::to_wstring(pi.dwProcessId);
    EXPECT_EQ(WaitAndClose(pi), 0u);
    EXPECT_FALSE(DeviceHasHostKeys(child));
    pi = StartSelf(L"DeviceChild.MakesItsOwnDevice");
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
    EXPECT_EQ(WaitAndClose(pi), 0u);
    EXPECT_EQ(GetFileAttributesW(DeviceFolderOf(child).c_str()), INVALID_FILE_ATTRIBUTES)
        << Narrow(DeviceFolderOf(child)) << " is left";
}

// A process ends while its threads are in the midst of the platform's work:
// holding its lock on the current device (every call names the device), and
// using files (Wine's file handles). The end cuts them short wherever they
// are, and must neither wait for them nor trip over what they left half done:
// every such process ends at once, whole, and its own device goes.
TEST_F(Device, AProcessEndsAtOnceWhateverItsThreadsAreDoing)
{
    const int kProcesses = 12;
    std::vector<std::unique_ptr<RunningProgram>> children;
    for (int i = 0; i < kProcesses; i++) {
        children.push_back(std::make_unique<RunningProgram>(
            BuiltProgram(L"device_tests.exe"),
            L"--gtest_filter=DeviceChild.EndsWithFilesOpenAndACommitUnderWay",
            RunningProgram::Environment{{L"HANDHELD_DEVICE", L"@process"}}));
    }
    for (auto& child : children) {
        ASSERT_TRUE(child->started()) << "error " << child->error() << ": " << child->err();
        if (!child->Wait(20000)) {
            ADD_FAILURE() << "process " << child->pid() << " did not end within 20 s";
            continue;
        }
        EXPECT_EQ(child->exitCode(), 0u) << DescribeExit(child->exitCode()) << "\n"
                                         << LastLines(child->err());
        EXPECT_FALSE(DeviceHasHostKeys(L"p" + std::to_wstring(child->pid())));
    }
}

// A device deleted while a process of it still writes its settings, its
// faults and its clock stays deleted: the writes fail, nothing is made again.
TEST_F(Device, ADeviceDeletedUnderAWritingProcessStaysDeleted)
{
    const std::wstring other = L"gone-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring key = HostKey(other);
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", other.c_str());
    PROCESS_INFORMATION pi = StartSelf(L"DeviceChild.WritesUntilItsDeviceIsGone");
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
    auto written = [&] {
        DWORD value = 0, cb = sizeof(value);
        return RegGetValueW(HKEY_CURRENT_USER, (key + L"\\Settings").c_str(), L"Scratch",
                            RRF_RT_REG_DWORD, NULL, &value, &cb) == ERROR_SUCCESS;
    };
    WaitUntil(written);
    ASSERT_TRUE(written());
    EXPECT_TRUE(SimDeleteDevice(other.c_str()));
    EXPECT_EQ(WaitAndClose(pi), 0u);
    EXPECT_FALSE(DeviceHasHostKeys(other));
    EXPECT_EQ(GetFileAttributesW(DeviceFolderOf(other).c_str()), INVALID_FILE_ATTRIBUTES);
}

// Processes of one device write its logs at the same moment: every line of
// each is there, whole (a tester counts journal lines across processes).
TEST_F(Device, LinesThatProcessesWriteAtOnceAreAllInTheLogsWhole)
{
    const std::wstring folder = DeviceFolder();
    DeleteFileW((folder + L"\\debug.log").c_str());
    DeleteFileW((folder + L"\\journal.log").c_str());
    PROCESS_INFORMATION children[4];
    for (auto& c : children) {
        c = StartSelf(L"DeviceChild.WritesABurstOfLines");
    }
    for (auto& c : children) {
        EXPECT_EQ(WaitAndClose(c), 0u);
    }
    for (const wchar_t* log : {L"\\debug.log", L"\\journal.log"}) {
        std::ifstream in(Narrow(folder + log), std::ios::binary);
        std::map<std::string, int> perProcess;
        int whole = 0;
        for (std::string line; std::getline(in, line);) {
            size_t at = line.find("burst|");
            if (at == std::string::npos) {
                continue;
            }
            std::istringstream fields(line.substr(at + 6));
            std::string pid, index, end;
            std::getline(fields, pid, '|');
            std::getline(fields, index, '|');
            std::getline(fields, end);
            whole += end == "end";
            perProcess[pid]++;
        }
        EXPECT_EQ(perProcess.size(), 4u) << Narrow(log);
        EXPECT_EQ(whole, 4 * kBurstLines) << Narrow(log);
    }
}

// --- Second processes --------------------------------------------------------------------

TEST(DeviceChild, SwitchesOnAndWaits)
{
    ASSERT_EQ(SimRadioSwitch(ADAPTER_RADIO, 1), S_OK);
    Sleep(INFINITE);
}

TEST(DeviceChild, SwitchesOnAndEnds)
{
    ASSERT_EQ(SimRadioSwitch(ADAPTER_RADIO, 1), S_OK);
    EXPECT_EQ(State(), kSwitchingOn);
}

TEST(DeviceChild, SeesTheRadioSettledOn)
{
    EXPECT_EQ(State(), kOn);
}

TEST(DeviceChild, ArmsAFault)
{
    ASSERT_TRUE(SimSetFault(L"RegOpenKeyExW", L"Nls", ERROR_ACCESS_DENIED, FALSE));
}

TEST(DeviceChild, ResetsTheDevice)
{
    ASSERT_TRUE(SimResetDevice());
}

TEST(DeviceChild, MeetsTheOnceFault)
{
    HKEY hKey;
    EXPECT_EQ(CoreFunction<decltype(&RegOpenKeyExW)>("RegOpenKeyExW")(HKEY_LOCAL_MACHINE, L"Comm",
                                                                      0, KEY_READ, &hKey),
              ERROR_BUSY);
}

TEST(DeviceChild, MakesItsOwnDevice)
{
    EXPECT_EQ(SimDeviceName(), L"p" + std::to_wstring(GetCurrentProcessId()));
}

TEST(DeviceChild, EndsWithFilesOpenAndACommitUnderWay)
{
    ASSERT_EQ(SimDeviceName()[0], L'p');
    HoldFilesOpen();
    KeepThePlatformBusy();
}

TEST(DeviceChild, WritesUntilItsDeviceIsGone)
{
    // Its logs too: a line appended while the device goes must not leave
    // the device's folder behind.
    auto print = CoreFunction<void(WINAPI*)(LPCWSTR)>("OutputDebugStringW");
    for (DWORD i = 0; SimSetSetting(L"Scratch", i); i++) {
        print(L"writing");
    }
    for (int i = 0; i < 20; i++) {
        print(L"written");
    }
    // Each kind of write once more, on the device deleted under it.
    EXPECT_FALSE(SimSetFault(L"RegOpenKeyExW", L"Nls", ERROR_ACCESS_DENIED, FALSE));
    SimSetClock(SIM_CLOCK_VIRTUAL, 1);
    CoreFunction<void(WINAPI*)(DWORD)>("Sleep")(1000);  // the virtual clock's kernel record
    EXPECT_FALSE(SimSetSetting(L"Scratch", 0));
}

TEST(DeviceChild, WritesABurstOfLines)
{
    auto print = CoreFunction<void(WINAPI*)(LPCWSTR)>("OutputDebugStringW");
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    for (int i = 0; i < kBurstLines; i++) {
        print((L"burst|" + pid + L"|" + std::to_wstring(i) + L"|end").c_str());
    }
}

TEST(DeviceChild, WaitsForTheEventCase)
{
    auto create =
        CoreFunction<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)>("CreateEventW");
    auto wait = CoreFunction<DWORD(WINAPI*)(HANDLE, DWORD)>("WaitForSingleObject");
    HANDLE hEvent = create(NULL, TRUE, FALSE, L"Case");
    SetRegDword(L"Nls", L"Waiting", 1);
    EXPECT_EQ(wait(hEvent, 20000), WAIT_OBJECT_0);
}

}  // namespace
