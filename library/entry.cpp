// entry.cpp - the library's entry point, the start of the reload worker, and
// the two exports that only read or release shared state.
#include "internal.h"

// Saves the module handle, creates the shared reload event and starts the
// worker that waits on it. Failures leave NULL behind and are not reported:
// the library never refuses to load.
void StartReloadWorker(HINSTANCE hModule)
{
    g_hModule = hModule;
    InitializeCriticalSection(&g_csPrompt);
    g_hReloadEvent = CreateEventW(NULL, FALSE, FALSE, RELOAD_EVENT_NAME);
    g_hReloadThread = CreateThread(NULL, 0, ReloadThreadProc, NULL, 0, NULL);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD dwReason, LPVOID lpReserved)
{
    (void)lpReserved;
    if (dwReason == DLL_PROCESS_ATTACH) {
        StartReloadWorker(hModule);
    }
    return TRUE;
}

// Ends one registration for good (no callback runs for it afterwards) and
// closes its handle; returns what CloseHandle returned.
int ReleaseNotification(HREGNOTIFY hNotify)
{
    RegistryCloseNotification(hNotify);
    return CloseHandle((HANDLE)hNotify);
}

// Releases the state notification, if one is open, and lets the worker end
// after its next wake. The handle is taken out of the global in one step, so
// two threads closing at once cannot release it twice.
int CloseWiFiNotification(void)
{
    HREGNOTIFY hNotify =
        (HREGNOTIFY)InterlockedExchangePointer((PVOID volatile*)&g_hWiFiNotify, NULL);
    if (hNotify == NULL) {
        return 0;
    }
    int result = ReleaseNotification(hNotify);
    AtomicWrite(&g_bReloadRun, 0);
    return result;
}

int WINAPI CloseWiFi(void)
{
    return CloseWiFiNotification();
}

BOOL WINAPI IfWiFiRegulatorySet(void)
{
    return AtomicRead(&g_bRegulatorySet);
}
