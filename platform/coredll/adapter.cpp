// adapter.cpp - the simulated radios and the Wi-Fi adapter. The radio list is
// kept in the device settings (Radios\N); the radio marked Adapter=1 is the
// Wi-Fi adapter on the PC card. Its power changes take time on the device
// clock, and the system state value "WiFi" follows them:
//   0x100  the adapter's driver is loaded (card inserted, driver active)
//   0x002  a power change is under way (or stuck there, by setting StateStuck)
//   0x001  the radio is powered
// With no driver loaded the value is 0. The bits are described in
// docs/radios.md.
#include "sim.h"

#include <handheld_radio.h>
#include <rendak_store.h>

#include <algorithm>
#include <atomic>
#include <shlwapi.h>
#include <vector>

static std::atomic<bool> g_settleWatcher{false};  // this process watches for changes falling due
static std::atomic<DWORD> g_listsHandedOut{0};    // device lists handed out in this process
static std::atomic<DWORD> g_listsOutstanding{0};  // of those, not yet freed
static std::atomic<DWORD> g_badFrees{0};          // frees of unknown or already-freed lists

struct RadioEntry {
    std::wstring key;  // "Radios\N" below the settings key
    SIMRADIO radio;
};

static void ReadText(HKEY hRadios, const wchar_t* key, const wchar_t* name, WCHAR* out)
{
    DWORD cb = SIM_RADIO_NAME_CCH * sizeof(WCHAR);
    out[0] = L'\0';
    if (RegGetValueW(hRadios, key, name, RRF_RT_REG_SZ, NULL, out, &cb) != ERROR_SUCCESS) {
        out[0] = L'\0';
    }
}

static DWORD ReadNumber(HKEY hRadios, const wchar_t* key, const wchar_t* name)
{
    DWORD value = 0, cb = sizeof(value);
    if (RegGetValueW(hRadios, key, name, RRF_RT_REG_DWORD, NULL, &value, &cb) != ERROR_SUCCESS) {
        return 0;
    }
    return value;
}

// The radio list in its order (Radios\0, \1, ... by number, not by name).
static std::vector<RadioEntry> ReadRadios()
{
    std::vector<std::pair<unsigned long, std::wstring>> keys;
    std::vector<RadioEntry> radios;
    HKEY hSettings = OpenSettingsKey(FALSE);
    if (!hSettings) {
        return radios;
    }
    HKEY hRadios;
    if (RegOpenKeyExW(hSettings, L"Radios", 0, KEY_READ, &hRadios) == ERROR_SUCCESS) {
        wchar_t name[64];
        for (DWORD i = 0;; i++) {
            DWORD cch = 64;
            if (RegEnumKeyExW(hRadios, i, name, &cch, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
                break;
            }
            keys.push_back({wcstoul(name, NULL, 10), name});
        }
        std::sort(keys.begin(), keys.end());
        for (const auto& k : keys) {
            RadioEntry e;
            e.key = L"Radios\\" + k.second;
            ReadText(hRadios, k.second.c_str(), L"Name", e.radio.szName);
            ReadText(hRadios, k.second.c_str(), L"Display", e.radio.szDisplay);
            e.radio.dwType = ReadNumber(hRadios, k.second.c_str(), L"Type");
            e.radio.dwPower = ReadNumber(hRadios, k.second.c_str(), L"Power") ? 1 : 0;
            e.radio.bAdapter = ReadNumber(hRadios, k.second.c_str(), L"Adapter") == 1;
            e.radio.bListed = FALSE;
            radios.push_back(e);
        }
        RegCloseKey(hRadios);
    }
    RegCloseKey(hSettings);
    bool present = AdapterPresent();
    for (RadioEntry& e : radios) {
        e.radio.bListed = !e.radio.bAdapter || present;
    }
    return radios;
}

// The settings key of the radio that is the adapter (Radios\N with Adapter=1).
static std::wstring AdapterRadioKey()
{
    for (const RadioEntry& e : ReadRadios()) {
        if (e.radio.bAdapter) {
            return e.key;
        }
    }
    return std::wstring();
}

static DWORD RadioPower()
{
    for (const RadioEntry& e : ReadRadios()) {
        if (e.radio.bAdapter) {
            return e.radio.dwPower;
        }
    }
    return 0;
}

static void SetPowerAt(const std::wstring& key, DWORD on)
{
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

static void SetRadioPower(DWORD on)
{
    SetPowerAt(AdapterRadioKey(), on);
}

bool AdapterPresent()
{
    return SimGetSetting(SIM_SETTING_CARD_INSERTED, 1) != 0 &&
           SimGetSetting(SIM_SETTING_DRIVER_ACTIVE, 1) != 0;
}

DWORD AdapterStateValue()
{
    if (!AdapterPresent()) {
        return 0;
    }
    DWORD value = SIM_STATE_ADAPTER;
    if (RadioPower()) {
        value |= SIM_STATE_POWERED;
    }
    if (SimGetSetting(SIM_SETTING_SWITCHING, 0) || SimGetSetting(SIM_SETTING_STATE_STUCK, 0)) {
        value |= SIM_STATE_SWITCHING;
    }
    return value;
}

void AdapterPublishState()
{
    DWORD value = AdapterStateValue();
    HKEY hKey;
    if (RegCreateKeyExW(DeviceRegistryRoot(), REG_STATE_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                        &hKey, NULL) == ERROR_SUCCESS) {
        RegSetValueExW(hKey, REG_STATE_VALUE, 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
        RegCloseKey(hKey);
    }
    Journal(SIM_J_DEVICE L"|state|0x%lX", value);
    NotifyPoke(REG_STATE_KEY);
}

void AdapterSetDriverActive(bool active)
{
    SetSetting(SIM_SETTING_DRIVER_ACTIVE, active ? 1 : 0);
    if (!active) {
        SetRadioPower(0);
        SetSetting(SIM_SETTING_SWITCHING, 0);
    }
    AdapterPublishState();
}

// Every radio off, no change under way, the driver loaded when the card is in.
void AdapterBoot()
{
    for (const RadioEntry& e : ReadRadios()) {
        SetPowerAt(e.key, 0);
    }
    SetSetting(SIM_SETTING_SWITCHING, 0);
    SetSetting(SIM_SETTING_DRIVER_ACTIVE, SimGetSetting(SIM_SETTING_CARD_INSERTED, 1) != 0 ? 1 : 0);
    AdapterPublishState();
}

// --- Power changes, which belong to the device ---------------------------------------
// A change under way is kept in the device settings: Switching, and its due
// time SwitchDue on the clock SwitchClock names (host milliseconds under the
// real and scaled clocks, the device's virtual time under the virtual one).
// Any process of the device that sees it fall due settles it, under the
// device's lock, so it is settled once, whichever process asked for it and
// whether that process still runs.
#define SWITCH_CLOCK_HOST 0
#define SWITCH_CLOCK_VIRTUAL 1

static ULONGLONG ReadSwitchDue()
{
    ULONGLONG due = 0;
    DWORD cb = sizeof(due);
    RegGetValueW(HKEY_CURRENT_USER, (DeviceKeyPath() + L"\\Settings").c_str(), L"SwitchDue",
                 RRF_RT_REG_QWORD, NULL, &due, &cb);
    return due;
}

static void WriteSwitchDue(ULONGLONG due, DWORD clock)
{
    HKEY hSettings = OpenSettingsKey(TRUE);
    if (hSettings) {
        RegSetValueExW(hSettings, L"SwitchDue", 0, REG_QWORD, (const BYTE*)&due, sizeof(due));
        RegSetValueExW(hSettings, SIM_SETTING_SWITCH_CLOCK, 0, REG_DWORD, (const BYTE*)&clock,
                       sizeof(clock));
        RegCloseKey(hSettings);
    }
}

bool AdapterNextDue(ULONGLONG* pDue, bool* pVirtual)
{
    if (SimGetSetting(SIM_SETTING_SWITCHING, 0) == 0) {
        return false;
    }
    *pDue = ReadSwitchDue();
    *pVirtual = SimGetSetting(SIM_SETTING_SWITCH_CLOCK, SWITCH_CLOCK_HOST) == SWITCH_CLOCK_VIRTUAL;
    return true;
}

bool AdapterSettleDue()
{
    if (SimGetSetting(SIM_SETTING_SWITCHING, 0) == 0) {
        return false;
    }
    DeviceLock lock(DeviceName());
    ULONGLONG due = 0;
    bool onVirtualClock = false;
    if (!AdapterNextDue(&due, &onVirtualClock) || onVirtualClock != ClockIsVirtual()) {
        return false;  // settled meanwhile, or due on a clock this process does not keep
    }
    ULONGLONG now = onVirtualClock ? SimNow() : GetTickCount64();
    if (now < due) {
        return false;
    }
    SetSetting(SIM_SETTING_SWITCHING, 0);
    AdapterPublishState();
    return true;
}

// Under the real and scaled clocks: settles each change when it falls due,
// woken by every change of the device's settings (a change started by any
// process) and by the due time itself.
static DWORD WINAPI SettleWatcher(LPVOID)
{
    HANDLE hChanged = CreateEventW(NULL, FALSE, FALSE, NULL);
    for (;;) {
        HKEY hSettings = OpenSettingsKey(TRUE);
        if (hSettings) {
            RegNotifyChangeKeyValue(hSettings, FALSE, REG_NOTIFY_CHANGE_LAST_SET, hChanged, TRUE);
        }
        AdapterSettleDue();
        ULONGLONG due = 0;
        bool onVirtualClock = false;
        DWORD wait = INFINITE;
        if (AdapterNextDue(&due, &onVirtualClock) && !onVirtualClock) {
            ULONGLONG now = GetTickCount64();
            wait = due > now ? (DWORD)std::min<ULONGLONG>(due - now, 60000) : 0;
        }
        WaitForSingleObject(hChanged, hSettings ? wait : 100);
        if (hSettings) {
            RegCloseKey(hSettings);
        }
    }
}

void AdapterOpened()
{
    AdapterSettleDue();  // what fell due while no process of the device ran
    bool expected = false;
    if (!ClockIsVirtual() && g_settleWatcher.compare_exchange_strong(expected, true)) {
        HANDLE h = CreateThread(NULL, 0, SettleWatcher, NULL, 0, NULL);
        if (h) {
            CloseHandle(h);
        }
    }
}

// The radio's power is set at once; the state value shows "switching" until
// PowerOnMs / PowerOffMs of device time have passed (0: no switching at all).
void AdapterSetPower(bool on)
{
    if (!AdapterPresent()) {
        return;
    }
    // A radio already settled at the power asked for does not change: no
    // state change reaches the notification, which would otherwise switch it
    // off again each time it reports "off".
    if (RadioPower() == (on ? 1u : 0u) && SimGetSetting(SIM_SETTING_SWITCHING, 0) == 0) {
        Journal(SIM_J_DEVICE L"|power|%ls|unchanged", on ? L"on" : L"off");
        return;
    }
    SetRadioPower(on ? 1 : 0);
    DWORD delay = SimGetSetting(on ? SIM_SETTING_POWER_ON_MS : SIM_SETTING_POWER_OFF_MS,
                                on ? SIM_POWER_ON_MS : SIM_POWER_OFF_MS);
    if (delay) {
        bool onVirtualClock = ClockIsVirtual();
        WriteSwitchDue(onVirtualClock ? SimNow() + delay : GetTickCount64() + delay / ClockScale(),
                       onVirtualClock ? SWITCH_CLOCK_VIRTUAL : SWITCH_CLOCK_HOST);
    }
    SetSetting(SIM_SETTING_SWITCHING, delay ? 1 : 0);
    AdapterPublishState();
}

static void WriteRadio(HKEY hRadios, DWORD index, const SIMRADIO& r)
{
    wchar_t key[16];
    swprintf(key, 16, L"%lu", (unsigned long)index);
    DWORD adapter = r.bAdapter ? 1 : 0, power = r.dwPower ? 1 : 0;
    RegSetKeyValueW(hRadios, key, L"Name", REG_SZ, r.szName,
                    (DWORD)((wcslen(r.szName) + 1) * sizeof(WCHAR)));
    RegSetKeyValueW(hRadios, key, L"Display", REG_SZ, r.szDisplay,
                    (DWORD)((wcslen(r.szDisplay) + 1) * sizeof(WCHAR)));
    RegSetKeyValueW(hRadios, key, L"Type", REG_DWORD, &r.dwType, sizeof(DWORD));
    RegSetKeyValueW(hRadios, key, L"Power", REG_DWORD, &power, sizeof(DWORD));
    if (adapter) {
        RegSetKeyValueW(hRadios, key, L"Adapter", REG_DWORD, &adapter, sizeof(DWORD));
    }
}

static SIMRADIO MakeRadio(const wchar_t* name, const wchar_t* display, DWORD type, DWORD power,
                          BOOL adapter)
{
    SIMRADIO r = {};
    wcsncpy(r.szName, name, SIM_RADIO_NAME_CCH - 1);
    wcsncpy(r.szDisplay, display, SIM_RADIO_NAME_CCH - 1);
    r.dwType = type;
    r.dwPower = power;
    r.bAdapter = adapter;
    return r;
}

// The radios of a factory device: the phone (on), the Wi-Fi adapter (off)
// and Bluetooth (off).
static const SIMRADIO g_factoryRadios[] = {
    {L"CELL1", L"Phone", RADIODEVICES_PHONE, 1, FALSE, FALSE},
    {L"TRXD385L1", L"Wi-Fi", RADIODEVICES_MANAGED, 0, TRUE, FALSE},
    {L"BTH1", L"Bluetooth", RADIODEVICES_BLUETOOTH, 0, FALSE, FALSE},
};

bool WriteRadioList(HKEY hSettings, const SIMRADIO* aRadios, DWORD dwCount)
{
    SHDeleteKeyW(hSettings, L"Radios");
    HKEY hRadios;
    if (RegCreateKeyExW(hSettings, L"Radios", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hRadios, NULL) !=
        ERROR_SUCCESS) {
        return false;
    }
    for (DWORD i = 0; i < dwCount; i++) {
        WriteRadio(hRadios, i, aRadios[i]);
    }
    RegCloseKey(hRadios);
    return true;
}

void WriteFactoryRadios(HKEY hSettings)
{
    WriteRadioList(hSettings, g_factoryRadios, sizeof(g_factoryRadios) / sizeof(*g_factoryRadios));
}

extern "C" {

SIM_API BOOL WINAPI SimSetRadios(const SIMRADIO* aRadios, DWORD dwCount)
{
    if ((dwCount && !aRadios) || dwCount > SIM_MAX_RADIOS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HKEY hSettings = OpenSettingsKey(TRUE);
    if (!hSettings) {
        return FALSE;
    }
    BOOL ok = WriteRadioList(hSettings, aRadios, dwCount);
    RegCloseKey(hSettings);
    AdapterPublishState();
    return ok && DeviceCommit();
}

SIM_API BOOL WINAPI SimSetupRadios(DWORD dwLayout)
{
    const SIMRADIO& phone = g_factoryRadios[0];
    const SIMRADIO& wifi = g_factoryRadios[1];
    const SIMRADIO& bth = g_factoryRadios[2];
    const SIMRADIO wlan2 = MakeRadio(L"WLAN2", L"Wi-Fi 2", RADIODEVICES_MANAGED, 0, FALSE);
    switch (dwLayout) {
    case SIM_RADIOS_FACTORY:
        return SimSetRadios(g_factoryRadios, sizeof(g_factoryRadios) / sizeof(*g_factoryRadios));
    case SIM_RADIOS_NONE:
        return SimSetRadios(NULL, 0);
    case SIM_RADIOS_NO_WIFI: {
        const SIMRADIO list[] = {phone, bth};
        return SimSetRadios(list, 2);
    }
    case SIM_RADIOS_TWO_WIFI: {
        const SIMRADIO list[] = {phone, wifi, bth, wlan2};
        return SimSetRadios(list, 4);
    }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

SIM_API DWORD WINAPI SimRadioCount(void)
{
    return (DWORD)ReadRadios().size();
}

SIM_API BOOL WINAPI SimGetRadio(DWORD dwIndex, SIMRADIO* pRadio)
{
    std::vector<RadioEntry> radios = ReadRadios();
    if (!pRadio || dwIndex >= radios.size()) {
        return FALSE;
    }
    *pRadio = radios[dwIndex].radio;
    return TRUE;
}

SIM_API BOOL WINAPI SimGetRadioPower(LPCWSTR pszName, DWORD* pdwPower)
{
    if (!pszName || !pdwPower) {
        return FALSE;
    }
    for (const RadioEntry& e : ReadRadios()) {
        if (SameName(e.radio.szName, pszName)) {
            *pdwPower = e.radio.dwPower;
            return TRUE;
        }
    }
    return FALSE;
}

SIM_API DWORD WINAPI SimRadioListsHandedOut(void)
{
    return g_listsHandedOut.load();
}
SIM_API DWORD WINAPI SimRadioListsOutstanding(void)
{
    return g_listsOutstanding.load();
}
SIM_API DWORD WINAPI SimRadioBadFrees(void)
{
    return g_badFrees.load();
}

SIM_API void WINAPI SimRadioNoteList(DWORD dwEvent)
{
    switch (dwEvent) {
    case SIM_RADIO_LIST_ISSUED:
        ++g_listsHandedOut;
        ++g_listsOutstanding;
        break;
    case SIM_RADIO_LIST_FREED:
        --g_listsOutstanding;
        break;
    case SIM_RADIO_LIST_BAD_FREE:
        ++g_badFrees;
        break;
    }
}

// Switches the named radio: the adapter through its model, any other at once.
SIM_API HRESULT WINAPI SimRadioSwitch(LPCWSTR pszName, DWORD dwPower)
{
    if (!pszName) {
        return E_INVALIDARG;
    }
    for (const RadioEntry& e : ReadRadios()) {
        if (!SameName(e.radio.szName, pszName)) {
            continue;
        }
        if (!e.radio.bListed) {
            return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
        }
        if (e.radio.bAdapter) {
            AdapterSetPower(dwPower != 0);
        } else {
            SetPowerAt(e.key, dwPower ? 1 : 0);
        }
        return S_OK;
    }
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

SIM_API void WINAPI SimSetStateStuck(BOOL bStuck)
{
    SimSetSetting(SIM_SETTING_STATE_STUCK, bStuck ? 1 : 0);
    AdapterPublishState();
}

SIM_API DWORD WINAPI SimAdapterState(void)
{
    return AdapterStateValue();
}

}  // extern "C"
