// processes.cpp - which processes run on which device. A process records
// itself when it opens a device, under a volatile host key that lives exactly
// as long as the wineserver. An entry whose process has ended (or whose id a
// new process took) is not believed, and is removed when found.
//
// The device's own look-ups (its windows) and its power cut use this: on the
// device every process is the device's, here they share one prefix.
#include "sim.h"

#include <atomic>
#include <vector>

#define PROCESSES_KEY L"Software\\Handheld\\Processes"

// This process watches devices from outside: from the data symbol
// HandheldObserver, or SimSetObserver (decided at the process's start).
static std::atomic<bool> g_observer{false};

namespace {

struct Entry {
    DWORD pid;
    std::wstring device;
    ULONGLONG created;
    bool observer;
    bool virtualClock;  // on the virtual clock when it last said so
};

bool Alive(const Entry& e)
{
    return ProcessRuns(e.pid, e.created);
}

HKEY OpenProcessesKey()
{
    HKEY hKey = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, PROCESSES_KEY, 0, NULL, REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &hKey, NULL) != ERROR_SUCCESS) {
        return NULL;
    }
    return hKey;
}

bool ReadEntry(HKEY hProcesses, DWORD pid, Entry* pEntry)
{
    wchar_t key[16], device[SIM_MAX_DEVICE_NAME + 1];
    swprintf(key, 16, L"%lu", (unsigned long)pid);
    DWORD cb = sizeof(device), observer = 0, cbObserver = sizeof(observer);
    DWORD virtualClock = 0, cbVirtual = sizeof(virtualClock);
    ULONGLONG created = 0;
    DWORD cbCreated = sizeof(created);
    if (RegGetValueW(hProcesses, key, L"Device", RRF_RT_REG_SZ, NULL, device, &cb) !=
            ERROR_SUCCESS ||
        RegGetValueW(hProcesses, key, L"Created", RRF_RT_REG_QWORD, NULL, &created, &cbCreated) !=
            ERROR_SUCCESS) {
        return false;
    }
    RegGetValueW(hProcesses, key, L"Observer", RRF_RT_REG_DWORD, NULL, &observer, &cbObserver);
    RegGetValueW(hProcesses, key, L"VirtualClock", RRF_RT_REG_DWORD, NULL, &virtualClock,
                 &cbVirtual);
    *pEntry = Entry{pid, device, created, observer != 0, virtualClock != 0};
    return true;
}

// Every live process's entry; entries of ended processes are removed.
std::vector<Entry> LiveEntries()
{
    std::vector<Entry> live;
    HKEY hProcesses = OpenProcessesKey();
    if (hProcesses == NULL) {
        return live;
    }
    std::vector<DWORD> pids;
    wchar_t name[16];
    for (DWORD i = 0;; i++) {
        DWORD cch = 16;
        if (RegEnumKeyExW(hProcesses, i, name, &cch, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
            break;
        }
        pids.push_back(wcstoul(name, NULL, 10));
    }
    for (DWORD pid : pids) {
        Entry e;
        if (ReadEntry(hProcesses, pid, &e) && Alive(e)) {
            live.push_back(e);
        } else if (pid != GetCurrentProcessId()) {
            swprintf(name, 16, L"%lu", (unsigned long)pid);
            RegDeleteKeyW(hProcesses, name);
        }
    }
    RegCloseKey(hProcesses);
    return live;
}

}  // namespace

ULONGLONG ProcessCreationTime(HANDLE hProcess)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(hProcess, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return ((ULONGLONG)created.dwHighDateTime << 32) | created.dwLowDateTime;
}

// The host gives a freed id to the next new process at once: a process is
// known by its id and its creation time together.
bool ProcessRuns(DWORD pid, ULONGLONG created)
{
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h == NULL) {
        return false;
    }
    DWORD code = 0;
    bool runs =
        ProcessCreationTime(h) == created && GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
    CloseHandle(h);
    return runs;
}

void ProcessesAttach()
{
    g_observer = GetProcAddress(GetModuleHandleW(NULL), "HandheldObserver") != NULL;
}

// Records this process as one of the device's. An observer (the device
// console, a tool's supervisor) watches the device from outside: it is not
// the device's, and a power cut or a restart leaves it running.
void ProcessJoinDevice(const std::wstring& name)
{
    HKEY hProcesses = OpenProcessesKey();
    if (hProcesses == NULL) {
        return;
    }
    wchar_t key[16];
    swprintf(key, 16, L"%lu", (unsigned long)GetCurrentProcessId());
    HKEY hEntry;
    if (RegCreateKeyExW(hProcesses, key, 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL,
                        &hEntry, NULL) == ERROR_SUCCESS) {
        ULONGLONG created = ProcessCreationTime(GetCurrentProcess());
        DWORD observer = g_observer.load() ? 1 : 0;
        DWORD virtualClock = ClockIsVirtual() ? 1 : 0;
        RegSetValueExW(hEntry, L"Device", 0, REG_SZ, (const BYTE*)name.c_str(),
                       (DWORD)((name.size() + 1) * sizeof(wchar_t)));
        RegSetValueExW(hEntry, L"Created", 0, REG_QWORD, (const BYTE*)&created, sizeof(created));
        RegSetValueExW(hEntry, L"Observer", 0, REG_DWORD, (const BYTE*)&observer, sizeof(observer));
        RegSetValueExW(hEntry, L"VirtualClock", 0, REG_DWORD, (const BYTE*)&virtualClock,
                       sizeof(virtualClock));
        RegCloseKey(hEntry);
    }
    RegCloseKey(hProcesses);
}

void ProcessLeaveDevice()
{
    wchar_t key[48];
    swprintf(key, 48, PROCESSES_KEY L"\\%lu", (unsigned long)GetCurrentProcessId());
    RegDeleteKeyW(HKEY_CURRENT_USER, key);
}

bool ProcessIsOnDevice(DWORD pid, const std::wstring& name)
{
    if (pid == GetCurrentProcessId()) {
        return SameName(DeviceName(), name);
    }
    HKEY hProcesses = OpenProcessesKey();
    if (hProcesses == NULL) {
        return false;
    }
    Entry e;
    bool on = ReadEntry(hProcesses, pid, &e) && SameName(e.device, name) && Alive(e);
    RegCloseKey(hProcesses);
    return on;
}

// Whether the entry is one of the device's own processes other than this
// one (observers not counted).
static bool OtherOfDevice(const Entry& e, const std::wstring& name, bool includeVirtualClock)
{
    return SameName(e.device, name) && !e.observer && e.pid != GetCurrentProcessId() &&
           (includeVirtualClock || !e.virtualClock);
}

std::vector<DWORD> DeviceProcesses(const std::wstring& name, bool includeVirtualClock)
{
    std::vector<DWORD> pids;
    for (const Entry& e : LiveEntries()) {
        if (OtherOfDevice(e, name, includeVirtualClock)) {
            pids.push_back(e.pid);
        }
    }
    return pids;
}

DWORD EndDeviceProcesses(const std::wstring& name, UINT exitCode, bool includeVirtualClock)
{
    DWORD ended = 0;
    for (const Entry& e : LiveEntries()) {
        if (!OtherOfDevice(e, name, includeVirtualClock)) {
            continue;
        }
        // The process is ended through a handle that is checked to be the
        // recorded one: the host gives a freed id to the next new process at
        // once, and a process of the device that ended a moment ago must not
        // take some other program's starting process with it.
        HANDLE h = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
                               FALSE, e.pid);
        if (h && ProcessCreationTime(h) == e.created && TerminateProcess(h, exitCode)) {
            WaitForSingleObject(h, 10000);
            ended++;
        }
        if (h) {
            CloseHandle(h);
        }
    }
    return ended;
}

extern "C" {

SIM_API void WINAPI SimSetObserver(BOOL bObserver)
{
    g_observer = bObserver != FALSE;
    ProcessJoinDevice(DeviceName());  // the record says so at once
}

SIM_API DWORD WINAPI SimDeviceProcesses(DWORD* aPids, DWORD cMax)
{
    std::vector<DWORD> pids = DeviceProcesses(DeviceName(), true);
    for (DWORD i = 0; aPids && i < cMax && i < pids.size(); i++) {
        aPids[i] = pids[i];
    }
    return (DWORD)pids.size();
}

}  // extern "C"
