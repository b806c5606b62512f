// powercut_session - a user's session on the device "powercut", for power-cut
// trials (tests/powercut/trials): the harness kills the whole wineserver at a
// random instant and then checks that every value committed before the cut is
// still there.
//
//   powercut_session.exe fresh            remove the device, make it anew, leave a canary
//   powercut_session.exe run LOG SEED     steps until killed, recorded in LOG (host path)
//   powercut_session.exe probe            print what the device holds now
//
// LOG gets "begin N STEP" before a step and "end N VALUES" once it has
// settled: the library commits everything it writes (RegFlushKey, fclose), so
// the values printed at the end of a step are committed ones.
#include <Rendak.h>
#include <handheld.h>
#include <handheld_devmgr.h>
#include <handheld_journal.h>
#include <handheld_radio.h>
#include <rendak_store.h>

#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <string>

namespace {

// The session's own marks, beside what the library keeps.
const wchar_t kCanaryKey[] = L"SOFTWARE\\PowerCutTrial";
const wchar_t kCanaryFile[] = L"\\canary.txt";
const std::wstring kWaitBegin = handheld::WaitBeginEntry(RELOAD_EVENT_NAME);
const std::wstring kReloadSet = handheld::EventSetEntry(RELOAD_EVENT_NAME);

std::string Dword(const wchar_t* key, const wchar_t* name)
{
    DWORD value = 0;
    if (!SimRegGetDword(key, name, &value)) {
        return "-";
    }
    char text[16];
    snprintf(text, sizeof(text), "0x%lX", (unsigned long)value);
    return text;
}

// A device file's first bytes, "-" when there is none. Host files are read
// and written with the desktop's own calls: the device's _wfopen takes device
// paths only.
std::string FileText(const wchar_t* devicePath)
{
    wchar_t path[MAX_PATH];
    if (SimStorePath(devicePath, path, MAX_PATH) == 0) {
        return "-";
    }
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return "-";
    }
    char buffer[64];
    DWORD n = 0;
    ReadFile(h, buffer, sizeof(buffer), &n, NULL);
    CloseHandle(h);
    std::string text(buffer, n);
    for (char& c : text) {
        if (c == ' ' || c == '\n' || c == '\r') {
            c = '_';
        }
    }
    return text.empty() ? "(empty)" : text;
}

std::string Values()
{
    return "adapter.Domain=" + Dword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE) +
           " adapter.WIFI=" + Dword(REG_ADAPTER_KEY, REG_WIFI_VALUE) +
           " vendor.Domain=" + Dword(REG_VENDOR_KEY, REG_DOMAIN_VALUE) +
           " vendor.ChannelDomain=" + Dword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE) +
           " status=" + FileText(STATUS_FILE) + " canary.reg=" + Dword(kCanaryKey, L"Trial") +
           " canary.file=" + FileText(kCanaryFile);
}

void WriteCanary(DWORD trial)
{
    SimRegSetDword(kCanaryKey, L"Trial", trial);  // committed at once
    wchar_t path[MAX_PATH];
    SimStorePath(kCanaryFile, path, MAX_PATH);
    HANDLE h =
        CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        std::string text = std::to_string(trial);
        DWORD written = 0;
        WriteFile(h, text.data(), (DWORD)text.size(), &written, NULL);
        CloseHandle(h);
    }
}

// Appends one line to the log and puts it on the disk before going on.
void Log(const std::wstring& logPath, const std::string& line)
{
    HANDLE h = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "powercut_session: cannot write the log\n");
        ExitProcess(3);
    }
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(h, text.data(), (DWORD)text.size(), &written, NULL);
    FlushFileBuffers(h);
    CloseHandle(h);
}

void DeviceSleep(DWORD ms)
{
    reinterpret_cast<void(WINAPI*)(DWORD)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"coredll.dll"), "Sleep")))(ms);
}

// The answer the user gives to the reload question of the step under way.
int g_answer = IDNO;

int WINAPI Answer(HWND, LPCWSTR, LPCWSTR, UINT uType, void*)
{
    return (uType & MB_TYPEMASK) == MB_YESNO ? g_answer : IDOK;
}

// Waits until a reload signalled during the step has been served (the
// worker is back waiting), the radio is not switching, and the notifications
// have been delivered: from then on nothing of the step is still to come.
void Settle()
{
    wchar_t entry[128];
    bool signalled = false;
    for (DWORD i = 0, count = SimJournalCount(); i < count; i++) {
        SimJournalEntry(i, entry, 128);
        signalled = signalled || kReloadSet == entry;
    }
    if (signalled) {
        SimJournalWaitFor(kWaitBegin.c_str(), 1, 120000);
    }
    for (int i = 0; i < 200 && (SimAdapterState() & 0x2); i++) {
        DeviceSleep(100);
    }
    DeviceSleep(500);
    SimDeliverNotifications();
}

void SignalReload()
{
    auto create = reinterpret_cast<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"coredll.dll"), "CreateEventW")));
    auto modify = reinterpret_cast<BOOL(WINAPI*)(HANDLE, DWORD)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"coredll.dll"), "EventModify")));
    // Closed by the device that made it: kernel32's CloseHandle would leave
    // the device's record of the name behind.
    auto close = reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"coredll.dll"), "CloseHandle")));
    HANDLE h = create(NULL, FALSE, FALSE, RELOAD_EVENT_NAME);
    modify(h, 3 /* EVENT_SET */);
    close(h);
}

// The log's last line.
std::string LastLine(const std::wstring& logPath)
{
    HANDLE h = CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    std::string text;
    if (h != INVALID_HANDLE_VALUE) {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(h, buffer, sizeof(buffer), &n, NULL) && n > 0) {
            text.append(buffer, n);
        }
        CloseHandle(h);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    size_t nl = text.rfind('\n');
    return nl == std::string::npos ? text : text.substr(nl + 1);
}

int Run(const std::wstring& logPath, unsigned seed)
{
    std::mt19937 random(seed);
    SimSetMessageBoxHook(Answer, NULL);
    std::string last = LastLine(logPath);
    int step = 0;
    if (!last.empty()) {
        step = atoi(last.c_str() + last.find(' ') + 1);
        if (last.compare(0, 6, "begin ") == 0) {
            // The step that ended this session's predecessor: a hard reset,
            // which restarts the device, ends the process that asked for it.
            Log(logPath, "end " + std::to_string(step) + " " + Values());
        }
        step++;
    }
    Log(logPath, "begin " + std::to_string(step) + " canary");
    WriteCanary(seed);
    Log(logPath, "end " + std::to_string(step) + " " + Values());
    SimJournalWaitFor(kWaitBegin.c_str(), 1, 30000);  // the worker is waiting
    for (step++;; step++) {
        int choice = (int)(random() % 100);
        std::string name;
        g_answer = random() % 2 ? IDYES : IDNO;
        SimJournalClear();
        if (choice < 30) {
            int row = 1 + (int)(random() % 6);
            name = "set " + std::to_string(row);
        } else if (choice < 50) {
            name = "on";
        } else if (choice < 65) {
            name = "off";
        } else if (choice < 78) {
            name = "init";
        } else if (choice < 96) {
            name = g_answer == IDYES ? "reload-yes" : "reload-no";
        } else {
            name = "hard-reset";
        }
        Log(logPath, "begin " + std::to_string(step) + " " + name);
        if (name.compare(0, 4, "set ") == 0) {
            ChangeWiFiRegulatory(atoi(name.c_str() + 4));
        } else if (name == "on") {
            TurnOnWiFiModule();
        } else if (name == "off") {
            TurnOffWiFiModule();
        } else if (name == "init") {
            InitWiFi();
        } else if (name == "hard-reset") {
            HardReset();  // restarts the device: this process ends here
        } else {
            SignalReload();
        }
        Settle();
        Log(logPath, "end " + std::to_string(step) + " " + Values());
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"fresh") {
        SimDeleteDevice(SimDeviceName());
        SimSelectDevice(SimDeviceName());
        WriteCanary(0);
        printf("%s\n", Values().c_str());
        return 0;
    }
    if (mode == L"probe") {
        printf("%s\n", Values().c_str());
        return 0;
    }
    if (mode == L"run" && argc == 4) {
        return Run(argv[2], (unsigned)_wtoi(argv[3]));
    }
    fprintf(stderr, "usage: powercut_session.exe fresh | probe | run LOG SEED\n");
    return 2;
}
