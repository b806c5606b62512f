// kernel.cpp - requests to the kernel. PLACEHOLDER: completed with the radio
// and reset work; until then every request is refused.
#include "sim.h"

extern "C" {

BOOL WINAPI CeKernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize,
                              LPVOID lpOutBuf, DWORD nOutBufSize, LPDWORD lpBytesReturned)
{
    Journal(L"KernelIoControl|0x%08lX|%lu", dwIoControlCode, nInBufSize);
    (void)lpInBuf, (void)lpOutBuf, (void)nOutBufSize, (void)lpBytesReturned;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

}  // extern "C"
