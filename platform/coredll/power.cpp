// power.cpp - the battery, simulated. A power cut ends every process of the
// device at once and starts the device again as after a battery pull: its
// registry as last committed, its files as last closed, the radios off, the
// adapter's driver loaded when its card is in, and the state value as a fresh
// boot sets it. Observers (the device console) and the process that cuts the
// power are not the device's and keep running.
#include "sim.h"

extern "C" SIM_API DWORD WINAPI SimPowerCut(void)
{
    std::wstring name = DeviceName();
    DWORD ended = 0;
    {
        DeviceLock lock(name);
        ended = EndDeviceProcesses(name, SIM_EXIT_POWER_CUT, true);
        DeviceRestoreCommitted(name);
        DeviceReopenRoot();
        KernelBootAfterPowerCut();
        AdapterBoot();
        DeviceCommit();
    }
    Journal(SIM_J_DEVICE L"|power|cut|%lu", (unsigned long)ended);
    wchar_t line[160];
    swprintf(line, 160,
             L"Power cut: %lu process(es) ended; started again from the registry as committed",
             (unsigned long)ended);
    DebugLine(line);
    return ended;
}
