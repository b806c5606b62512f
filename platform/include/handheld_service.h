// handheld_service.h - between the platform's own libraries: what the
// simulated OS-services library (ossvcs.dll), which runs the device's
// registry notifications, needs of the core library (coredll.dll). Product
// code, tools and tests never include this header.
#pragma once

#include <handheld.h>

#ifdef __cplusplus
extern "C" {
#endif

// The notification service's hooks: the core library calls them when this
// process wrote the device's registry (pfnPoke: the key written or deleted,
// its path below the device's HKLM, or NULL when that is not known), when device time moved and
// what changed must be delivered before going on (pfnDeliverNow), and when a
// handle is closed, which ends a registration it stands for (pfnForgetHandle).
typedef struct SIMNOTIFYSERVICE {
    void(WINAPI* pfnPoke)(LPCWSTR pszKeyPath);
    void(WINAPI* pfnDeliverNow)(void);
    void(WINAPI* pfnForgetHandle)(HANDLE h);
} SIMNOTIFYSERVICE;
// Installs the service (NULL: none). The core library keeps the pointer.
SIM_API void WINAPI SimSetNotifyService(const SIMNOTIFYSERVICE* pService);

// The device's HKEY_LOCAL_MACHINE as a host key (cached; do not close).
SIM_API HKEY WINAPI SimDeviceRegistryRoot(void);
// The error an armed fault makes pszOperation on pszTarget fail with; 0 when none.
SIM_API DWORD WINAPI SimFaultFor(LPCWSTR pszOperation, LPCWSTR pszTarget);

#ifdef __cplusplus
}
#endif
