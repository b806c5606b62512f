// handheld_devmgr.h - control and observation of the simulated handheld's
// PC card and its device manager, for tests and tools. Exported by the
// simulated core library (coredll.dll); product code never includes this
// header. The model is described in docs/notifications.md.
#pragma once

#include <handheld.h>
#include <handheld_notify.h>  // the notifications, and the device's own types (wince.h)

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

#ifdef __cplusplus
}
#endif
