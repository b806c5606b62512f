// handheld.h - control and observation of the simulated handheld, for tests
// and tools. Exported by the simulated core library (coredll.dll) next to the
// platform functions; product code never includes this header.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef SIM_API
#define SIM_API __declspec(dllimport)
#endif

// --- Devices ----------------------------------------------------------------
// A device is a named, persistent handheld: its HKEY_LOCAL_MACHINE is the host
// key HKCU\Software\Handheld\Devices\NAME\HKLM, its file store the folder
// C:\Handheld\NAME\Store. The process works on HANDHELD_DEVICE (default
// "default") until SimSelectDevice picks another. A device that does not
// exist yet is made from the factory image on first use.
// Names compare without case (SimDeviceName gives the lower-case form); a name
// that a host folder cannot hold as it is (trailing '.', CON, NUL, ...) is
// refused. An invalid HANDHELD_DEVICE ends the process with exit code 2.
#define SIM_MAX_DEVICE_NAME 40
SIM_API BOOL WINAPI SimSelectDevice(LPCWSTR pszName);
SIM_API LPCWSTR WINAPI SimDeviceName(void);
// Why pszName cannot name a device, or NULL when it can.
SIM_API LPCWSTR WINAPI SimDeviceNameProblem(LPCWSTR pszName);
// Restores the current device to its factory image: registry, file store,
// settings, faults, and its debug and journal logs. Atomic across registry and
// store: after a power cut the reset has happened whole or not at all.
SIM_API BOOL WINAPI SimResetDevice(void);
// Removes a device altogether.
SIM_API BOOL WINAPI SimDeleteDevice(LPCWSTR pszName);

// --- Commits and the battery ----------------------------------------------------
// RegFlushKey on any key of the device commits its whole registry (with the
// simulation's settings and the kernel's record) durably before it returns;
// so do the Sim functions that change the device's world (settings, faults,
// radios, the card, the harness's own registry writes). This is the committed
// generation, counting from 1 when the device was made.
SIM_API ULONGLONG WINAPI SimCommittedGeneration(void);
// Pulls the battery: every other process of the device ends at once with exit
// code SIM_EXIT_POWER_CUT (observers, programs that export the data symbol
// HandheldObserver, keep running), and the device starts again with its
// registry as last committed, its files as last closed, every radio off and
// the state value as a fresh boot sets it. Returns how many processes ended.
#define SIM_EXIT_POWER_CUT 137
SIM_API DWORD WINAPI SimPowerCut(void);
// Makes this process an observer (TRUE) of its device, or one of the device's
// own (FALSE): a power cut or a restart of the device ends its own processes
// only. A program that exports the data symbol HandheldObserver starts as one.
SIM_API void WINAPI SimSetObserver(BOOL bObserver);
// The other processes on the current device (observers not counted): fills
// up to cMax ids and returns how many there are.
SIM_API DWORD WINAPI SimDeviceProcesses(DWORD* aPids, DWORD cMax);
// Where the host keeps its devices' keys (below HKEY_CURRENT_USER): NAME\HKLM
// is the device's registry, NAME\Settings the simulation's settings of it.
#define SIM_DEVICES_KEY L"Software\\Handheld\\Devices"
// Host folder of the current device (C:\Handheld\NAME) and of its file store.
SIM_API DWORD WINAPI SimDeviceFolder(LPWSTR pszBuffer, DWORD cch);
SIM_API DWORD WINAPI SimStorePath(LPCWSTR pszDevicePath, LPWSTR pszBuffer, DWORD cch);

// --- Settings of the simulation -----------------------------------------------
// DWORD values under HKCU\Software\Handheld\Devices\NAME\Settings, shared by
// every process on the device. Names are listed in docs/handheld.md.
SIM_API DWORD WINAPI SimGetSetting(LPCWSTR pszName, DWORD dwDefault);
SIM_API BOOL WINAPI SimSetSetting(LPCWSTR pszName, DWORD dwValue);
// What a tester sets:
#define SIM_SETTING_CARD_INSERTED L"CardInserted"         // the Wi-Fi card is in its slot
#define SIM_SETTING_DRIVER_ACTIVE L"DriverActive"         // the card's driver is loaded
#define SIM_SETTING_STATE_STUCK L"StateStuck"             // the state's switching bit stays set
#define SIM_SETTING_FAIL_ACTIVATION L"FailActivation"     // the driver's activation fails
#define SIM_SETTING_REFUSE_COLD_RESET L"RefuseColdReset"  // the kernel refuses a cold reset
#define SIM_SETTING_REFUSE_CLOCK L"RefuseClock"           // the kernel refuses to set the clock
#define SIM_SETTING_POWER_ON_MS L"PowerOnMs"              // how long the radio takes to come on
#define SIM_SETTING_POWER_OFF_MS L"PowerOffMs"            // ... and to go off
#define SIM_SETTING_CLOCK_MODE L"ClockMode"               // SIM_CLOCK_*
#define SIM_SETTING_CLOCK_SCALE L"ClockScale"             // device time's speed when scaled
// What the device keeps of itself there:
#define SIM_SETTING_COLD_RESET_ARMED L"ColdResetArmed"       // the next reboot is a cold reset
#define SIM_SETTING_DRIVER_ACTIVATIONS L"DriverActivations"  // the driver's instance count
#define SIM_SETTING_SWITCHING L"Switching"                   // a radio power change is under way
#define SIM_SETTING_SWITCH_CLOCK L"SwitchClock"              // which clock times that change

// --- The device's registry, without going through the journal or faults --------
SIM_API BOOL WINAPI SimRegGetDword(LPCWSTR pszKey, LPCWSTR pszValue, DWORD* pdwValue);
SIM_API BOOL WINAPI SimRegSetDword(LPCWSTR pszKey, LPCWSTR pszValue, DWORD dwValue);
SIM_API BOOL WINAPI SimRegSetRaw(LPCWSTR pszKey, LPCWSTR pszValue, DWORD dwType, const void* pData,
                                 DWORD cbData);
SIM_API BOOL WINAPI SimRegDeleteValue(LPCWSTR pszKey, LPCWSTR pszValue);
SIM_API BOOL WINAPI SimRegDeleteKey(LPCWSTR pszKey);  // with its subkeys
SIM_API BOOL WINAPI SimRegKeyExists(LPCWSTR pszKey);

// --- Clock ----------------------------------------------------------------------
// Real: device time is host time. Scaled: device time runs dwScale times faster.
// Virtual: Sleep returns at once after advancing device time; the device's
// timed behaviour follows, and notifications that fall due are delivered
// before Sleep returns. HANDHELD_CLOCK=real|virtual|scaled:N sets it too.
#define SIM_CLOCK_REAL 0
#define SIM_CLOCK_VIRTUAL 1
#define SIM_CLOCK_SCALED 2
SIM_API void WINAPI SimSetClock(DWORD dwMode, DWORD dwScale);
SIM_API DWORD WINAPI SimClockMode(void);
SIM_API ULONGLONG WINAPI SimNow(void);  // device milliseconds since this process began
// Runs fn(pContext) once device time reaches dueMs (of SimNow). Under the
// virtual clock it runs inside the Sleep that passes dueMs.
typedef void(WINAPI* SIMTIMERPROC)(void* pContext);
SIM_API void WINAPI SimScheduleAt(ULONGLONG dueMs, SIMTIMERPROC pfn, void* pContext);

// --- The user who answers message boxes ------------------------------------------
// Real: message boxes are shown. Scripted: each box is recorded and answered
// from the queue (HANDHELD_ANSWERS=yes,no,ok,cancel or SimQueueAnswer), then
// by default: OK, or No for a Yes/No question. HANDHELD_USER=scripted sets it.
#define SIM_USER_REAL 0
#define SIM_USER_SCRIPTED 1
SIM_API void WINAPI SimSetUser(DWORD dwMode);
SIM_API void WINAPI SimQueueAnswer(int nAnswer);
// A hook answers every box instead (the command-line tool prints them).
typedef int(WINAPI* SIMMESSAGEBOXHOOK)(HWND hOwner, LPCWSTR pszText, LPCWSTR pszCaption, UINT uType,
                                       void* pContext);
SIM_API void WINAPI SimSetMessageBoxHook(SIMMESSAGEBOXHOOK pfn, void* pContext);

// --- Waits on named events --------------------------------------------------------
// Holds (TRUE) or lets go (FALSE) every wait without time-out of this process
// on a named event:
// a held wait lets go of its event, so the signal goes to another process's
// waiter, and begins again once released. A program that exports the data
// symbol HandheldHoldEventWaits starts held.
SIM_API void WINAPI SimHoldEventWaits(BOOL bHold);
// This process's waits without time-out on the named event pszEvent (by the
// name the program gave it): how many began (again after each hold), how many
// of them the event ended, and how many threads wait on it now.
typedef struct SIMEVENTWAITS {
    DWORD dwBegun;
    DWORD dwWoken;
    DWORD dwWaiting;
} SIMEVENTWAITS;
SIM_API BOOL WINAPI SimEventWaits(LPCWSTR pszEvent, SIMEVENTWAITS* pWaits);

// --- Faults ----------------------------------------------------------------------
// Makes the named operation fail with dwError on the named target: a key path
// below HKLM, "key path\value" for value operations, a device file path, a
// module or event name, or "*" for any. Stored with the device's settings,
// so every process on the device sees it. bOnce: only the next such call.
SIM_API BOOL WINAPI SimSetFault(LPCWSTR pszOperation, LPCWSTR pszTarget, DWORD dwError, BOOL bOnce);
SIM_API void WINAPI SimClearFaults(void);

// --- Journal -----------------------------------------------------------------------
// Every platform call of interest, in order, as "Operation|field|field...".
// A process keeps its newest SIM_JOURNAL_CAPACITY entries; indexes count from
// the oldest kept. HANDHELD_JOURNAL=1 also appends each entry to the device's
// journal.log. The device's logs (journal.log, debug.log) rotate at
// SIM_LOG_ROTATE_BYTES: the full one becomes NAME.1, replacing the older.
#define SIM_JOURNAL_CAPACITY 8192
#define SIM_LOG_ROTATE_BYTES (1024 * 1024)
SIM_API void WINAPI SimJournalClear(void);
// Entries dropped (the oldest, beyond the capacity) since the last clear.
SIM_API DWORD WINAPI SimJournalDropped(void);
SIM_API DWORD WINAPI SimJournalCount(void);
SIM_API DWORD WINAPI SimJournalEntry(DWORD dwIndex, LPWSTR pszBuffer, DWORD cch);
SIM_API DWORD WINAPI SimJournalThread(DWORD dwIndex);
SIM_API void WINAPI SimJournalAdd(LPCWSTR pszEntry);
// The same, formatted as vswprintf does (at most 1023 characters).
SIM_API void WINAPI SimJournalAddV(LPCWSTR pszFormat, va_list args);
// Waits (host time, at most dwTimeoutMs) until dwCount entries begin with pszPrefix.
SIM_API BOOL WINAPI SimJournalWaitFor(LPCWSTR pszPrefix, DWORD dwCount, DWORD dwTimeoutMs);

#ifdef __cplusplus
}
#endif
