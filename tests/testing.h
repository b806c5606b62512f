// testing.h - what the tests share: a fresh simulated device per test, and
// ways to look at what the library did to it.
#pragma once

#include <Rendak.h>
#include <handheld.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#define ADAPTER_KEY L"Comm\\TRXD385L1\\Parms"
#define VENDOR_KEY L"SOFTWARE\\Velmont"
#define OEM_KEY L"SOFTWARE\\OEMGeneric"
#define STATE_KEY L"System\\State\\Hardware"
#define STATUS_FILE_PATH L"\\Application Data\\WiFi_status.txt"

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
F CoreFunction(const char* name)
{
    F f = reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"coredll.dll"), name)));
    EXPECT_NE(f, nullptr) << name;
    return f;
}

std::vector<std::wstring> JournalEntries();
std::vector<std::wstring> JournalMatching(const std::wstring& prefix);
size_t CountJournal(const std::wstring& prefix);
std::vector<MessageBoxRecord> MessageBoxes();
std::vector<DWORD> Sleeps();  // the Sleep calls, in milliseconds, in order
// Waits for the reload worker to be back waiting after serving `served` wakes
// since the test began.
bool WaitForWorkerIdle(DWORD served, DWORD timeoutMs = 60000);

// The host folder of this test's device, and the journal that programs run on
// it with HANDHELD_JOURNAL=1 leave there.
std::wstring DeviceFolder();
std::string DeviceJournalLog();
size_t Occurrences(const std::string& text, const std::string& what);

std::optional<DWORD> RegDword(const wchar_t* key, const wchar_t* value);
void SetRegDword(const wchar_t* key, const wchar_t* value, DWORD data);

std::optional<std::string> ReadDeviceFile(const wchar_t* devicePath);
void WriteDeviceFile(const wchar_t* devicePath, const std::string& content);
void DeleteDeviceFile(const wchar_t* devicePath);

struct RunResult {
    DWORD exitCode;
    std::string out;
    std::string err;
};
// Runs a built program (BUILD_BIN_DIR\name) on this test's device, waits for it.
RunResult RunProgram(const std::wstring& name, const std::wstring& args, DWORD timeoutMs = 60000);

// Programs beside the test: this test program again, running one test of a
// ...Child suite as a second process, or a built program with quiet handles.
PROCESS_INFORMATION StartSelf(const std::wstring& filter);
PROCESS_INFORMATION StartProgram(const std::wstring& name, const std::wstring& args);
// Waits for it (killing it after timeoutMs) and returns its exit code.
DWORD WaitAndClose(PROCESS_INFORMATION& pi, DWORD timeoutMs = 60000);

// Top-level windows of this class and title whose process is on this test's
// device (the prefix's windows are every device's).
std::vector<HWND> DeviceWindows(LPCWSTR className, LPCWSTR title);

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
