// sim.h - what the pieces of the simulated core library share.
#pragma once

#define SIM_API __declspec(dllexport)
#define WINCE_HOST_CRT
#include <handheld.h>
#include <wince.h>

#include <string>

// device.cpp: the current device, its host keys and folders.
#define SIM_DEVICES_KEY L"Software\\Handheld\\Devices"
std::wstring DeviceName();
std::wstring DeviceKeyPath();       // HKCU path of the device
std::wstring DeviceFolder();        // C:\Handheld\NAME
HKEY DeviceRegistryRoot();          // the device's HKLM (host key, cached; do not close)
HKEY DeviceReopenRoot();            // after ERROR_KEY_DELETED: another process reset the device
HKEY OpenSettingsKey(BOOL create);  // caller closes
void EnsureDevice();

// files.cpp: the host path of a path the device names (an absolute device
// path lives in the store); false for one that would climb out with "\..".
bool DeviceHostPath(const wchar_t* pszPath, std::wstring* pHostPath);

// journal.cpp
void Journal(const wchar_t* pszFormat, ...);

// faults.cpp: the error to fail with, or 0 to go on.
DWORD FaultFor(const wchar_t* pszOperation, const std::wstring& target);

// debug.cpp
void DebugLine(const wchar_t* pszText);

// clock.cpp
bool ClockIsVirtual();

// notify.cpp: a watched value may have changed in this process (poke), or
// every change so far must be delivered before going on (deliver now).
void NotifyPoke();
void NotifyDeliverNow();

// Case-insensitive comparison of names, as the device's registry does.
bool SameName(const std::wstring& a, const std::wstring& b);

// devmgr.cpp: a handle is being closed; forget what it stood for.
void DevmgrForgetHandle(HANDLE h);

// adapter.cpp: the simulated Wi-Fi adapter on its PC card. Its state is kept
// in the device settings (CardInserted, DriverActive, the Wi-Fi radio's Power,
// Switching, StateStuck) and shown in the system state value "WiFi".
#define WIFI_STATE_POWER 0x001             // the radio is powered
#define WIFI_STATE_SWITCHING 0x002         // a power change is under way
#define WIFI_STATE_ADAPTER 0x100           // the adapter's driver is loaded
bool AdapterPresent();                     // card inserted and driver active
void AdapterSetDriverActive(bool active);  // the driver loads or unloads
void AdapterSetPower(bool on);             // starts a power change on the device clock
DWORD AdapterStateValue();                 // what "WiFi" should hold now
void AdapterPublishState();                // writes it, for every process to see
