// handheld_notify.h - control and observation of the device's registry
// notifications, for tests and tools. Exported by the simulated OS-services
// library (ossvcs.dll), which runs the notification service; product code
// never includes this header. The model is described in docs/notifications.md.
#pragma once

#ifndef WINCE_HOST_CRT
#define WINCE_HOST_CRT  // tests and tools use the host's <stdio.h>
#endif
#include <wince.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef OSSVCS_API
#define OSSVCS_API __declspec(dllimport)
#endif

// Delivers every change made so far to the callbacks of this process and
// returns when they have run, as the virtual clock's Sleep does.
OSSVCS_API void WINAPI SimDeliverNotifications(void);
// The notification service itself, as the OS-services library exports it
// (RegistryNotifyCallback, RegistryCloseNotification).
OSSVCS_API HRESULT WINAPI SimRegistryNotifyCallback(
    HKEY hKey, LPCWSTR pszSubKey, LPCWSTR pszValueName, REGISTRYNOTIFYCALLBACK pfnCallback,
    DWORD dwUserData, NOTIFICATIONCONDITION* pCondition, HREGNOTIFY* phNotify);
OSSVCS_API HRESULT WINAPI SimRegistryCloseNotification(HREGNOTIFY hNotify);
// Registrations made with RegistryNotifyCallback and not yet closed.
OSSVCS_API DWORD WINAPI SimOpenNotifications(void);

#ifdef __cplusplus
}
#endif
