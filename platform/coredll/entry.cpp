// entry.cpp - the core library's entry point: what it learns when a process
// starts (nothing is done by static initialisers), and what a process leaves
// behind on its device when it ends.
#include "sim.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved)
{
    (void)hInstance;
    if (dwReason == DLL_PROCESS_ATTACH) {
        ClockAttach();
        SyncAttach();
        ProcessesAttach();
        CrashReportAttach();
    } else if (dwReason == DLL_PROCESS_DETACH && lpReserved != NULL) {
        // Only at the process's end (lpReserved set), not when a program unloads us.
        DeviceProcessEnds();
    }
    return TRUE;
}
