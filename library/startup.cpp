// startup.cpp - starting the Wi-Fi stack: the regulatory check, the prompt
// strings, the state notification and the PC-card driver reload.
#include "internal.h"

#include <string.h>

#define DRIVER_RELOAD_PAUSE_MS 6000
#define PROMPT_TEXT_ID 15
#define PROMPT_CAPTION_ID 16

struct LocaleStrings {
    DWORD lcid;
    LPCWSTR library;
};

// Locales with a string library of their own; every other one uses English.
static const LocaleStrings g_aLocaleStrings[] = {
    {0x0404, L"RDIOSTR0404.dll"},  // Chinese (Taiwan)
    {0x0410, L"RDIOSTR0410.dll"},  // Italian
};
#define DEFAULT_STRING_LIBRARY L"RDIOSTR0409.dll"

static LPCWSTR StringLibraryOf(DWORD lcid)
{
    for (size_t i = 0; i < sizeof(g_aLocaleStrings) / sizeof(g_aLocaleStrings[0]); i++) {
        if (g_aLocaleStrings[i].lcid == lcid) {
            return g_aLocaleStrings[i].library;
        }
    }
    return DEFAULT_STRING_LIBRARY;
}

// Copies the reload question out of the string library of the system locale.
// The strings are loaded first and then published under the prompt lock, so
// the worker never sees a half-written one.
void LoadPromptStrings(void)
{
    DWORD lcid = 0;
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_LOCALE_KEY, 0, KEY_ALL_ACCESS, &hKey) ==
        ERROR_SUCCESS) {
        QueryDword(hKey, L"SystemLCID", &lcid);
        RegCloseKey(hKey);
    }
    HMODULE hStrings = LoadLibraryW(StringLibraryOf(lcid));
    if (hStrings == NULL) {
        return;
    }
    WCHAR szText[PROMPT_TEXT_CCH] = L"";
    WCHAR szCaption[PROMPT_CAPTION_CCH] = L"";
    if (LoadStringW(hStrings, PROMPT_TEXT_ID, szText, PROMPT_TEXT_CCH) <= 0) {
        szText[0] = L'\0';
    }
    if (LoadStringW(hStrings, PROMPT_CAPTION_ID, szCaption, PROMPT_CAPTION_CCH) <= 0) {
        szCaption[0] = L'\0';
    }
    FreeLibrary(hStrings);

    EnterCriticalSection(&g_csPrompt);
    memcpy(g_szPromptText, szText, sizeof(g_szPromptText));
    memcpy(g_szPromptCaption, szCaption, sizeof(g_szPromptCaption));
    LeaveCriticalSection(&g_csPrompt);
}

// Gives way to the PC-card driver: deactivates the adapter's stream device,
// if there is one, activates the driver again and lets it come up.
void LoadPCCardDriver(void)
{
    DEVMGR_DEVICE_INFORMATION di;
    ZeroMemory(&di, sizeof(di));
    di.dwSize = sizeof(di);
    HANDLE hFile =
        CreateFileW(L"NDL1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile != INVALID_HANDLE_VALUE) {
        // A record that could not be read names no device, whatever it holds.
        if (!GetDeviceInformationByFileHandle(hFile, &di)) {
            di.hDevice = NULL;
        }
        CloseHandle(hFile);
    }
    if (di.hDevice != NULL) {
        DeactivateDevice(di.hDevice);
    }

    NKDbgPrintfW(L"Activate\r\n");
    REGINI reload = {L"Reload", NULL, 0, REG_DWORD};
    HANDLE hDevice = ActivateDeviceEx(PCCARD_DRIVER_KEY, &reload, 1, NULL);
    InterlockedExchangePointer((PVOID volatile*)&g_hPCCardDevice, hDevice);
    if (hDevice == NULL) {
        NKDbgPrintfW(L"PCMCIA:LoadPCCardDriver: ActivateDeviceEx failed %d\r\n", GetLastError());
    }

    HCURSOR hPrevious = ShowWaitCursor();
    Sleep(DRIVER_RELOAD_PAUSE_MS);
    SetCursor(hPrevious);
}

// Registers for changes of the system Wi-Fi state. An older registration is
// released first, so that no callback is left running unseen.
static void RegisterStateNotification(void)
{
    HREGNOTIFY hOlder =
        (HREGNOTIFY)InterlockedExchangePointer((PVOID volatile*)&g_hWiFiNotify, NULL);
    if (hOlder != NULL) {
        ReleaseNotification(hOlder);
    }
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, 0, &hKey) != ERROR_SUCCESS) {
        return;
    }
    HREGNOTIFY hNotify = NULL;
    RegistryNotifyCallback(hKey, NULL, L"WIFI", OnWiFiStateChanged, 0, NULL, &hNotify);
    RegCloseKey(hKey);
    if (hNotify == NULL) {
        return;
    }
    // Another thread may have registered meanwhile: keep the newest only.
    hOlder = (HREGNOTIFY)InterlockedExchangePointer((PVOID volatile*)&g_hWiFiNotify, hNotify);
    if (hOlder != NULL) {
        ReleaseNotification(hOlder);
    }
}

void StartWiFiStack(void)
{
    AtomicWrite(&g_lWiFiState, 0);
    LoadPromptStrings();
    SyncWiFiStateFromDriver(0);
    RegisterStateNotification();

    // "Wifi" and "WiFi" name one value: the device's registry ignores case.
    DWORD state = 0;
    if (ReadStateValue(KEY_ALL_ACCESS, L"Wifi", &state, NULL) && state == 0) {
        LoadPCCardDriver();
    }
    ReadDriverDomain();
    WriteStatusFile(1);
}

void WINAPI InitWiFi(void)
{
    DWORD state = 0;
    BOOL read = FALSE;
    if (ReadStateValue(0, L"WiFi", &state, &read)) {
        if (read && (state & WIFI_STATE_SWITCHING) != 0) {
            AtomicWrite(&g_bRegulatorySet, 1);
        } else {
            ReadDriverDomain();
            if (AtomicRead(&g_lCurrentDomain) == 0) {
                AtomicWrite(&g_bRegulatorySet, 0);
                MessageBoxW(GetForegroundWindow(),
                            L"Rendak.DLL: Wi-Fi regulatory has not been set. Please call "
                            L"ChangeWiFiRegulatory() at first!",
                            ERROR_CAPTION, ERROR_BOX_FLAGS);
                return;
            }
        }
    }
    StartWiFiStack();
}

void WINAPI DirectlyTurnOnWiFi(void)
{
    InitWiFi();
    TurnOnWiFiModule();
}

// The platform's callback for changes of the system Wi-Fi state. A state
// whose low byte is 0 means the radio is off: the library follows suit.
void OnWiFiStateChanged(HREGNOTIFY hNotify, DWORD dwUserData, const PBYTE pData, const UINT cbData)
{
    (void)hNotify;
    // Data of size 0 carries no first byte to read.
    if (pData != NULL && cbData > 0 && dwUserData == 0) {
        LONG state = (LONG)pData[0];
        InterlockedExchange(&g_lWiFiState, state);
        NKDbgPrintfW(L"g_lWiFiState=%d\n", AtomicRead(&g_lWiFiState));
        NKDbgPrintfW(L"pData=%d\n", (int)pData[0]);
        NKDbgPrintfW(L"cbData=%d\n", (int)cbData);
        if (state == 0) {
            RadioOffWiFiDevice();
            WriteDriverWiFiParam(L"WIFI", 0);
        }
    }
    ReadDriverWiFiParam(L"WIFI");
}
