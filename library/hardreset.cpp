// hardreset.cpp - cold-resetting the device through the kernel.
#include "internal.h"

#define COLD_RESET_REQUEST 1

void WINAPI HardReset(void)
{
    DWORD dwRequest = COLD_RESET_REQUEST;
    if (!KernelIoControl(IOCTL_OEM_COLDRESET, &dwRequest, sizeof(dwRequest), NULL, 0, NULL)) {
        MessageBoxW(GetForegroundWindow(),
                    L"HardReset() : Calling KernelIoControl() with IOCTL_OEM_COLDRESET fails!",
                    ERROR_CAPTION, ERROR_BOX_FLAGS);
        return;
    }
    // The clock is re-initialised with the device's own current time.
    SYSTEMTIME stNow;
    GetLocalTime(&stNow);
    KernelIoControl(IOCTL_HAL_INIT_RTC, &stNow, sizeof(stNow), NULL, 0, NULL);
    KernelIoControl(IOCTL_HAL_REBOOT, NULL, 0, NULL, 0, NULL);
}
