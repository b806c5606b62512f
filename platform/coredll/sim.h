// sim.h - what the pieces of the simulated core library share.
#pragma once

#define SIM_API  // this library's own: every export is listed in coredll.def
#define WINCE_HOST_CRT
#include <handheld.h>
#include <handheld_journal.h>
#include <handheld_radio.h>
#include <handheld_service.h>
#include <wince.h>

#include <stdio.h>
#include <string>
#include <vector>

// device.cpp: the current device, its host keys and folders, its commits.
std::wstring DeviceName();          // canonical: lower case
std::wstring DeviceKeyPath();       // HKCU path of the device
std::wstring DeviceFolder();        // C:\Handheld\NAME
bool DeviceKeysExist();             // false once the device was deleted under this process
HKEY DeviceRegistryRoot();          // the device's HKLM (host key, cached; do not close)
HKEY DeviceReopenRoot();            // after ERROR_KEY_DELETED: another process reset the device
HKEY OpenSettingsKey(BOOL create);  // caller closes
// A key below the device's host key ("Settings", "Kernel"...), made when
// missing, but only while the device exists. Caller closes.
HKEY CreateDeviceSubkey(const wchar_t* pszSubkey);
#define KERNEL_SUBKEY L"Kernel"            // the kernel's record
#define FAULTS_SUBKEY L"Settings\\Faults"  // armed faults
void EnsureDevice();
// The host name of the device's kernel object pszName (an event, a mutex).
std::wstring DeviceObjectName(const wchar_t* pszName);
// Commits the current device's whole registry (and settings) durably.
bool DeviceCommit();
// With the device's lock held: puts back the registry as last committed.
bool DeviceRestoreCommitted(const std::wstring& name);
// A setting that is the device's own passing state (a radio switching, the
// driver loaded): written, not committed; a power cut resets it anyway.
void SetSetting(const wchar_t* pszName, DWORD dwValue);
// The device's lock, shared by every process of the prefix: making,
// committing, resetting, starting and cutting the power hold it. What was
// done under it may have replaced the device's faults: its release says so.
class DeviceLock {
public:
    explicit DeviceLock(const std::wstring& name);
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

private:
    std::wstring name_;
    HANDLE h_;
};

// The process is ending: its own device and its record go.
void DeviceProcessEnds();

// processes.cpp: which processes are on which device.
void ProcessJoinDevice(const std::wstring& name);
void ProcessLeaveDevice();
bool ProcessIsOnDevice(DWORD pid, const std::wstring& name);
// The device's other processes, observers not counted, those on the virtual
// clock only when asked; and ending them (how many ended).
std::vector<DWORD> DeviceProcesses(const std::wstring& name, bool includeVirtualClock);
DWORD EndDeviceProcesses(const std::wstring& name, UINT exitCode, bool includeVirtualClock);
void ProcessesAttach();  // the process starts: is it an observer?
ULONGLONG ProcessCreationTime(HANDLE hProcess);
bool ProcessRuns(DWORD pid, ULONGLONG created);  // that process, not one given its id since

// sync.cpp
void SyncAttach();  // the process starts: are its waits held from the start?

// crash.cpp: a crash that nothing handled is said on standard error.
void CrashReportAttach();

// kernel.cpp
std::wstring KernelKeyPath();  // HKCU path of the device's kernel record
void KernelBootAfterPowerCut();

// files.cpp: the host path of a path the device names, always inside its
// store; false for a path that could reach anywhere else.
bool DeviceHostPath(const wchar_t* pszPath, std::wstring* pHostPath);
bool IsReservedWindowsName(const std::wstring& name);  // CON, con.txt, COM1, ...
// Journals how CreateFileW ended and hands its result back.
HANDLE CreateFileEnded(LPCWSTR lpFileName, HANDLE h, DWORD error);

// journal.cpp: an entry formatted as printf does (at most 1023 characters).
std::wstring FormatV(const wchar_t* pszFormat, va_list args);
void Journal(const wchar_t* pszFormat, ...);

// faults.cpp: the error to fail with, or 0 to go on.
DWORD FaultFor(const wchar_t* pszOperation, const std::wstring& target);
// Every process of the prefix reads the device's faults again at its next call.
void FaultsMayHaveChanged(const std::wstring& device);

// debug.cpp
void DebugLine(const wchar_t* pszText);
// Appends one line (UTF-8, with its newline) to the device's log pszName
// (debug.log, journal.log), rotating it first when it has grown to
// SIM_LOG_ROTATE_BYTES.
void AppendDeviceLog(const wchar_t* pszName, const char* pLine, size_t cb);

// clock.cpp
void ClockAttach();  // the process starts: when, on the host
bool ClockIsVirtual();
DWORD ClockScale();  // how much faster than host time device time runs (1: real)

// notifier.cpp: the OS-services library's notification service hears that a
// watched value may have changed in this process (poke), that every change
// so far must be delivered before going on (deliver now), that a handle is
// being closed (forget).
void NotifyPoke(const wchar_t* pszKeyPath);  // NULL: which key is not known
void NotifyDeliverNow();
void NotifyForgetHandle(HANDLE h);

// Case-insensitive comparison of names, as the device's registry does.
bool SameName(const std::wstring& a, const std::wstring& b);

// devmgr.cpp: stream devices ("NDL1:") and what their handles stand for.
bool IsStreamDeviceName(const wchar_t* p);
HANDLE DevmgrOpenStream(LPCWSTR lpFileName);
void DevmgrForgetHandle(HANDLE h);  // a handle is being closed

// adapter.cpp: the simulated Wi-Fi adapter on its PC card. Its state is kept
// in the device settings (CardInserted, DriverActive, the Wi-Fi radio's Power,
// Switching, StateStuck) and shown in the system state value "WiFi".
bool AdapterPresent();                     // card inserted and driver active
void AdapterSetDriverActive(bool active);  // the driver loads or unloads
void AdapterSetPower(bool on);             // starts a power change on the device clock
DWORD AdapterStateValue();                 // what "WiFi" should hold now
void AdapterPublishState();                // writes it, for every process to see
void AdapterBoot();                        // as a fresh boot leaves it
// The radio list below a device's Settings key: any list, or the factory's.
bool WriteRadioList(HKEY hSettings, const SIMRADIO* aRadios, DWORD dwCount);
void WriteFactoryRadios(HKEY hSettings);
void AdapterOpened();  // the process opened the device: settle, watch
// The change under way: its due time and whether that is virtual time.
bool AdapterNextDue(ULONGLONG* pDue, bool* pVirtual);
bool AdapterSettleDue();  // settles it when it has fallen due; true when it did
