// faults.cpp - making a named platform operation fail on purpose. Faults are
// values "Operation|target" (REG_DWORD: the error) under the device's
// Settings\Faults key, so that every process on the device sees them.
//
// Every platform call asks whether it must fail, so each process keeps the
// device's faults in memory and reads them again only when the host says the
// device's settings changed (a change notification on the Settings key and
// its subkeys, and one on the device's key for Settings itself being made
// anew by a reset).
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
    HANDLE hChanged = NULL;
    HKEY hSettings = NULL;  // watched, with its subkeys
    HKEY hDevice = NULL;    // watched for Settings being deleted and made again
    std::map<std::wstring, DWORD, NoCase> faults;  // value name -> error
};
FaultCache g_cache;

std::wstring FaultsPath()
{
    return DeviceKeyPath() + L"\\" FAULTS_SUBKEY;
}

void CloseWatched()
{
    if (g_cache.hSettings) {
        RegCloseKey(g_cache.hSettings);
        g_cache.hSettings = NULL;
    }
    if (g_cache.hDevice) {
        RegCloseKey(g_cache.hDevice);
        g_cache.hDevice = NULL;
    }
}

// With the cache's lock held: watches the device's settings first, then
// reads its faults, so that no change made after the read goes unseen.
void Refresh(const std::wstring& device)
{
    if (g_cache.hChanged == NULL) {
        g_cache.hChanged = CreateEventW(NULL, TRUE, FALSE, NULL);
    }
    ResetEvent(g_cache.hChanged);
    CloseWatched();
    std::wstring keyPath = DeviceKeyPath();
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_NOTIFY, &g_cache.hDevice) ==
        ERROR_SUCCESS) {
        RegNotifyChangeKeyValue(g_cache.hDevice, FALSE, REG_NOTIFY_CHANGE_NAME, g_cache.hChanged,
                                TRUE);
    }
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (keyPath + L"\\Settings").c_str(), 0, KEY_NOTIFY,
                      &g_cache.hSettings) == ERROR_SUCCESS) {
        RegNotifyChangeKeyValue(g_cache.hSettings, TRUE,
                                REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                g_cache.hChanged, TRUE);
    }
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
    return g_cache.device != device || g_cache.hSettings == NULL ||
           WaitForSingleObject(g_cache.hChanged, 0) == WAIT_OBJECT_0;
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
    return taken;
}

}  // namespace

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
