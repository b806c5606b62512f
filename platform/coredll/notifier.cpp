// notifier.cpp - the core library's side of the device's registry
// notifications: the service itself is the OS-services library's
// (ossvcs/notify.cpp); it installs its hooks here, and the core library calls
// them when this process writes the device's registry, when device time moves
// and when a handle is closed.
#include "sim.h"

#include <atomic>

static std::atomic<const SIMNOTIFYSERVICE*> g_service{NULL};  // NULL until ossvcs loads

void NotifyPoke(const wchar_t* pszKeyPath)
{
    const SIMNOTIFYSERVICE* p = g_service.load();
    if (p) {
        p->pfnPoke(pszKeyPath);
    }
}

void NotifyDeliverNow()
{
    const SIMNOTIFYSERVICE* p = g_service.load();
    if (p) {
        p->pfnDeliverNow();
    }
}

void NotifyForgetHandle(HANDLE h)
{
    const SIMNOTIFYSERVICE* p = g_service.load();
    if (p) {
        p->pfnForgetHandle(h);
    }
}

extern "C" {

SIM_API void WINAPI SimSetNotifyService(const SIMNOTIFYSERVICE* pService)
{
    g_service = pService;
}

SIM_API HKEY WINAPI SimDeviceRegistryRoot(void)
{
    return DeviceRegistryRoot();
}

SIM_API DWORD WINAPI SimFaultFor(LPCWSTR pszOperation, LPCWSTR pszTarget)
{
    return FaultFor(pszOperation, pszTarget ? pszTarget : L"");
}

}  // extern "C"
