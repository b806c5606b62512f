// testing.h - what the tests share: a fresh simulated device per test, and
// ways to look at what the library did to it. What the library keeps comes
// from rendak_store.h, the state bits and power times from handheld_radio.h,
// the journal's entries and reader from handheld_journal.h.
//
// A helper never stops a test: it returns what it found (a bool, an optional
// or a value), and a failure it reports names the line of the test that
// called it (its last argument, a Caller, is filled in at the call).
#pragma once

#include <Rendak.h>
#include <handheld.h>
#include <handheld_journal.h>
#include <handheld_notify.h>
#include <handheld_radio.h>
#include <rendak_store.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The tests' short names for what the library keeps.
#define ADAPTER_KEY REG_ADAPTER_KEY
#define VENDOR_KEY REG_VENDOR_KEY
#define OEM_KEY REG_OEM_KEY
#define STATE_KEY REG_STATE_KEY
#define STATUS_FILE_PATH STATUS_FILE

// The factory device's Wi-Fi adapter radio, by its device name.
#define ADAPTER_RADIO L"TRXD385L1"

// Where a helper was called: default arguments are filled in at the call,
// so a helper that takes `Caller at = Caller()` reports at the test's line.
struct Caller {
    Caller(const char* file = __builtin_FILE(), int line = __builtin_LINE())
        : file(file), line(line)
    {
    }
    const char* file;
    int line;
};
#define FAIL_AT(at) ADD_FAILURE_AT((at).file, (at).line)

// Every test starts on its own device in its factory state, on the virtual
// clock, with a scripted user and an empty journal.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

struct MessageBoxRecord {
    std::wstring owner;
    unsigned flags;
    std::wstring caption;
    std::wstring text;
};

// Lets device time pass as the device's own Sleep does (at once, on the virtual clock).
void DeviceSleep(DWORD ms);

// A function of the platform's core library, as the deliverables bind to it
// (the test program itself binds to the desktop's first).
template <typename F>
F CoreFunction(const char* name, Caller at = Caller())
{
    F f = reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"coredll.dll"), name)));
    if (f == nullptr) {
        FAIL_AT(at) << "coredll.dll has no " << name;
    }
    return f;
}

// --- The journal (handheld_journal.h) ----------------------------------------------
// This process's entries, and the device's journal.log (what processes run
// with HANDHELD_JOURNAL=1 left there).
std::vector<handheld::JournalEntry> Journal();
std::vector<std::wstring> JournalEntries();
std::vector<std::wstring> JournalMatching(const std::wstring& prefix);
size_t CountJournal(const std::wstring& prefix);
std::vector<handheld::JournalEntry> DeviceJournal();
std::vector<std::wstring> DeviceJournalMatching(const std::wstring& prefix);
size_t CountDeviceJournal(const std::wstring& prefix);
std::string DeviceJournalLog();  // as the bytes of the file
size_t Occurrences(const std::string& text, const std::string& what);

// Boxes and sleeps, from this process's journal, in order.
std::vector<MessageBoxRecord> MessageBoxes();
std::vector<DWORD> Sleeps();  // in milliseconds
std::vector<MessageBoxRecord> MessageBoxesOf(const std::vector<handheld::JournalEntry>& entries);
std::vector<DWORD> SleepsOf(const std::vector<handheld::JournalEntry>& entries);

// --- The reload worker --------------------------------------------------------------
// Waits for the reload worker to be back waiting after serving `served` wakes
// since the test began.
bool WaitForWorkerIdle(DWORD served, DWORD timeoutMs = 60000);
// The worker's thread, as its waits in this process's journal show it (0: none yet).
DWORD ReloadWorkerThread();
// The entries the worker thread made, those beginning with prefix.
std::vector<handheld::JournalEntry> WorkerJournal(const std::wstring& prefix = L"");
// This process's waits on the reload event, as the platform counts them.
SIMEVENTWAITS ReloadWaits();
// Sets the shared reload event through the device, as any other program does.
bool SignalReloadEvent(Caller at = Caller());
// Waits (host time) for a thread of this process to end; true once it has.
bool WaitForThreadEnd(DWORD threadId, DWORD timeoutMs = 30000);

// --- The device ---------------------------------------------------------------------
// The host folder of this test's device.
std::wstring DeviceFolder();
// Another device's host folder, and whether its keys are in the host registry.
std::wstring DeviceFolderOf(const std::wstring& device);
bool DeviceHasHostKeys(const std::wstring& device);
// Its key in the host registry, below HKEY_CURRENT_USER (NAME\HKLM is its registry).
std::wstring HostKey();
std::wstring HostKey(const std::wstring& device);  // another device's

std::optional<DWORD> RegDword(const wchar_t* key, const wchar_t* value);
// Arranges a value; a failure is reported at the caller's line.
bool SetRegDword(const wchar_t* key, const wchar_t* value, DWORD data, Caller at = Caller());

// The power of the radio of that name (1 on, 0 off); none when there is no such radio.
std::optional<DWORD> RadioPower(const wchar_t* name = ADAPTER_RADIO);

std::optional<std::string> ReadDeviceFile(const wchar_t* devicePath);
void WriteDeviceFile(const wchar_t* devicePath, const std::string& content);
void DeleteDeviceFile(const wchar_t* devicePath);

// A named host event of this test's device (manual reset), for handshakes
// between a test and the processes it starts.
HANDLE DeviceEvent(const std::wstring& name);

// A count a long run sets by hand through the environment (HANDHELD_CYCLES,
// HANDHELD_LIFECYCLES), or the suite's own.
int CountFromEnvironment(const wchar_t* name, int suiteCount);

// Waits (host time, polling) until done() holds; false if it never did.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 30000);

// --- Programs -----------------------------------------------------------------------
struct RunResult {
    DWORD exitCode;
    std::string out;
    std::string err;
};
// Runs a built program (BUILD_BIN_DIR\name) on this test's device, waits for it.
// One that cannot start, or that crashes, is reported at the caller's line
// with what it printed.
RunResult RunProgram(const std::wstring& name, const std::wstring& args, DWORD timeoutMs = 60000,
                     Caller at = Caller());

// The path of a built program (BUILD_BIN_DIR\name).
std::wstring BuiltProgram(const std::wstring& name);

// A program running beside the test on this test's device, its standard
// output and error read into memory as they come (neither pipe can fill up);
// its standard input is the test's, and its environment too but for the
// variables given. Ended, if still running, when it goes.
class RunningProgram {
public:
    typedef std::vector<std::pair<std::wstring, std::wstring>> Environment;
    RunningProgram(const std::wstring& path, const std::wstring& args,
                   const Environment& environment = {});
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    bool started() const { return pi_.hProcess != NULL; }
    DWORD error() const { return error_; }  // why it could not start
    HANDLE process() const { return pi_.hProcess; }
    DWORD pid() const { return pi_.dwProcessId; }
    // Waits up to timeoutMs for it to end; once it has, its output is whole.
    bool Wait(DWORD timeoutMs);
    DWORD exitCode() const { return exitCode_; }
    // What it printed: whole once it ended, or, when it could not start,
    // what it said before it did.
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    struct Readers;
    PROCESS_INFORMATION pi_ = {};
    DWORD error_ = 0;
    DWORD exitCode_ = STILL_ACTIVE;
    bool ended_ = false;
    std::string out_, err_;
    std::unique_ptr<Readers> readers_;
};

// The last lines of a program's output, for a failure to quote.
std::string LastLines(const std::string& text, size_t lines = 8);

// Runs a built program once for each of these argument lines, several at
// once, and returns their results in the same order; as RunProgram reports
// a start that failed and a crash.
std::vector<RunResult> RunPrograms(const std::wstring& name, const std::vector<std::wstring>& args,
                                   DWORD timeoutMs = 60000, Caller at = Caller());

// Starts a built program on this test's device with these standard handles,
// which it inherits; one that cannot start is reported at the caller's line
// and comes back with no process.
PROCESS_INFORMATION StartProgramWith(const std::wstring& name, const std::wstring& args, HANDLE hIn,
                                     HANDLE hOut, HANDLE hErr, Caller at = Caller());

// Programs beside the test: this test program again, running one test of a
// ...Child suite as a second process, or a built program with quiet handles.
// Both mirror their journal into the device's journal.log when asked.
PROCESS_INFORMATION StartSelf(const std::wstring& filter, Caller at = Caller());
PROCESS_INFORMATION StartProgram(const std::wstring& name, const std::wstring& args,
                                 bool journal = false, Caller at = Caller());
// Waits for it (killing it after timeoutMs) and returns its exit code; a
// crash or an abort is reported at the caller's line with what it means.
DWORD WaitAndClose(PROCESS_INFORMATION& pi, DWORD timeoutMs = 60000, Caller at = Caller());
// An exit code that only a crash or an abort gives (an exception code, Wine's
// abort), never one a program chooses; and what it means, said for a person.
bool IsCrash(DWORD exitCode);
std::string DescribeExit(DWORD exitCode);

// --- A process ended in the midst of its work ----------------------------------------
// Opens a host file in the device's folder and a store file through the
// device, and never closes them.
void HoldFilesOpen(Caller at = Caller());
// Starts threads that keep the platform busy until the process ends, which
// cuts them short wherever they are: committing the device (its lock, a new
// image half written), naming the device (a lock of the platform's that every
// call takes) and using a file (Wine's file handles). Returns once each has
// done its work at least once.
void KeepThePlatformBusy();

// Top-level windows of this class and title whose process is on this test's
// device (the prefix's windows are every device's).
std::vector<HWND> DeviceWindows(LPCWSTR className, LPCWSTR title);
// The visible top-level window of this class and title that process pid
// shows; WaitForWindow waits (host time) until it is there, NULL if never.
HWND FindWindowOf(DWORD pid, LPCWSTR className, LPCWSTR title);
HWND WaitForWindow(DWORD pid, LPCWSTR className, LPCWSTR title, DWORD timeoutMs = 30000);

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
