// device.cpp - reads the simulated handheld the console shows, straight from
// the host keys that hold it (docs/handheld.md). The console never goes
// through the device's own registry handle for reading: another process may
// restore the factory image (a cold reboot), which makes a cached handle stale.
#include "console.h"

#include <handheld_radio.h>

#include <algorithm>

WCHAR g_device[64] = L"default";  // the device this console shows

std::wstring DeviceHostKey(const wchar_t* pszSub)
{
    std::wstring path = std::wstring(SIM_DEVICES_KEY) + L"\\" + g_device;
    if (pszSub && *pszSub) {
        path += L"\\";
        path += pszSub;
    }
    return path;
}

bool HostDword(const wchar_t* pszSub, const wchar_t* pszValue, DWORD* pdwValue)
{
    DWORD value = 0, cb = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, DeviceHostKey(pszSub).c_str(), pszValue, RRF_RT_REG_DWORD,
                     NULL, &value, &cb) != ERROR_SUCCESS) {
        return false;
    }
    *pdwValue = value;
    return true;
}

bool HostString(const wchar_t* pszSub, const wchar_t* pszValue, std::wstring* pText)
{
    WCHAR text[260];
    DWORD cb = sizeof(text);
    if (RegGetValueW(HKEY_CURRENT_USER, DeviceHostKey(pszSub).c_str(), pszValue, RRF_RT_REG_SZ,
                     NULL, text, &cb) != ERROR_SUCCESS) {
        return false;
    }
    *pText = text;
    return true;
}

bool DeviceDword(const wchar_t* pszKey, const wchar_t* pszValue, DWORD* pdwValue)
{
    return HostDword((std::wstring(L"HKLM\\") + pszKey).c_str(), pszValue, pdwValue);
}

DWORD Setting(const wchar_t* pszName, DWORD dwDefault)
{
    DWORD value = dwDefault;
    return HostDword(L"Settings", pszName, &value) ? value : dwDefault;
}

DWORD KernelCount(const wchar_t* pszName)
{
    DWORD value = 0;
    return HostDword(L"Kernel", pszName, &value) ? value : 0;
}

// The radio list in the device's order (Radios\0, \1, ... by number).
std::vector<RadioLine> DeviceRadios()
{
    std::vector<RadioLine> radios;
    DWORD count = SimRadioCount();
    for (DWORD i = 0; i < count; i++) {
        SIMRADIO r;
        if (SimGetRadio(i, &r)) {
            radios.push_back(
                {r.szName, r.szDisplay, r.dwType, r.dwPower != 0, r.bAdapter != FALSE});
        }
    }
    return radios;
}

// Faults are values "Operation|target" or "Operation|target|once" holding the error.
std::vector<std::wstring> DeviceFaults()
{
    std::vector<std::wstring> faults;
    HKEY hFaults;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, DeviceHostKey(L"Settings\\Faults").c_str(), 0, KEY_READ,
                      &hFaults) != ERROR_SUCCESS) {
        return faults;
    }
    for (DWORD i = 0;; i++) {
        WCHAR name[400];
        DWORD cch = 400, type = 0, value = 0, cb = sizeof(value);
        if (RegEnumValueW(hFaults, i, name, &cch, NULL, &type, (LPBYTE)&value, &cb) !=
            ERROR_SUCCESS) {
            break;
        }
        faults.push_back(std::wstring(name) + L" = error " + std::to_wstring(value));
    }
    RegCloseKey(hFaults);
    return faults;
}
