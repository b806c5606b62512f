// faults.cpp - making a named platform operation fail on purpose. Faults are
// values "Operation|target" (REG_DWORD: the error) under the device's
// Settings\Faults key, so that every process on the device sees them.
//
// Every platform call asks whether it must fail, so each process keeps the
// device's faults in memory and reads them again only when the device's
// faults generation moved: a counter in memory shared by the processes of the
// prefix, one per device, that every change of the faults moves (setting,
// clearing, taking one marked once) and so does every release of the
// device's lock (a reset, a restore, a start or a deletion replaces the
// Settings key under it). Reading it is a plain load: asking costs no
// round trip to the wineserver, which a platform call would pay otherwise.
#include "sim.h"

#include <map>
#include <mutex>

namespace {

// Names compare as the registry compares them: without regard to case.
struct NoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const
    {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
};

struct FaultCache {
    std::mutex lock;
    std::wstring device;  // whose faults these are; empty: nothing read yet
    LONG generation = 0;  // the device's faults generation they were read at
    std::map<std::wstring, DWORD, NoCase> faults;  // value name -> error
};
FaultCache g_cache;

std::mutex g_generationLock;
std::map<std::wstring, volatile LONG*> g_generations;  // by device; views stay mapped

std::wstring FaultsPath()
{
    return DeviceKeyPath() + L"\\" FAULTS_SUBKEY;
}

// The device's faults generation, shared by every process of the prefix.
// Without the shared memory (out of resources) a counter of this process
// stands in that never moves, and only this process's changes are seen.
volatile LONG* Generation(const std::wstring& device)
{
    static volatile LONG s_fallback = 0;
    std::lock_guard<std::mutex> lock(g_generationLock);
    auto it = g_generations.find(device);
    if (it != g_generations.end()) {
        return it->second;
    }
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(LONG),
                                  (L"Handheld.Faults." + device).c_str());
    volatile LONG* p = h ? (volatile LONG*)MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0) : NULL;
    if (p == NULL) {
        if (h) {
            CloseHandle(h);
        }
        return &s_fallback;
    }
    g_generations[device] = p;  // the mapping lives as long as the process
    return p;
}

LONG ReadGeneration(const std::wstring& device)
{
    return InterlockedCompareExchange(Generation(device), 0, 0);
}

// With the cache's lock held: notes the generation first, then reads the
// faults, so that no change made after the read goes unseen.
void Refresh(const std::wstring& device)
{
    g_cache.generation = ReadGeneration(device);
    g_cache.faults.clear();
    HKEY hFaults;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, FaultsPath().c_str(), 0, KEY_READ, &hFaults) ==
        ERROR_SUCCESS) {
        wchar_t name[1024];
        for (DWORD i = 0;; i++) {
            DWORD cch = 1024, type = 0, value = 0, cb = sizeof(value);
            LONG r = RegEnumValueW(hFaults, i, name, &cch, NULL, &type, (LPBYTE)&value, &cb);
            if (r == ERROR_NO_MORE_ITEMS) {
                break;
            }
            if (r == ERROR_SUCCESS && type == REG_DWORD && cb == sizeof(DWORD)) {
                g_cache.faults[std::wstring(name, cch)] = value;
            }
        }
        RegCloseKey(hFaults);
    }
    g_cache.device = device;
}

bool Stale(const std::wstring& device)
{
    return g_cache.device != device || ReadGeneration(device) != g_cache.generation;
}

// A fault marked once fires in the process that removes it: when two
// processes see it, only one of them takes it.
bool TakeOnce(const std::wstring& name)
{
    HKEY hFaults;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, FaultsPath().c_str(), 0, KEY_ALL_ACCESS, &hFaults) !=
        ERROR_SUCCESS) {
        return false;
    }
    bool taken = RegDeleteValueW(hFaults, name.c_str()) == ERROR_SUCCESS;
    RegCloseKey(hFaults);
    if (taken) {
        FaultsMayHaveChanged(DeviceName());
    }
    return taken;
}

}  // namespace

void FaultsMayHaveChanged(const std::wstring& device)
{
    InterlockedIncrement(Generation(device));
}

// Looks for "op|target", then "op|*"; a fault marked once is removed as it fires.
DWORD FaultFor(const wchar_t* pszOperation, const std::wstring& target)
{
    std::wstring device = DeviceName();
    DWORD error = 0;
    {
        std::lock_guard<std::mutex> lock(g_cache.lock);
        if (Stale(device)) {
            Refresh(device);
        }
        if (g_cache.faults.empty()) {
            return 0;
        }
        const std::wstring candidates[] = {std::wstring(pszOperation) + L"|" + target,
                                           std::wstring(pszOperation) + L"|*"};
        for (const std::wstring& name : candidates) {
            auto it = g_cache.faults.find(name);
            if (it != g_cache.faults.end()) {
                error = it->second;
                break;
            }
            it = g_cache.faults.find(name + L"|once");
            if (it != g_cache.faults.end()) {
                DWORD once = it->second;
                g_cache.faults.erase(it);
                if (TakeOnce(name + L"|once")) {
                    error = once;
                    break;
                }
            }
        }
    }
    if (error) {
        Journal(SIM_J_FAULT L"|%ls|%ls|%lu", pszOperation, target.c_str(), error);
    }
    return error;
}

extern "C" {

SIM_API BOOL WINAPI SimSetFault(LPCWSTR pszOperation, LPCWSTR pszTarget, DWORD dwError, BOOL bOnce)
{
    if (!pszOperation || !pszTarget || dwError == 0) {
        return FALSE;
    }
    HKEY hKey = CreateDeviceSubkey(FAULTS_SUBKEY);
    if (hKey == NULL) {
        return FALSE;
    }
    std::wstring name = std::wstring(pszOperation) + L"|" + pszTarget;
    if (bOnce) {
        name += L"|once";
    }
    LONG r =
        RegSetValueExW(hKey, name.c_str(), 0, REG_DWORD, (const BYTE*)&dwError, sizeof(dwError));
    RegCloseKey(hKey);
    return r == ERROR_SUCCESS && DeviceCommit();
}

SIM_API void WINAPI SimClearFaults(void)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, FaultsPath().c_str());
    DeviceCommit();
}

}  // extern "C"
