// wince.h - the handheld's own platform interfaces that the desktop headers
// lack: core services (coredll.dll), OS services (ossvcs.dll) and the shell
// (aygshell.dll). Product code includes this after <windows.h> and writes its
// calls exactly as it would for the device.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef CE_IMPORT
#define CE_IMPORT __declspec(dllimport)
#endif

// ---------------------------------------------------------------------------
// Core services (coredll.dll)
// ---------------------------------------------------------------------------

// Events: the device's SetEvent/ResetEvent/PulseEvent are EventModify calls.
#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3
CE_IMPORT BOOL WINAPI EventModify(HANDLE hEvent, DWORD func);

// Debug output of the kernel.
CE_IMPORT void WINAPIV NKDbgPrintfW(LPCWSTR lpszFmt, ...);

// Look up an export by its wide-character name.
CE_IMPORT FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);

// Requests to the kernel and the OEM adaptation layer.
CE_IMPORT BOOL WINAPI KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize,
                                      LPVOID lpOutBuf, DWORD nOutBufSize, LPDWORD lpBytesReturned);

#ifndef FILE_DEVICE_HAL
#define FILE_DEVICE_HAL 0x00000101
#endif
#define IOCTL_OEM_COLDRESET ((DWORD)CTL_CODE(0x8003u, 2051, METHOD_BUFFERED, FILE_ANY_ACCESS))
#define IOCTL_HAL_INIT_RTC CTL_CODE(FILE_DEVICE_HAL, 14, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_HAL_REBOOT CTL_CODE(FILE_DEVICE_HAL, 15, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Device manager.
#define DEVKEY_LEN 260
#define DEVNAME_LEN 260
#define DEVBUS_LEN 260
typedef HANDLE HDEVICE;

typedef struct _DEVMGR_DEVICE_INFORMATION {
    DWORD dwSize;
    HANDLE hDevice;
    HANDLE hParentDevice;
    WCHAR szLegacyName[6];
    WCHAR szDeviceKey[DEVKEY_LEN];
    WCHAR szDeviceName[DEVNAME_LEN];
    WCHAR szBusName[DEVBUS_LEN];
} DEVMGR_DEVICE_INFORMATION, *PDEVMGR_DEVICE_INFORMATION;

typedef struct _REGINI {
    LPCWSTR lpszVal;
    LPBYTE pData;
    DWORD dwLen;
    DWORD dwType;
} REGINI, *LPCREGINI;

CE_IMPORT BOOL WINAPI GetDeviceInformationByFileHandle(HANDLE hFile,
                                                       PDEVMGR_DEVICE_INFORMATION pdi);
CE_IMPORT HANDLE WINAPI ActivateDeviceEx(LPCWSTR lpszDevKey, LPCREGINI lpReg, DWORD cReg,
                                         LPVOID lpvParam);
CE_IMPORT BOOL WINAPI DeactivateDevice(HANDLE hDevice);

// The runtime library's wide-character stream functions live in the core
// library on the device; the product code needs no more of <stdio.h>. (The
// platform layer itself uses the host's <stdio.h> and defines WINCE_HOST_CRT.)
#ifndef WINCE_HOST_CRT
#ifndef _FILE_DEFINED
#define _FILE_DEFINED
typedef struct _iobuf FILE;
#endif
CE_IMPORT FILE* __cdecl _wfopen(const wchar_t* filename, const wchar_t* mode);
CE_IMPORT int __cdecl fwprintf(FILE* stream, const wchar_t* format, ...);
CE_IMPORT int __cdecl fwscanf(FILE* stream, const wchar_t* format, ...);
CE_IMPORT int __cdecl fclose(FILE* stream);
#endif

// ---------------------------------------------------------------------------
// OS services (ossvcs.dll)
// ---------------------------------------------------------------------------

// Radio devices.
typedef enum _RADIODEVTYPE {
    RADIODEVICES_MANAGED = 1,
    RADIODEVICES_PHONE,
    RADIODEVICES_BLUETOOTH,
} RADIODEVTYPE;

typedef enum _SAVEACTION {
    RADIODEVICES_DONT_SAVE = 0,
    RADIODEVICES_PRE_SAVE,
    RADIODEVICES_POST_SAVE,
} SAVEACTION;

typedef struct _RDD {
    LPWSTR pszDeviceName;
    LPWSTR pszDisplayName;
    DWORD dwState;
    DWORD dwDesired;
    RADIODEVTYPE DeviceType;
    struct _RDD* pNext;
} RDD;

CE_IMPORT HRESULT WINAPI GetWirelessDevices(RDD** pDevices, DWORD dwFlags);
CE_IMPORT HRESULT WINAPI ChangeRadioState(RDD* pDev, DWORD dwState, SAVEACTION sa);
CE_IMPORT HRESULT WINAPI FreeDeviceList(RDD* pRoot);

// Registry value notifications.
DECLARE_HANDLE(HREGNOTIFY);
typedef void (*REGISTRYNOTIFYCALLBACK)(HREGNOTIFY hNotify, DWORD dwUserData, const PBYTE pData,
                                       const UINT cbData);

typedef enum tagREG_COMPARISONTYPE {
    REG_CT_ANYCHANGE,
    REG_CT_EQUAL,
    REG_CT_NOT_EQUAL,
    REG_CT_GREATER,
    REG_CT_GREATER_OR_EQUAL,
    REG_CT_LESS,
    REG_CT_LESS_OR_EQUAL,
    REG_CT_CONTAINS,
    REG_CT_STARTS_WITH,
    REG_CT_ENDS_WITH,
} REG_COMPARISONTYPE;

typedef struct tagNOTIFICATIONCONDITION {
    REG_COMPARISONTYPE ctComparisonType;
    DWORD dwMask;
    union {
        LPCWSTR psz;
        DWORD dw;
    } TargetValue;
} NOTIFICATIONCONDITION;

CE_IMPORT HRESULT WINAPI RegistryNotifyCallback(HKEY hKey, LPCWSTR pszSubKey, LPCWSTR pszValueName,
                                                REGISTRYNOTIFYCALLBACK pfnCallback,
                                                DWORD dwUserData, NOTIFICATIONCONDITION* pCondition,
                                                HREGNOTIFY* phNotify);
CE_IMPORT HRESULT WINAPI RegistryCloseNotification(HREGNOTIFY hNotify);

// ---------------------------------------------------------------------------
// Shell (aygshell.dll)
// ---------------------------------------------------------------------------

typedef struct {
    DWORD cbSize;
    HWND hwndLastFocus;
    UINT fSipUp : 1;
    UINT fSipOnDeactivation : 1;
    UINT fActive : 1;
    UINT fReserved : 29;
} SHACTIVATEINFO, *PSHACTIVATEINFO;

CE_IMPORT BOOL WINAPI SHInitExtraControls(void);
CE_IMPORT BOOL WINAPI SHHandleWMActivate(HWND hwnd, WPARAM wParam, LPARAM lParam,
                                         SHACTIVATEINFO* psai, DWORD dwFlags);
CE_IMPORT BOOL WINAPI SHHandleWMSettingChange(HWND hwnd, WPARAM wParam, LPARAM lParam,
                                              SHACTIVATEINFO* psai);

#ifdef __cplusplus
}

// The records that cross between the library and the platform have the
// device's layout in every 32-bit build, or the build fails here (on 64-bit
// they are wider, as a 64-bit Windows has them).
#ifdef _WIN64
#define CE_RECORD_SIZE(size32, size64) (size64)
#else
#define CE_RECORD_SIZE(size32, size64) (size32)
#endif
static_assert(sizeof(DEVMGR_DEVICE_INFORMATION) == CE_RECORD_SIZE(1584, 1600),
              "DEVMGR_DEVICE_INFORMATION does not have the device's size");
static_assert(sizeof(RDD) == CE_RECORD_SIZE(24, 40), "RDD does not have the device's size");
static_assert(sizeof(REGINI) == CE_RECORD_SIZE(16, 24), "REGINI does not have the device's size");
static_assert(sizeof(NOTIFICATIONCONDITION) == CE_RECORD_SIZE(12, 16),
              "NOTIFICATIONCONDITION does not have the device's size");
static_assert(sizeof(SHACTIVATEINFO) == CE_RECORD_SIZE(12, 24),
              "SHACTIVATEINFO does not have the device's size");
#undef CE_RECORD_SIZE
#endif
