// testing.cpp - the shared test fixture and helpers.
#include "testing.h"

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>

void DeviceTest::SetUp()
{
    SimResetDevice();
    SimClearFaults();
    SimSetClock(SIM_CLOCK_VIRTUAL, 1);
    SimSetUser(SIM_USER_SCRIPTED);
    // The worker starts waiting on its own; counts of its waits start from there.
    if (GetModuleHandleW(L"Rendak.dll") != NULL &&
        !SimJournalWaitFor(handheld::WaitBeginEntry(RELOAD_EVENT_NAME).c_str(), 1, 30000)) {
        std::string entries;
        for (const std::wstring& e : JournalEntries()) {
            entries += "  " + Narrow(e) + "\n";
        }
        ADD_FAILURE() << "the reload worker never began to wait; journal:\n" << entries;
    }
    SimJournalClear();
    // Programs that the test starts work on the same device.
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
}

void DeviceTest::TearDown()
{
    SimSetMessageBoxHook(NULL, NULL);
}

void DeviceSleep(DWORD ms)
{
    CoreFunction<void(WINAPI*)(DWORD)>("Sleep")(ms);
}

// --- The journal ---------------------------------------------------------------------

std::vector<handheld::JournalEntry> Journal()
{
    return handheld::ReadJournal();
}

static std::vector<std::wstring> Matching(const std::vector<handheld::JournalEntry>& entries,
                                          const std::wstring& prefix)
{
    std::vector<std::wstring> found;
    for (const handheld::JournalEntry& e : entries) {
        if (e.StartsWith(prefix)) {
            found.push_back(e.text);
        }
    }
    return found;
}

std::vector<std::wstring> JournalEntries()
{
    return Matching(Journal(), L"");
}

std::vector<std::wstring> JournalMatching(const std::wstring& prefix)
{
    return Matching(Journal(), prefix);
}

size_t CountJournal(const std::wstring& prefix)
{
    return JournalMatching(prefix).size();
}

std::vector<handheld::JournalEntry> DeviceJournal()
{
    return handheld::ReadJournalLog(DeviceFolder() + L"\\journal.log");
}

std::vector<std::wstring> DeviceJournalMatching(const std::wstring& prefix)
{
    return Matching(DeviceJournal(), prefix);
}

size_t CountDeviceJournal(const std::wstring& prefix)
{
    return DeviceJournalMatching(prefix).size();
}

std::vector<MessageBoxRecord> MessageBoxesOf(const std::vector<handheld::JournalEntry>& entries)
{
    std::vector<MessageBoxRecord> boxes;
    for (const handheld::JournalEntry& e : entries) {
        if (e.Is(SIM_J_MESSAGE_BOX) && e.fields.size() == 4) {
            boxes.push_back({e.Field(0), (unsigned)wcstoul(e.Field(1).c_str(), NULL, 16),
                             e.Field(2), e.Field(3)});
        }
    }
    return boxes;
}

std::vector<MessageBoxRecord> MessageBoxes()
{
    return MessageBoxesOf(Journal());
}

std::vector<DWORD> SleepsOf(const std::vector<handheld::JournalEntry>& entries)
{
    std::vector<DWORD> sleeps;
    for (const handheld::JournalEntry& e : entries) {
        if (e.Is(SIM_J_SLEEP)) {
            sleeps.push_back((DWORD)wcstoul(e.Field(0).c_str(), NULL, 10));
        }
    }
    return sleeps;
}

std::vector<DWORD> Sleeps()
{
    return SleepsOf(Journal());
}

// --- The reload worker -----------------------------------------------------------------

bool WaitForWorkerIdle(DWORD served, DWORD timeoutMs)
{
    return SimJournalWaitFor(handheld::WaitBeginEntry(RELOAD_EVENT_NAME).c_str(), served,
                             timeoutMs) != FALSE;
}

DWORD ReloadWorkerThread()
{
    const std::wstring wait = std::wstring(SIM_J_WAIT) + L"|" + RELOAD_EVENT_NAME + L"|";
    DWORD worker = 0;
    for (const handheld::JournalEntry& e : Journal()) {
        if (e.StartsWith(wait)) {
            worker = e.thread;
        }
    }
    return worker;
}

std::vector<handheld::JournalEntry> WorkerJournal(const std::wstring& prefix)
{
    DWORD worker = ReloadWorkerThread();
    std::vector<handheld::JournalEntry> found;
    for (const handheld::JournalEntry& e : Journal()) {
        if (worker != 0 && e.thread == worker && e.StartsWith(prefix)) {
            found.push_back(e);
        }
    }
    return found;
}

SIMEVENTWAITS ReloadWaits()
{
    SIMEVENTWAITS waits = {0, 0, 0};
    SimEventWaits(RELOAD_EVENT_NAME, &waits);
    return waits;
}

bool SignalReloadEvent(Caller at)
{
    HANDLE h = CoreFunction<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)>(
        "CreateEventW", at)(NULL, FALSE, FALSE, RELOAD_EVENT_NAME);
    if (h == NULL) {
        FAIL_AT(at) << "the device refused the reload event";
        return false;
    }
    BOOL set = CoreFunction<BOOL(WINAPI*)(HANDLE, DWORD)>("EventModify", at)(h, EVENT_SET);
    CoreFunction<BOOL(WINAPI*)(HANDLE)>("CloseHandle", at)(h);
    if (!set) {
        FAIL_AT(at) << "the reload event could not be set";
    }
    return set != FALSE;
}

bool WaitForThreadEnd(DWORD threadId, DWORD timeoutMs)
{
    HANDLE h = OpenThread(SYNCHRONIZE, FALSE, threadId);
    if (h == NULL) {
        return true;  // gone already
    }
    bool ended = WaitForSingleObject(h, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

// --- The device --------------------------------------------------------------------------

std::optional<DWORD> RegDword(const wchar_t* key, const wchar_t* value)
{
    DWORD data = 0;
    if (!SimRegGetDword(key, value, &data)) {
        return std::nullopt;
    }
    return data;
}

bool SetRegDword(const wchar_t* key, const wchar_t* value, DWORD data, Caller at)
{
    if (!SimRegSetDword(key, value, data)) {
        FAIL_AT(at) << "cannot set " << Narrow(key) << "\\" << Narrow(value);
        return false;
    }
    return true;
}

std::optional<DWORD> RadioPower(const wchar_t* name)
{
    DWORD power = 0;
    if (!SimGetRadioPower(name, &power)) {
        return std::nullopt;
    }
    return power;
}

HANDLE DeviceEvent(const std::wstring& name)
{
    return CreateEventW(NULL, TRUE, FALSE, (name + L"." + SimDeviceName()).c_str());
}

int CountFromEnvironment(const wchar_t* name, int suiteCount)
{
    wchar_t text[16] = L"";
    int count = GetEnvironmentVariableW(name, text, 16) ? _wtoi(text) : 0;
    return count > 0 ? count : suiteCount;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    ULONGLONG until = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= until) {
            return false;
        }
        ::Sleep(20);
    }
}

static std::wstring StorePath(const wchar_t* devicePath)
{
    std::wstring path(SimStorePath(devicePath, NULL, 0), L'\0');
    SimStorePath(devicePath, path.data(), (DWORD)path.size() + 1);
    return path;
}

std::optional<std::string> ReadDeviceFile(const wchar_t* devicePath)
{
    std::ifstream in(StorePath(devicePath).c_str(), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteDeviceFile(const wchar_t* devicePath, const std::string& content)
{
    std::ofstream out(StorePath(devicePath).c_str(), std::ios::binary | std::ios::trunc);
    out << content;
}

void DeleteDeviceFile(const wchar_t* devicePath)
{
    DeleteFileW(StorePath(devicePath).c_str());
}

std::vector<HWND> DeviceWindows(LPCWSTR className, LPCWSTR title)
{
    DWORD pids[64];
    DWORD count = std::min<DWORD>(SimDeviceProcesses(pids, 64), 64);
    std::vector<HWND> windows;
    HWND h = NULL;
    while ((h = FindWindowExW(NULL, h, className, title)) != NULL) {
        DWORD owner = 0;
        GetWindowThreadProcessId(h, &owner);
        if (owner == GetCurrentProcessId() ||
            std::find(pids, pids + count, owner) != pids + count) {
            windows.push_back(h);
        }
    }
    return windows;
}

HWND FindWindowOf(DWORD pid, LPCWSTR className, LPCWSTR title)
{
    HWND h = NULL;
    while ((h = FindWindowExW(NULL, h, className, title)) != NULL) {
        DWORD owner = 0;
        GetWindowThreadProcessId(h, &owner);
        if (owner == pid && IsWindowVisible(h)) {
            return h;
        }
    }
    return NULL;
}

HWND WaitForWindow(DWORD pid, LPCWSTR className, LPCWSTR title, DWORD timeoutMs)
{
    HWND found = NULL;
    WaitUntil([&] { return (found = FindWindowOf(pid, className, title)) != NULL; }, timeoutMs);
    return found;
}

std::string Narrow(const std::wstring& text)
{
    std::string out(text.size() * 3 + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), out.data(),
                                (int)out.size(), NULL, NULL);
    out.resize(n);
    return out;
}

std::wstring Widen(const std::string& text)
{
    std::wstring out(text.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), out.data(),
                                (int)out.size());
    out.resize(n);
    return out;
}

// Reads a pipe on a thread of its own, so neither pipe can fill up, until
// its end or, once the program has ended, until it is empty: a process the
// program started may hold the pipe for ever (Wine's desktop process, started
// by a program's first window, keeps the standard error it was given).
struct PipeReader {
    HANDLE hPipe;
    std::string* pText;
    std::atomic<bool> programEnded{false};
};

static DWORD WINAPI DrainPipe(LPVOID p)
{
    auto* reader = static_cast<PipeReader*>(p);
    char buffer[4096];
    for (;;) {
        // Whether the program had ended is read before the pipe is looked
        // at: an empty pipe then holds all it will ever write.
        bool ended = reader->programEnded;
        DWORD available = 0, n = 0;
        if (!PeekNamedPipe(reader->hPipe, NULL, 0, NULL, &available, NULL)) {
            return 0;  // every writer closed it
        }
        if (available == 0) {
            if (ended) {
                return 0;
            }
            Sleep(1);
            continue;
        }
        if (!ReadFile(reader->hPipe, buffer, std::min<DWORD>(available, sizeof(buffer)), &n,
                      NULL)) {
            return 0;
        }
        reader->pText->append(buffer, n);
    }
}

// One start at a time in this process: a child inherits every inheritable
// handle there is as it starts, and would keep another start's pipe open.
static std::mutex g_startLock;

// Starts the program at path with these standard handles, which it inherits;
// the process's error when it could not start.
static PROCESS_INFORMATION StartWith(const std::wstring& path, const std::wstring& args, HANDLE hIn,
                                     HANDLE hOut, HANDLE hErr, DWORD* pError)
{
    std::wstring command = L"\"" + path + L"\" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hIn;
    si.hStdOutput = hOut;
    si.hStdError = hErr;
    PROCESS_INFORMATION pi = {};
    *pError = 0;
    if (!CreateProcessW(path.c_str(), command.data(), NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        *pError = GetLastError();  // before anything else can change it
        pi = {};
    }
    return pi;
}

std::wstring BuiltProgram(const std::wstring& name)
{
    return Widen(BUILD_BIN_DIR) + L"/" + name;
}

PROCESS_INFORMATION StartProgramWith(const std::wstring& name, const std::wstring& args, HANDLE hIn,
                                     HANDLE hOut, HANDLE hErr, Caller at)
{
    DWORD error;
    std::lock_guard<std::mutex> lock(g_startLock);
    PROCESS_INFORMATION pi = StartWith(BuiltProgram(name), args, hIn, hOut, hErr, &error);
    if (pi.hProcess == NULL) {
        FAIL_AT(at) << "cannot start " << Narrow(BuiltProgram(name)) << " (error " << error << ")";
    }
    return pi;
}

// Whatever a pipe holds now, without waiting for more.
static std::string PipeContents(HANDLE hPipe)
{
    std::string text;
    char buffer[4096];
    DWORD available = 0, n = 0;
    while (PeekNamedPipe(hPipe, NULL, 0, NULL, &available, NULL) && available > 0 &&
           ReadFile(hPipe, buffer, std::min<DWORD>(available, sizeof(buffer)), &n, NULL) && n > 0) {
        text.append(buffer, n);
    }
    return text;
}

std::string LastLines(const std::string& text, size_t lines)
{
    size_t at = text.size();
    for (size_t n = 0; n <= lines && at > 0; n++) {
        at = text.rfind('\n', at - 1);
        if (at == std::string::npos) {
            return text;
        }
    }
    return text.substr(at + (at < text.size()));
}

bool IsCrash(DWORD exitCode)
{
    return exitCode >= 0x80000000u;
}

std::string DescribeExit(DWORD exitCode)
{
    struct Known {
        DWORD code;
        const char* meaning;
    };
    static const Known kKnown[] = {
        {0xC0000005, "an access violation"},
        {0xC00000FD, "a stack overflow"},
        {0xC000001D, "an illegal instruction (an undefined-behaviour trap)"},
        {0xC0000409, "a fast fail (a detected buffer overrun or terminate)"},
        {0x80000101, "an abort: an assertion failed in Wine"},
        {0xC0000374, "a corrupted heap"},
    };
    char text[64];
    snprintf(text, sizeof(text), "exit code %lu (0x%08lX)", (unsigned long)exitCode,
             (unsigned long)exitCode);
    std::string said = text;
    for (const Known& k : kKnown) {
        if (k.code == exitCode) {
            said += std::string(", ") + k.meaning;
        }
    }
    return said;
}

struct RunningProgram::Readers {
    PipeReader out, err;
    HANDLE threads[2] = {NULL, NULL};
};

// The value of an environment variable; unset when it has none.
static std::optional<std::wstring> Variable(const std::wstring& name)
{
    DWORD n = GetEnvironmentVariableW(name.c_str(), NULL, 0);
    if (n == 0) {
        return std::nullopt;
    }
    std::wstring value(n, L'\0');
    value.resize(GetEnvironmentVariableW(name.c_str(), value.data(), n));
    return value;
}

RunningProgram::RunningProgram(const std::wstring& path, const std::wstring& args,
                               const Environment& environment)
    : readers_(new Readers{{NULL, &out_}, {NULL, &err_}})
{
    {
        std::lock_guard<std::mutex> lock(g_startLock);
        // The child's variables, set for the moment of its start (starts are
        // one at a time) and put back after.
        std::vector<std::pair<std::wstring, std::optional<std::wstring>>> before;
        for (const auto& [name, value] : environment) {
            before.emplace_back(name, Variable(name));
            SetEnvironmentVariableW(name.c_str(), value.c_str());
        }
        SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, TRUE};
        HANDLE outWrite = NULL, errWrite = NULL;
        CreatePipe(&readers_->out.hPipe, &outWrite, &sa, 0);
        CreatePipe(&readers_->err.hPipe, &errWrite, &sa, 0);
        SetHandleInformation(readers_->out.hPipe, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(readers_->err.hPipe, HANDLE_FLAG_INHERIT, 0);
        pi_ = StartWith(path, args, GetStdHandle(STD_INPUT_HANDLE), outWrite, errWrite, &error_);
        CloseHandle(outWrite);
        CloseHandle(errWrite);
        for (const auto& [name, value] : before) {
            SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : NULL);
        }
    }
    if (pi_.hProcess == NULL) {
        // A program that ended while it started may have said why.
        err_ = PipeContents(readers_->err.hPipe);
        out_ = PipeContents(readers_->out.hPipe);
        return;
    }
    readers_->threads[0] = CreateThread(NULL, 0, DrainPipe, &readers_->out, 0, NULL);
    readers_->threads[1] = CreateThread(NULL, 0, DrainPipe, &readers_->err, 0, NULL);
}

RunningProgram::~RunningProgram()
{
    if (pi_.hProcess != NULL && !Wait(0)) {
        TerminateProcess(pi_.hProcess, 99);
        Wait(10000);
    }
    if (pi_.hProcess != NULL) {
        CloseHandle(pi_.hProcess);
        CloseHandle(pi_.hThread);
    }
    for (HANDLE h : readers_->threads) {
        if (h) {
            CloseHandle(h);
        }
    }
    CloseHandle(readers_->out.hPipe);
    CloseHandle(readers_->err.hPipe);
}

bool RunningProgram::Wait(DWORD timeoutMs)
{
    if (pi_.hProcess == NULL || WaitForSingleObject(pi_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    if (!ended_) {
        readers_->out.programEnded = true;
        readers_->err.programEnded = true;
        WaitForMultipleObjects(2, readers_->threads, TRUE, INFINITE);
        GetExitCodeProcess(pi_.hProcess, &exitCode_);
        ended_ = true;
    }
    return true;
}

// Waits for a program RunProgram or RunPrograms started, and says what it
// did; one that will not end is ended.
static RunResult Finish(RunningProgram& program, const std::wstring& name, const std::wstring& args,
                        DWORD timeoutMs, Caller at)
{
    if (!program.started()) {
        FAIL_AT(at) << "cannot start " << Narrow(BuiltProgram(name)) << " (error "
                    << program.error() << "); it printed before it ended: "
                    << (program.err().empty() && program.out().empty()
                            ? "nothing"
                            : program.err() + program.out());
        return {(DWORD)-1, "", ""};
    }
    if (!program.Wait(timeoutMs)) {
        TerminateProcess(program.process(), 99);
        program.Wait(10000);
        FAIL_AT(at) << Narrow(name) << " did not end within " << timeoutMs << " ms";
    }
    if (IsCrash(program.exitCode())) {
        FAIL_AT(at) << Narrow(name) << " " << Narrow(args)
                    << " crashed: " << DescribeExit(program.exitCode())
                    << "; its standard error ended:\n"
                    << LastLines(program.err());
    }
    return {program.exitCode(), program.out(), program.err()};
}

RunResult RunProgram(const std::wstring& name, const std::wstring& args, DWORD timeoutMs, Caller at)
{
    RunningProgram program(BuiltProgram(name), args);
    return Finish(program, name, args, timeoutMs, at);
}

std::vector<RunResult> RunPrograms(const std::wstring& name, const std::vector<std::wstring>& args,
                                   DWORD timeoutMs, Caller at)
{
    const size_t kAtOnce = 8;  // a process's start is mostly waiting: more at once cost no more
    std::vector<RunResult> results;
    for (size_t first = 0; first < args.size(); first += kAtOnce) {
        std::vector<std::unique_ptr<RunningProgram>> running;
        for (size_t i = first; i < args.size() && i < first + kAtOnce; i++) {
            running.push_back(std::make_unique<RunningProgram>(BuiltProgram(name), args[i]));
        }
        for (size_t i = 0; i < running.size(); i++) {
            results.push_back(Finish(*running[i], name, args[first + i], timeoutMs, at));
        }
    }
    return results;
}

std::wstring DeviceFolder()
{
    std::wstring folder(SimDeviceFolder(NULL, 0), L'\0');
    SimDeviceFolder(folder.data(), (DWORD)folder.size() + 1);
    return folder;
}

std::wstring DeviceFolderOf(const std::wstring& device)
{
    const std::wstring folder = DeviceFolder();
    return folder.substr(0, folder.rfind(L'\\') + 1) + device;
}

bool DeviceHasHostKeys(const std::wstring& device)
{
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, HostKey(device).c_str(), 0, KEY_READ, &hKey) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(hKey);
    return true;
}

std::wstring HostKey()
{
    return HostKey(SimDeviceName());
}

std::wstring HostKey(const std::wstring& device)
{
    return std::wstring(SIM_DEVICES_KEY) + L"\\" + device;
}

std::string DeviceJournalLog()
{
    HANDLE h = CreateFileW((DeviceFolder() + L"\\journal.log").c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    std::string content;
    if (h != INVALID_HANDLE_VALUE) {
        char buffer[8192];
        DWORD n;
        while (ReadFile(h, buffer, sizeof(buffer), &n, NULL) && n > 0) {
            content.append(buffer, n);
        }
        CloseHandle(h);
    }
    return content;
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        count++;
    }
    return count;
}

// Starts this test program again on the same device, running one test of a
// ...Child suite; the journal of the child goes to the device's journal.log.
PROCESS_INFORMATION StartSelf(const std::wstring& filter, Caller at)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", L"1");
    std::wstring command =
        std::wstring(L"\"") + self + L"\" --gtest_also_run_disabled_tests --gtest_filter=" + filter;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(self, command.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        FAIL_AT(at) << "cannot start " << Narrow(command) << " (error " << GetLastError() << ")";
    }
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", NULL);
    return pi;
}

DWORD WaitAndClose(PROCESS_INFORMATION& pi, DWORD timeoutMs, Caller at)
{
    DWORD code = 99;
    if (pi.hProcess == NULL) {
        return code;
    }
    if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 98);
        WaitForSingleObject(pi.hProcess, 10000);
    }
    GetExitCodeProcess(pi.hProcess, &code);
    if (IsCrash(code)) {
        // Its own output went to the test's: the lines above say the rest.
        FAIL_AT(at) << "process " << pi.dwProcessId << " crashed: " << DescribeExit(code);
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    pi = {};
    return code;
}

// Starts a built program on this test's device with its standard handles on
// NUL, for programs that run beside the test (the panel, the console).
PROCESS_INFORMATION StartProgram(const std::wstring& name, const std::wstring& args, bool journal,
                                 Caller at)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, TRUE};
    HANDLE hNul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, NULL);
    if (journal) {
        SetEnvironmentVariableW(L"HANDHELD_JOURNAL", L"1");
    }
    PROCESS_INFORMATION pi = StartProgramWith(name, args, hNul, hNul, hNul, at);
    if (journal) {
        SetEnvironmentVariableW(L"HANDHELD_JOURNAL", NULL);
    }
    CloseHandle(hNul);
    return pi;
}

// --- A process ended in the midst of its work -----------------------------------------

void HoldFilesOpen(Caller at)
{
    HANDLE hHost = CreateFileW((DeviceFolder() + L"\\held.tmp").c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_ALWAYS, 0, NULL);
    HANDLE hStore = CoreFunction<decltype(&CreateFileW)>("CreateFileW", at)(
        L"\\Application Data\\held.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
        OPEN_ALWAYS, 0, NULL);
    if (hHost == INVALID_HANDLE_VALUE || hStore == INVALID_HANDLE_VALUE) {
        FAIL_AT(at) << "cannot open the files to hold";
    }
}

static std::atomic<int> g_busyRounds[3];

static DWORD WINAPI CommitForEver(LPVOID)
{
    for (DWORD i = 0;; i++) {
        SimSetSetting(L"Scratch", i);
        g_busyRounds[0]++;
    }
}

static DWORD WINAPI NameTheDeviceForEver(LPVOID)
{
    for (;;) {
        SimDeviceName();
        g_busyRounds[1]++;
    }
}

static DWORD WINAPI UseAFileForEver(LPVOID)
{
    const std::wstring path = DeviceFolder() + L"\\busy." + std::to_wstring(GetCurrentThreadId());
    for (char buffer[64];;) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_ALWAYS, 0, NULL);
        DWORD n = 0;
        WriteFile(h, "busy", 4, &n, NULL);
        SetFilePointer(h, 0, NULL, FILE_BEGIN);
        ReadFile(h, buffer, sizeof(buffer), &n, NULL);
        CloseHandle(h);
        g_busyRounds[2]++;
    }
}

void KeepThePlatformBusy()
{
    for (LPTHREAD_START_ROUTINE work : {CommitForEver, NameTheDeviceForEver, NameTheDeviceForEver,
                                        UseAFileForEver, UseAFileForEver}) {
        CloseHandle(CreateThread(NULL, 0, work, NULL, 0, NULL));
    }
    while (g_busyRounds[0] == 0 || g_busyRounds[1] == 0 || g_busyRounds[2] == 0) {
        ::Sleep(1);
    }
}
