// handheld_radio.h - control and observation of the simulated handheld's
// radios, its Wi-Fi adapter and its kernel, for tests and tools. Exported by
// the simulated core library (coredll.dll); product code never includes this
// header. The model is described in docs/radios.md.
#pragma once

#include <handheld.h>

#ifdef __cplusplus
extern "C" {
#endif

// --- The Wi-Fi adapter's state value ---------------------------------------------
// The platform keeps the DWORD "WiFi" under "System\State\Hardware"; with no
// driver loaded it is 0. See docs/handheld.md.
#define SIM_STATE_POWERED 0x001    // the radio is on
#define SIM_STATE_SWITCHING 0x002  // a radio power change is under way
#define SIM_STATE_ADAPTER 0x100    // the adapter's driver is loaded (card in, driver active)
// Device time a power change takes on a factory device (settings PowerOnMs,
// PowerOffMs).
#define SIM_POWER_ON_MS 2500
#define SIM_POWER_OFF_MS 1500

// --- Radios -----------------------------------------------------------------
// The device's radio list lives in its settings (Radios\0, Radios\1, ...), in
// the order GetWirelessDevices hands it out. The radio marked as the adapter
// is the Wi-Fi adapter on the PC card: it is listed only while the card is in
// and its driver loaded, and its power follows the adapter model.
#define SIM_RADIO_NAME_CCH 32
typedef struct _SIMRADIO {
    WCHAR szName[SIM_RADIO_NAME_CCH];     // device name, as in the RDD record
    WCHAR szDisplay[SIM_RADIO_NAME_CCH];  // display name
    DWORD dwType;                         // RADIODEVTYPE: 1 managed, 2 phone, 3 Bluetooth
    DWORD dwPower;                        // 1 on, 0 off
    BOOL bAdapter;                        // this radio is the Wi-Fi adapter
    BOOL bListed;                         // read only: GetWirelessDevices lists it now
} SIMRADIO;

#define SIM_MAX_RADIOS 16
// Replaces the radio list (count 0: a device without radios).
SIM_API BOOL WINAPI SimSetRadios(const SIMRADIO* aRadios, DWORD dwCount);
// Ready-made lists for SimSetupRadios.
#define SIM_RADIOS_FACTORY 0   // phone, Wi-Fi adapter (type 1), Bluetooth
#define SIM_RADIOS_NONE 1      // no radios at all
#define SIM_RADIOS_NO_WIFI 2   // phone and Bluetooth, no type-1 radio
#define SIM_RADIOS_TWO_WIFI 3  // the factory list and a second type-1 radio "WLAN2" last
SIM_API BOOL WINAPI SimSetupRadios(DWORD dwLayout);
SIM_API DWORD WINAPI SimRadioCount(void);
SIM_API BOOL WINAPI SimGetRadio(DWORD dwIndex, SIMRADIO* pRadio);
// The power of the radio named pszName (1 on, 0 off); FALSE when there is none.
SIM_API BOOL WINAPI SimGetRadioPower(LPCWSTR pszName, DWORD* pdwPower);

// --- Device lists handed out by GetWirelessDevices (this process) ---------------
SIM_API DWORD WINAPI SimRadioListsHandedOut(void);    // lists handed out so far
SIM_API DWORD WINAPI SimRadioListsOutstanding(void);  // handed out and never freed
SIM_API DWORD WINAPI SimRadioBadFrees(void);          // FreeDeviceList of an unknown or freed list

// Used by the simulated OS-services library to keep the counts above, and to
// switch one radio by its name (S_OK, or an error when it cannot be switched).
#define SIM_RADIO_LIST_ISSUED 0
#define SIM_RADIO_LIST_FREED 1
#define SIM_RADIO_LIST_BAD_FREE 2
SIM_API void WINAPI SimRadioNoteList(DWORD dwEvent);
SIM_API HRESULT WINAPI SimRadioSwitch(LPCWSTR pszName, DWORD dwPower);

// --- The Wi-Fi adapter ------------------------------------------------------------
// Stuck: the system state value keeps its "switching" bit 0x2 for ever.
SIM_API void WINAPI SimSetStateStuck(BOOL bStuck);
// The state value the adapter shows now (what "WiFi" under System\State\Hardware holds).
SIM_API DWORD WINAPI SimAdapterState(void);

// --- The kernel ---------------------------------------------------------------------
// What the kernel was asked, kept with the device (beside its settings, so a
// cold reset does not erase it): DWORD counters named ColdResets,
// ColdResetsRefused, ClockSets, ClockRefused, Reboots, Restarts, Boot.
SIM_API DWORD WINAPI SimKernelCounter(LPCWSTR pszName);
// The SYSTEMTIME of the last accepted clock request; FALSE when there was none.
SIM_API BOOL WINAPI SimKernelLastClock(SYSTEMTIME* pTime);

#ifdef __cplusplus
}
#endif
