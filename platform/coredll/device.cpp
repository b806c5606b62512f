// device.cpp - the simulated handheld as a named, persistent device: which
// one this process is on, where it lives on the host, and its factory image.
#include "sim.h"

#include <mutex>
#include <shlwapi.h>
#include <stdio.h>

static std::mutex g_deviceLock;
static std::wstring g_device;      // name of the current device
static HKEY g_hDeviceHklm = NULL;  // its HKLM root, opened once

struct FactoryValue {
    const wchar_t* key;   // below the device's HKLM
    const wchar_t* name;  // NULL: the key alone
    DWORD type;           // REG_DWORD or REG_SZ
    DWORD dword;
    const wchar_t* text;
};

// The factory image: a handheld with the Wi-Fi option fitted, OEM Wi-Fi
// switch on, English (US) locale, the PC card inserted and its driver
// running with the radio off, no regulatory domain stored, no status file.
static const FactoryValue g_aFactoryRegistry[] = {
    {L"SOFTWARE\\OEMGeneric", L"WIFI", REG_DWORD, 1, NULL},
    {L"Nls", L"SystemLCID", REG_DWORD, 0x0409, NULL},
    {L"Comm\\TRXD385L1", L"DisplayName", REG_SZ, 0, L"802.11g PC Card"},
    {L"Comm\\TRXD385L1\\Parms", L"BusType", REG_DWORD, 8, NULL},
    {L"System\\State\\Hardware", L"WiFi", REG_DWORD, 0x100, NULL},
    {L"Drivers\\PCMCIA\\VELMONT-TRX3850_802.11g_PC_Card-A103", L"Prefix", REG_SZ, 0, L"NDL"},
    {L"Drivers\\PCMCIA\\VELMONT-TRX3850_802.11g_PC_Card-A103", L"Index", REG_DWORD, 1, NULL},
    {L"Drivers\\PCMCIA\\VELMONT-TRX3850_802.11g_PC_Card-A103", L"Dll", REG_SZ, 0, L"trxd385.dll"},
};

// Simulation settings of a new device (see docs/handheld.md).
static const FactoryValue g_aFactorySettings[] = {
    {L"", L"CardInserted", REG_DWORD, 1, NULL},
    {L"", L"DriverActive", REG_DWORD, 1, NULL},
    {L"", L"StateStuck", REG_DWORD, 0, NULL},
    {L"", L"FailActivation", REG_DWORD, 0, NULL},
    {L"", L"RefuseColdReset", REG_DWORD, 0, NULL},
    {L"", L"RefuseClock", REG_DWORD, 0, NULL},
    {L"", L"PowerOnMs", REG_DWORD, 2500, NULL},
    {L"", L"PowerOffMs", REG_DWORD, 1500, NULL},
    {L"Radios\\0", L"Name", REG_SZ, 0, L"CELL1"},
    {L"Radios\\0", L"Display", REG_SZ, 0, L"Phone"},
    {L"Radios\\0", L"Type", REG_DWORD, RADIODEVICES_PHONE, NULL},
    {L"Radios\\0", L"Power", REG_DWORD, 1, NULL},
    {L"Radios\\1", L"Name", REG_SZ, 0, L"TRXD385L1"},
    {L"Radios\\1", L"Display", REG_SZ, 0, L"Wi-Fi"},
    {L"Radios\\1", L"Type", REG_DWORD, RADIODEVICES_MANAGED, NULL},
    {L"Radios\\1", L"Power", REG_DWORD, 0, NULL},
    {L"Radios\\1", L"Adapter", REG_DWORD, 1, NULL},
    {L"Radios\\2", L"Name", REG_SZ, 0, L"BTH1"},
    {L"Radios\\2", L"Display", REG_SZ, 0, L"Bluetooth"},
    {L"Radios\\2", L"Type", REG_DWORD, RADIODEVICES_BLUETOOTH, NULL},
    {L"Radios\\2", L"Power", REG_DWORD, 0, NULL},
};

bool SameName(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) ==
           CSTR_EQUAL;
}

static bool ValidDeviceName(const wchar_t* p)
{
    size_t n = 0;
    for (; p[n]; n++) {
        wchar_t c = p[n];
        if (!(iswalnum(c) || c == L'-' || c == L'_' || c == L'.') || n >= SIM_MAX_DEVICE_NAME) {
            return false;
        }
    }
    return n > 0 && p[0] != L'.';
}

static void WriteValues(HKEY hRoot, const FactoryValue* aValues, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        HKEY hKey;
        if (RegCreateKeyExW(hRoot, aValues[i].key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey, NULL) !=
            ERROR_SUCCESS) {
            continue;
        }
        if (aValues[i].name && aValues[i].type == REG_DWORD) {
            RegSetValueExW(hKey, aValues[i].name, 0, REG_DWORD, (const BYTE*)&aValues[i].dword,
                           sizeof(DWORD));
        } else if (aValues[i].name) {
            RegSetValueExW(hKey, aValues[i].name, 0, REG_SZ, (const BYTE*)aValues[i].text,
                           (DWORD)((wcslen(aValues[i].text) + 1) * sizeof(wchar_t)));
        }
        RegCloseKey(hKey);
    }
}

static void MakeFolders(const std::wstring& folder)
{
    CreateDirectoryW(L"C:\\Handheld", NULL);
    CreateDirectoryW(folder.c_str(), NULL);
    CreateDirectoryW((folder + L"\\Store").c_str(), NULL);
    CreateDirectoryW((folder + L"\\Store\\Application Data").c_str(), NULL);
    CreateDirectoryW((folder + L"\\Store\\Windows").c_str(), NULL);
}

static void RemoveFolderTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring path = folder + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveFolderTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    RemoveDirectoryW(folder.c_str());
}

// Writes the factory image of device name over whatever it held.
static void WriteFactoryImage(const std::wstring& name)
{
    std::wstring keyPath = std::wstring(SIM_DEVICES_KEY) + L"\\" + name;
    SHDeleteKeyW(HKEY_CURRENT_USER, (keyPath + L"\\HKLM").c_str());
    SHDeleteKeyW(HKEY_CURRENT_USER, (keyPath + L"\\Settings").c_str());
    HKEY hDevice;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &hDevice, NULL) != ERROR_SUCCESS) {
        return;
    }
    HKEY hHklm, hSettings;
    if (RegCreateKeyExW(hDevice, L"HKLM", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hHklm, NULL) ==
        ERROR_SUCCESS) {
        WriteValues(hHklm, g_aFactoryRegistry,
                    sizeof(g_aFactoryRegistry) / sizeof(g_aFactoryRegistry[0]));
        RegCloseKey(hHklm);
    }
    if (RegCreateKeyExW(hDevice, L"Settings", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hSettings, NULL) ==
        ERROR_SUCCESS) {
        WriteValues(hSettings, g_aFactorySettings,
                    sizeof(g_aFactorySettings) / sizeof(g_aFactorySettings[0]));
        RegCloseKey(hSettings);
    }
    std::wstring folder = L"C:\\Handheld\\" + name;
    RemoveFolderTree(folder + L"\\Store");
    DeleteFileW((folder + L"\\journal.log").c_str());
    DeleteFileW((folder + L"\\debug.log").c_str());
    MakeFolders(folder);
    DWORD made = 1;
    RegSetValueExW(hDevice, L"Made", 0, REG_DWORD, (const BYTE*)&made, sizeof(made));
    RegFlushKey(hDevice);
    RegCloseKey(hDevice);
}

// Opens (making it first if needed) the device and caches its HKLM root.
static bool OpenDeviceLocked(const std::wstring& name)
{
    std::wstring keyPath = std::wstring(SIM_DEVICES_KEY) + L"\\" + name;
    DWORD made = 0, cb = sizeof(made);
    if (RegGetValueW(HKEY_CURRENT_USER, keyPath.c_str(), L"Made", RRF_RT_REG_DWORD, NULL, &made,
                     &cb) != ERROR_SUCCESS ||
        made != 1) {
        WriteFactoryImage(name);
    }
    HKEY hHklm;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (keyPath + L"\\HKLM").c_str(), 0, NULL, 0,
                        KEY_ALL_ACCESS, NULL, &hHklm, NULL) != ERROR_SUCCESS) {
        return false;
    }
    MakeFolders(L"C:\\Handheld\\" + name);
    if (g_hDeviceHklm) {
        RegCloseKey(g_hDeviceHklm);
    }
    g_hDeviceHklm = hHklm;
    g_device = name;
    return true;
}

void EnsureDevice()
{
    std::lock_guard<std::mutex> lock(g_deviceLock);
    if (!g_device.empty()) {
        return;
    }
    wchar_t szName[SIM_MAX_DEVICE_NAME + 1] = L"";
    DWORD n = GetEnvironmentVariableW(L"HANDHELD_DEVICE", szName, SIM_MAX_DEVICE_NAME + 1);
    // "@process": a device of this process's own (test programs run side by side).
    // It is new with the process: whatever an earlier process of the same id
    // left on a device of that name is gone.
    if (n > 0 && wcscmp(szName, L"@process") == 0) {
        swprintf(szName, SIM_MAX_DEVICE_NAME + 1, L"p%lu", GetCurrentProcessId());
        SHDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(SIM_DEVICES_KEY) + L"\\" + szName).c_str());
        WriteFactoryImage(szName);
    }
    if (n == 0 || n > SIM_MAX_DEVICE_NAME || !ValidDeviceName(szName)) {
        wcscpy(szName, L"default");
    }
    OpenDeviceLocked(szName);
}

std::wstring DeviceName()
{
    EnsureDevice();
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return g_device;
}

std::wstring DeviceKeyPath()
{
    return std::wstring(SIM_DEVICES_KEY) + L"\\" + DeviceName();
}
std::wstring DeviceFolder()
{
    return L"C:\\Handheld\\" + DeviceName();
}

HKEY DeviceRegistryRoot()
{
    EnsureDevice();
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return g_hDeviceHklm;
}

// Another process restored the factory image: the cached root names a
// deleted key. Opens the device's root again.
HKEY DeviceReopenRoot()
{
    std::wstring name = DeviceName();
    std::lock_guard<std::mutex> lock(g_deviceLock);
    OpenDeviceLocked(name);
    return g_hDeviceHklm;
}

HKEY OpenSettingsKey(BOOL create)
{
    HKEY hKey = NULL;
    std::wstring path = DeviceKeyPath() + L"\\Settings";
    LONG r = create ? RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS,
                                      NULL, &hKey, NULL)
                    : RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &hKey);
    return r == ERROR_SUCCESS ? hKey : NULL;
}

extern "C" {

SIM_API BOOL WINAPI SimSelectDevice(LPCWSTR pszName)
{
    if (pszName == NULL || !ValidDeviceName(pszName)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return OpenDeviceLocked(pszName) ? TRUE : FALSE;
}

SIM_API LPCWSTR WINAPI SimDeviceName(void)
{
    EnsureDevice();
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return g_device.c_str();
}

SIM_API BOOL WINAPI SimResetDevice(void)
{
    std::wstring name = DeviceName();
    std::lock_guard<std::mutex> lock(g_deviceLock);
    WriteFactoryImage(name);
    return OpenDeviceLocked(name) ? TRUE : FALSE;
}

SIM_API BOOL WINAPI SimDeleteDevice(LPCWSTR pszName)
{
    if (pszName == NULL || !ValidDeviceName(pszName)) {
        return FALSE;
    }
    std::wstring keyPath = std::wstring(SIM_DEVICES_KEY) + L"\\" + pszName;
    SHDeleteKeyW(HKEY_CURRENT_USER, keyPath.c_str());
    RemoveFolderTree(std::wstring(L"C:\\Handheld\\") + pszName);
    return TRUE;
}

SIM_API DWORD WINAPI SimDeviceFolder(LPWSTR pszBuffer, DWORD cch)
{
    std::wstring folder = DeviceFolder();
    if (pszBuffer && cch > folder.size()) {
        wcscpy(pszBuffer, folder.c_str());
    }
    return (DWORD)folder.size();
}

SIM_API DWORD WINAPI SimGetSetting(LPCWSTR pszName, DWORD dwDefault)
{
    DWORD value = dwDefault, cb = sizeof(value);
    std::wstring path = DeviceKeyPath() + L"\\Settings";
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), pszName, RRF_RT_REG_DWORD, NULL, &value,
                     &cb) != ERROR_SUCCESS) {
        return dwDefault;
    }
    return value;
}

SIM_API BOOL WINAPI SimSetSetting(LPCWSTR pszName, DWORD dwValue)
{
    HKEY hKey = OpenSettingsKey(TRUE);
    if (!hKey) {
        return FALSE;
    }
    LONG r = RegSetValueExW(hKey, pszName, 0, REG_DWORD, (const BYTE*)&dwValue, sizeof(dwValue));
    RegCloseKey(hKey);
    return r == ERROR_SUCCESS;
}

SIM_API BOOL WINAPI SimRegGetDword(LPCWSTR pszKey, LPCWSTR pszValue, DWORD* pdwValue)
{
    DWORD value = 0, cb = sizeof(value), type = 0;
    HKEY hKey;
    if (RegOpenKeyExW(DeviceRegistryRoot(), pszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    LONG r = RegQueryValueExW(hKey, pszValue, NULL, &type, (LPBYTE)&value, &cb);
    RegCloseKey(hKey);
    if (r != ERROR_SUCCESS || cb != sizeof(DWORD)) {
        return FALSE;
    }
    *pdwValue = value;
    return TRUE;
}

SIM_API BOOL WINAPI SimRegSetRaw(LPCWSTR pszKey, LPCWSTR pszValue, DWORD dwType, const void* pData,
                                 DWORD cbData)
{
    HKEY hKey;
    if (RegCreateKeyExW(DeviceRegistryRoot(), pszKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey,
                        NULL) != ERROR_SUCCESS) {
        return FALSE;
    }
    LONG r = RegSetValueExW(hKey, pszValue, 0, dwType, (const BYTE*)pData, cbData);
    RegCloseKey(hKey);
    NotifyPoke();
    return r == ERROR_SUCCESS;
}

SIM_API BOOL WINAPI SimRegSetDword(LPCWSTR pszKey, LPCWSTR pszValue, DWORD dwValue)
{
    return SimRegSetRaw(pszKey, pszValue, REG_DWORD, &dwValue, sizeof(dwValue));
}

SIM_API BOOL WINAPI SimRegDeleteValue(LPCWSTR pszKey, LPCWSTR pszValue)
{
    HKEY hKey;
    if (RegOpenKeyExW(DeviceRegistryRoot(), pszKey, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    LONG r = RegDeleteValueW(hKey, pszValue);
    RegCloseKey(hKey);
    NotifyPoke();
    return r == ERROR_SUCCESS;
}

SIM_API BOOL WINAPI SimRegDeleteKey(LPCWSTR pszKey)
{
    BOOL ok = SHDeleteKeyW(DeviceRegistryRoot(), pszKey) == ERROR_SUCCESS;
    NotifyPoke();
    return ok;
}

SIM_API BOOL WINAPI SimRegKeyExists(LPCWSTR pszKey)
{
    HKEY hKey;
    if (RegOpenKeyExW(DeviceRegistryRoot(), pszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    RegCloseKey(hKey);
    return TRUE;
}

}  // extern "C"
