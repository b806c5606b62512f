// internal.h - what the library's own source files share: the module-level
// globals, its constants and the internal routines. (Rendak.h, the public
// header, declares the exports; rendak_store.h and rendak_domains.h say what
// the library keeps and its domain table.)
#pragma once

#define RENDAKAPI
#include <Rendak.h>
#include <rendak_domains.h>
#include <rendak_store.h>
#include <wince.h>

// ---------------------------------------------------------------------------
// Module-level state. Each word is shared by the caller's thread, the reload
// worker and the notification thread, so it is only ever read and written
// whole through the atomic helpers below.
// ---------------------------------------------------------------------------
extern LONG volatile g_bReloadRun;         // BOOL: the worker goes on while exactly 1
extern HINSTANCE g_hModule;                // the library's module handle
extern HANDLE g_hReloadEvent;              // the named auto-reset reload event
extern HANDLE g_hReloadThread;             // the reload worker; never waited on
extern HREGNOTIFY volatile g_hWiFiNotify;  // the state notification, NULL when none
extern LONG volatile g_lWiFiState;         // low byte of the state value as last notified
extern LONG volatile g_bRegulatorySet;     // BOOL: a regulatory domain is known to be set
extern LONG volatile g_lCurrentDomain;     // adapter "Domain" as last read
extern LONG volatile g_lRequestedDomain;   // code chosen by the last ChangeWiFiRegulatory
extern LONG volatile g_lChannelDomain;     // "ChannelDomain" mask last written
extern LONG volatile g_lOemWiFi;           // OEM Wi-Fi switch as last read
extern LONG volatile g_lDriverWiFi;        // adapter "WIFI" parameter as last read
extern HANDLE volatile g_hPCCardDevice;    // the PC-card driver activated at start-up

#define PROMPT_TEXT_CCH 50
#define PROMPT_CAPTION_CCH 10
extern WCHAR g_szPromptText[PROMPT_TEXT_CCH];        // the reload question
extern WCHAR g_szPromptCaption[PROMPT_CAPTION_CCH];  // its caption
extern CRITICAL_SECTION g_csPrompt;                  // guards the two prompt buffers

inline LONG AtomicRead(LONG volatile* p)
{
    return InterlockedCompareExchange(p, 0, 0);
}
inline void AtomicWrite(LONG volatile* p, LONG value)
{
    InterlockedExchange(p, value);
}

#define WIFI_STATE_SWITCHING 0x2  // the bit the library waits on
#define ERROR_CAPTION L"Error !"
#define ERROR_BOX_FLAGS (MB_OK | MB_ICONHAND | MB_SETFOREGROUND)

// settings.cpp
LONG CreateKeyForWriting(LPCWSTR keyPath, HKEY* phKey);
LONG SetDword(HKEY hKey, LPCWSTR name, DWORD value);
BOOL QueryDword(HKEY hKey, LPCWSTR name, DWORD* pValue);
BOOL ReadStateValue(REGSAM access, LPCWSTR name, DWORD* pState, BOOL* pbRead);
HCURSOR ShowWaitCursor(void);
void ReadOemWiFiSwitch(LPCWSTR name);
void ReadDriverWiFiParam(LPCWSTR name);
void WriteDriverWiFiParam(LPCWSTR name, DWORD value);
void SyncWiFiStateFromDriver(int flag);
void ReadDriverDomain(void);
void WriteStatusFile(int value);
int ReadStatusFile(void);

// regulatory.cpp
LONG StoreRegulatoryDomain(DWORD code, int index);

// radio.cpp
void RadioOnWiFiDevices(void);
void RadioOffWiFiDevice(void);
void WaitWhileWiFiSwitching(HKEY hKey, DWORD pauseMs, int maxReads);

// entry.cpp
void StartReloadWorker(HINSTANCE hModule);
int CloseWiFiNotification(void);
int ReleaseNotification(HREGNOTIFY hNotify);

// startup.cpp
void StartWiFiStack(void);
void LoadPCCardDriver(void);
void LoadPromptStrings(void);
void OnWiFiStateChanged(HREGNOTIFY hNotify, DWORD dwUserData, const PBYTE pData, const UINT cbData);

// reload.cpp
DWORD WINAPI ReloadThreadProc(LPVOID lpParameter);
void ReloadWiFi(void);
void PumpPendingMessages(void);
