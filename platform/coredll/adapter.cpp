// adapter.cpp - the simulated Wi-Fi adapter. Its power changes take time on
// the device clock, and the system state value "WiFi" follows them:
//   0x100  the adapter's driver is loaded (card inserted, driver active)
//   0x002  a power change is under way (or stuck there, by setting StateStuck)
//   0x001  the radio is powered
// With no driver loaded the value is 0. The bits are described in
// docs/handheld.md.
#include "sim.h"

#include <atomic>

static std::atomic<LONG> g_generation{0};  // power changes started by this process

// The settings key of the radio that is the adapter (Radios\N with Adapter=1).
static std::wstring AdapterRadioKey()
{
    HKEY hSettings = OpenSettingsKey(FALSE);
    std::wstring found;
    if (!hSettings) {
        return found;
    }
    HKEY hRadios;
    if (RegOpenKeyExW(hSettings, L"Radios", 0, KEY_READ, &hRadios) == ERROR_SUCCESS) {
        wchar_t name[64];
        for (DWORD i = 0;; i++) {
            DWORD cch = 64;
            if (RegEnumKeyExW(hRadios, i, name, &cch, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
                break;
            }
            DWORD adapter = 0, cb = sizeof(adapter);
            if (RegGetValueW(hRadios, name, L"Adapter", RRF_RT_REG_DWORD, NULL, &adapter, &cb) ==
                    ERROR_SUCCESS &&
                adapter == 1) {
                found = std::wstring(L"Radios\\") + name;
                break;
            }
        }
        RegCloseKey(hRadios);
    }
    RegCloseKey(hSettings);
    return found;
}

static DWORD RadioPower()
{
    std::wstring key = AdapterRadioKey();
    if (key.empty()) {
        return 0;
    }
    return SimGetSetting((key + L"\\Power").c_str(), 0);
}

static void SetRadioPower(DWORD on)
{
    std::wstring key = AdapterRadioKey();
    HKEY hSettings = OpenSettingsKey(TRUE);
    if (key.empty() || !hSettings) {
        if (hSettings) {
            RegCloseKey(hSettings);
        }
        return;
    }
    RegSetKeyValueW(hSettings, key.c_str(), L"Power", REG_DWORD, &on, sizeof(on));
    RegCloseKey(hSettings);
}

bool AdapterPresent()
{
    return SimGetSetting(L"CardInserted", 1) != 0 && SimGetSetting(L"DriverActive", 1) != 0;
}

DWORD AdapterStateValue()
{
    if (!AdapterPresent()) {
        return 0;
    }
    DWORD value = WIFI_STATE_ADAPTER;
    if (RadioPower()) {
        value |= WIFI_STATE_POWER;
    }
    if (SimGetSetting(L"Switching", 0) || SimGetSetting(L"StateStuck", 0)) {
        value |= WIFI_STATE_SWITCHING;
    }
    return value;
}

void AdapterPublishState()
{
    DWORD value = AdapterStateValue();
    HKEY hKey;
    if (RegCreateKeyExW(DeviceRegistryRoot(), L"System\\State\\Hardware", 0, NULL, 0,
                        KEY_ALL_ACCESS, NULL, &hKey, NULL) == ERROR_SUCCESS) {
        RegSetValueExW(hKey, L"WiFi", 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
        RegCloseKey(hKey);
    }
    Journal(L"Device|state|0x%lX", value);
    NotifyPoke();
}

void AdapterSetDriverActive(bool active)
{
    SimSetSetting(L"DriverActive", active ? 1 : 0);
    if (!active) {
        SetRadioPower(0);
        SimSetSetting(L"Switching", 0);
    }
    AdapterPublishState();
}


// The power change has settled, unless a newer one has started since.
static void WINAPI PowerSettled(void* pContext)
{
    LONG generation = (LONG)(LONG_PTR)pContext;
    if (generation != g_generation.load()) {
        return;
    }
    SimSetSetting(L"Switching", 0);
    AdapterPublishState();
}

void AdapterSetPower(bool on)
{
    if (!AdapterPresent()) {
        return;
    }
    SetRadioPower(on ? 1 : 0);
    SimSetSetting(L"Switching", 1);
    AdapterPublishState();
    DWORD delay = SimGetSetting(on ? L"PowerOnMs" : L"PowerOffMs", on ? 2500 : 1500);
    LONG generation = ++g_generation;
    SimScheduleAt(SimNow() + delay, PowerSettled, (void*)(LONG_PTR)generation);
}
