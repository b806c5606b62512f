// radio.cpp - switching the Wi-Fi radio through the platform's wireless
// devices, and the three radio exports built on it.
#include "internal.h"

#define RADIO_STATE_ON 1
#define RADIO_STATE_OFF 0
#define TURN_ON_PAUSE_MS 4000
#define TURN_OFF_PAUSE_MS 3000
#define STATE_WAIT_MAX_READS 10

// Sets the managed (Wi-Fi) radios of the platform's list to state, saving
// as sa says: every one of them, or the first only.
static void SwitchManagedRadios(DWORD state, SAVEACTION sa, BOOL bFirstOnly)
{
    RDD* pDevices = NULL;
    GetWirelessDevices(&pDevices, 0);
    if (pDevices == NULL) {
        return;
    }
    for (RDD* pDev = pDevices; pDev != NULL; pDev = pDev->pNext) {
        if (pDev->DeviceType == RADIODEVICES_MANAGED) {
            ChangeRadioState(pDev, state, sa);
            if (bFirstOnly) {
                break;
            }
        }
    }
    FreeDeviceList(pDevices);
}

// Switches on every managed (Wi-Fi) radio in the platform's list.
void RadioOnWiFiDevices(void)
{
    SwitchManagedRadios(RADIO_STATE_ON, RADIODEVICES_PRE_SAVE, FALSE);
}

// Switches off the first managed (Wi-Fi) radio in the platform's list.
void RadioOffWiFiDevice(void)
{
    SwitchManagedRadios(RADIO_STATE_OFF, RADIODEVICES_POST_SAVE, TRUE);
}

// Reads the system Wi-Fi state until its switching bit is clear, sleeping
// pauseMs after each reading that still shows it, for at most maxReads
// readings. A failed reading repeats the previous one (0 at first).
void WaitWhileWiFiSwitching(HKEY hKey, DWORD pauseMs, int maxReads)
{
    DWORD state = 0;
    for (int reads = 0; reads < maxReads; reads++) {
        QueryDword(hKey, L"WiFi", &state);
        if ((state & WIFI_STATE_SWITCHING) == 0) {
            break;
        }
        Sleep(pauseMs);
    }
}

// The state wait of the two switching exports, with the wait cursor shown.
static void WaitForRadioToSettle(DWORD pauseMs)
{
    HKEY hKey;
    BOOL opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, KEY_ALL_ACCESS, &hKey) == ERROR_SUCCESS;
    HCURSOR hPrevious = ShowWaitCursor();
    if (opened) {
        WaitWhileWiFiSwitching(hKey, pauseMs, STATE_WAIT_MAX_READS);
        RegCloseKey(hKey);
    }
    SetCursor(hPrevious);
}

// Switching on is bounded like switching off (10 readings): a state that
// never settles must not hold the caller for ever.
void WINAPI TurnOnWiFiModule(void)
{
    ReadDriverDomain();
    if (AtomicRead(&g_lCurrentDomain) == 0) {
        MessageBoxW(GetForegroundWindow(), L"The Wi-Fi Regulatory was lost, please set it again.",
                    ERROR_CAPTION, ERROR_BOX_FLAGS);
        return;
    }
    RadioOnWiFiDevices();
    WriteDriverWiFiParam(L"WIFI", 1);
    WaitForRadioToSettle(TURN_ON_PAUSE_MS);
    WriteStatusFile(1);
}

void WINAPI TurnOffWiFiModule(void)
{
    RadioOffWiFiDevice();
    WriteDriverWiFiParam(L"WIFI", 0);
    WaitForRadioToSettle(TURN_OFF_PAUSE_MS);
    WriteStatusFile(0);
}

BOOL WINAPI IfWiFiHasTurnedOn(void)
{
    return ReadStatusFile() == 1 ? TRUE : FALSE;
}
