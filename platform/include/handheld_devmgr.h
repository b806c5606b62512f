// handheld_devmgr.h - control and observation of the simulated handheld's
// PC card, its device manager and its registry notifications, for tests and
// tools. Exported by the simulated core library (coredll.dll); product code
// never includes this header. The model is described in docs/notifications.md.
#pragma once

#include <handheld.h>

#ifdef __cplusplus
extern "C" {
#endif

// --- The PC card --------------------------------------------------------------
// Ejecting the card unloads its driver: "NDL1:" goes away and the system
// state value "WiFi" becomes 0. Inserting it again loads the driver when
// bLoadDriver is TRUE (as the card's bus does on the device), or leaves it
// unloaded until something activates it with ActivateDeviceEx.
SIM_API BOOL WINAPI SimEjectCard(void);
SIM_API BOOL WINAPI SimInsertCard(BOOL bLoadDriver);
// Activations of the driver so far on this device (each one a new instance).
SIM_API DWORD WINAPI SimDriverActivations(void);

// --- Registry notifications (this process) -------------------------------------
// Delivers every change made so far to the callbacks of this process and
// returns when they have run, as the virtual clock's Sleep does.
SIM_API void WINAPI SimDeliverNotifications(void);
// Registrations made with RegistryNotifyCallback and not yet closed.
SIM_API DWORD WINAPI SimOpenNotifications(void);

#ifdef __cplusplus
}
#endif
