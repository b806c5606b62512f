// notify.cpp - registry value notifications. PLACEHOLDER: completed with the
// start-up work; until then no callback is ever delivered.
#include "sim.h"

void NotifyPoke() {}
void NotifyDeliverNow() {}

extern "C" {

SIM_API HRESULT WINAPI SimRegistryNotifyCallback(HKEY hKey, LPCWSTR pszSubKey,
                                                 LPCWSTR pszValueName,
                                                 REGISTRYNOTIFYCALLBACK pfnCallback,
                                                 DWORD dwUserData,
                                                 NOTIFICATIONCONDITION* pCondition,
                                                 HREGNOTIFY* phNotify)
{
    (void)hKey, (void)pszSubKey, (void)pszValueName, (void)pfnCallback, (void)dwUserData,
        (void)pCondition;
    if (phNotify) {
        *phNotify = NULL;
    }
    return E_NOTIMPL;
}

SIM_API HRESULT WINAPI SimRegistryCloseNotification(HREGNOTIFY hNotify)
{
    (void)hNotify;
    return E_INVALIDARG;
}

}  // extern "C"
