// devmgr.cpp - the device manager, simulated: the PC card's driver with its
// stream device "NDL1:" (which CreateFileW opens here), and activation and
// deactivation of that driver.
//
// The driver's state is the device's (settings CardInserted, DriverActive,
// FailActivation, DriverActivations), so every process on the device sees
// one driver. Handles are this process's own: each is a real kernel object
// (an event), so CloseHandle on one never closes something unrelated, and
// each remembers the driver instance it belongs to. A handle of an instance
// that has been deactivated since is no longer good for anything.
#include "sim.h"

#include <handheld_devmgr.h>
#include <rendak_store.h>  // PCCARD_DRIVER_KEY: the card's driver, where the library looks for it

#include <map>
#include <mutex>

#define STREAM_DEVICE_NAME L"NDL1:"

static std::mutex g_devLock;
static std::map<HANDLE, DWORD> g_streams;  // open "NDL1:" handles and their driver instance
static std::map<HANDLE, DWORD> g_devices;  // device handles and their driver instance
static HANDLE g_bus = NULL;                // the PC-card bus, parent of the driver

// Instance 0 is the driver loaded at boot; each activation makes the next one.
static DWORD CurrentInstance()
{
    return SimGetSetting(SIM_SETTING_DRIVER_ACTIVATIONS, 0);
}

static bool DriverActive()
{
    return SimGetSetting(SIM_SETTING_DRIVER_ACTIVE, 1) != 0;
}

// The device handle of a driver instance in this process, made on first use.
static HANDLE DeviceHandleLocked(DWORD instance)
{
    for (const auto& d : g_devices) {
        if (d.second == instance) {
            return d.first;
        }
    }
    HANDLE h = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (h) {
        g_devices[h] = instance;
    }
    return h;
}

// "COM1:", "NDL1:": three letters, a digit and a colon name a stream device.
bool IsStreamDeviceName(const wchar_t* p)
{
    return iswalpha(p[0]) && iswalpha(p[1]) && iswalpha(p[2]) && iswdigit(p[3]) && p[4] == L':' &&
           p[5] == L'\0';
}

void DevmgrForgetHandle(HANDLE h)
{
    {
        std::lock_guard<std::mutex> lock(g_devLock);
        g_streams.erase(h);
        g_devices.erase(h);
    }
    NotifyForgetHandle(h);
}

HANDLE DevmgrOpenStream(LPCWSTR lpFileName)
{
    DWORD error = FaultFor(L"CreateFileW", lpFileName);
    if (error == 0 && !(SameName(lpFileName, STREAM_DEVICE_NAME) && AdapterPresent())) {
        error = ERROR_FILE_NOT_FOUND;
    }
    HANDLE h = INVALID_HANDLE_VALUE;
    if (error == 0) {
        h = CreateEventW(NULL, TRUE, FALSE, NULL);
        if (h == NULL) {
            h = INVALID_HANDLE_VALUE;
            error = GetLastError();
        } else {
            std::lock_guard<std::mutex> lock(g_devLock);
            g_streams[h] = CurrentInstance();
        }
    }
    return CreateFileEnded(lpFileName, h, error);
}

extern "C" {

// The record of a handle of "NDL1:". The record's size must be this build's
// sizeof (a pointer-size dependent layout), as the device checks it.
BOOL WINAPI CeGetDeviceInformationByFileHandle(HANDLE hFile, PDEVMGR_DEVICE_INFORMATION pdi)
{
    DWORD error = 0;
    HANDLE hDevice = NULL, hBus = NULL;
    if (pdi == NULL || pdi->dwSize != sizeof(DEVMGR_DEVICE_INFORMATION)) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        std::lock_guard<std::mutex> lock(g_devLock);
        auto it = g_streams.find(hFile);
        if (it == g_streams.end() || it->second != CurrentInstance() || !AdapterPresent()) {
            error = ERROR_INVALID_HANDLE;
        } else {
            hDevice = DeviceHandleLocked(it->second);
            if (g_bus == NULL) {
                g_bus = CreateEventW(NULL, TRUE, FALSE, NULL);
            }
            hBus = g_bus;
        }
    }
    if (error == 0) {
        error = FaultFor(L"GetDeviceInformationByFileHandle", STREAM_DEVICE_NAME);
    }
    if (error == 0) {
        DWORD cb = pdi->dwSize;
        ZeroMemory(pdi, cb);
        pdi->dwSize = cb;
        pdi->hDevice = hDevice;
        pdi->hParentDevice = hBus;
        wcscpy(pdi->szLegacyName, STREAM_DEVICE_NAME);
        wcscpy(pdi->szDeviceKey, PCCARD_DRIVER_KEY);
        wcscpy(pdi->szDeviceName, L"$device\\NDL1");
        wcscpy(pdi->szBusName, L"PCMCIA_0_1_0");
        Journal(SIM_J_DEVICE_INFO L"|%ls|ok", STREAM_DEVICE_NAME);
    } else {
        Journal(SIM_J_DEVICE_INFO L"|?|failed %lu", error);
    }
    SetLastError(error);
    return error == 0;
}

HANDLE WINAPI CeActivateDeviceEx(LPCWSTR lpszDevKey, LPCREGINI lpReg, DWORD cReg, LPVOID lpvParam)
{
    (void)lpvParam;
    std::wstring key = lpszDevKey ? lpszDevKey : L"";
    for (DWORD i = 0; lpReg && i < cReg; i++) {
        Journal(SIM_J_ACTIVATE_ENTRY L"|%ls|%lu|%lu", lpReg[i].lpszVal ? lpReg[i].lpszVal : L"",
                lpReg[i].dwType, lpReg[i].dwLen);
    }
    DWORD error = 0;
    HKEY hKey;
    if (lpszDevKey == NULL || (cReg > 0 && lpReg == NULL)) {
        error = ERROR_INVALID_PARAMETER;
    } else if (!SameName(key, PCCARD_DRIVER_KEY) ||
               RegOpenKeyExW(DeviceRegistryRoot(), key.c_str(), 0, KEY_READ, &hKey) !=
                   ERROR_SUCCESS) {
        error = ERROR_FILE_NOT_FOUND;  // the only driver this device knows
    } else {
        RegCloseKey(hKey);
        error = FaultFor(L"ActivateDeviceEx", key);
        if (error == 0 && SimGetSetting(SIM_SETTING_CARD_INSERTED, 1) == 0) {
            error = ERROR_DEV_NOT_EXIST;
        } else if (error == 0 && SimGetSetting(SIM_SETTING_FAIL_ACTIVATION, 0) != 0) {
            error = ERROR_GEN_FAILURE;
        } else if (error == 0 && DriverActive()) {
            error = ERROR_DEVICE_IN_USE;  // its stream device name is taken
        }
    }
    HANDLE h = NULL;
    if (error == 0) {
        DWORD instance = CurrentInstance() + 1;
        SetSetting(SIM_SETTING_DRIVER_ACTIVATIONS, instance);
        {
            std::lock_guard<std::mutex> lock(g_devLock);
            h = DeviceHandleLocked(instance);
        }
        Journal(SIM_J_ACTIVATE L"|%ls|ok", key.c_str());
        AdapterSetDriverActive(true);
    } else {
        Journal(SIM_J_ACTIVATE L"|%ls|failed %lu", key.c_str(), error);
    }
    SetLastError(error);
    return h;
}

BOOL WINAPI CeDeactivateDevice(HANDLE hDevice)
{
    DWORD error = 0;
    {
        std::lock_guard<std::mutex> lock(g_devLock);
        auto it = g_devices.find(hDevice);
        if (it == g_devices.end() || it->second != CurrentInstance() || !DriverActive()) {
            error = ERROR_INVALID_HANDLE;
        }
    }
    if (error == 0) {
        error = FaultFor(L"DeactivateDevice", STREAM_DEVICE_NAME);
    }
    if (error == 0) {
        Journal(SIM_J_DEACTIVATE L"|%ls|ok", STREAM_DEVICE_NAME);
        AdapterSetDriverActive(false);
    } else {
        Journal(SIM_J_DEACTIVATE L"|%p|failed %lu", (void*)hDevice, error);
    }
    SetLastError(error);
    return error == 0;
}

// The card is part of the device's world: where it is, is committed at once.
SIM_API BOOL WINAPI SimEjectCard(void)
{
    SetSetting(SIM_SETTING_CARD_INSERTED, 0);
    Journal(SIM_J_DEVICE L"|card|ejected");
    AdapterSetDriverActive(false);
    return DeviceCommit();
}

SIM_API BOOL WINAPI SimInsertCard(BOOL bLoadDriver)
{
    SetSetting(SIM_SETTING_CARD_INSERTED, 1);
    Journal(SIM_J_DEVICE L"|card|inserted");
    if (bLoadDriver) {
        SetSetting(SIM_SETTING_DRIVER_ACTIVATIONS, CurrentInstance() + 1);
        AdapterSetDriverActive(true);
    } else {
        SetSetting(SIM_SETTING_DRIVER_ACTIVE, 0);
        AdapterPublishState();
    }
    return DeviceCommit();
}

SIM_API DWORD WINAPI SimDriverActivations(void)
{
    return CurrentInstance();
}

}  // extern "C"
