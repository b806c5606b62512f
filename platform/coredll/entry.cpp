// entry.cpp - the core library's entry point: what a process leaves behind
// on its device when it ends.
#include "sim.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved)
{
    (void)hInstance;
    // Only at the process's end (lpReserved set), not when a program unloads us.
    if (dwReason == DLL_PROCESS_DETACH && lpReserved != NULL) {
        DeviceProcessEnds();
    }
    return TRUE;
}
