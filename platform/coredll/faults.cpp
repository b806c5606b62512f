// faults.cpp - making a named platform operation fail on purpose. Faults are
// values "Operation|target" (REG_DWORD: the error) under the device's
// Settings\Faults key, so that every process on the device sees them.
#include "sim.h"

static std::wstring FaultsPath()
{
    return DeviceKeyPath() + L"\\Settings\\Faults";
}

// Looks for "op|target", then "op|*"; a fault marked once is removed as it fires.
DWORD FaultFor(const wchar_t* pszOperation, const std::wstring& target)
{
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, FaultsPath().c_str(), 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS) {
        return 0;
    }
    DWORD error = 0;
    const std::wstring candidates[] = {std::wstring(pszOperation) + L"|" + target,
                                       std::wstring(pszOperation) + L"|*"};
    for (const std::wstring& name : candidates) {
        DWORD value = 0, cb = sizeof(value);
        if (RegQueryValueExW(hKey, name.c_str(), NULL, NULL, (LPBYTE)&value, &cb) ==
            ERROR_SUCCESS) {
            error = value;
            break;
        }
        std::wstring once = name + L"|once";
        cb = sizeof(value);
        if (RegQueryValueExW(hKey, once.c_str(), NULL, NULL, (LPBYTE)&value, &cb) ==
            ERROR_SUCCESS) {
            error = value;
            RegDeleteValueW(hKey, once.c_str());
            break;
        }
    }
    RegCloseKey(hKey);
    if (error) {
        Journal(L"Fault|%ls|%ls|%lu", pszOperation, target.c_str(), error);
    }
    return error;
}

extern "C" {

SIM_API BOOL WINAPI SimSetFault(LPCWSTR pszOperation, LPCWSTR pszTarget, DWORD dwError, BOOL bOnce)
{
    if (!pszOperation || !pszTarget || dwError == 0) {
        return FALSE;
    }
    HKEY hKey;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, FaultsPath().c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &hKey, NULL) != ERROR_SUCCESS) {
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
