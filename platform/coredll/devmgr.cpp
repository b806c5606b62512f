// devmgr.cpp - the device manager. PLACEHOLDER: completed with the start-up
// work; until then there is no "NDL1:" and no driver can be activated.
#include "sim.h"

void DevmgrForgetHandle(HANDLE h) { (void)h; }

extern "C" {

HANDLE WINAPI CeCreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                            DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                            HANDLE hTemplateFile)
{
    Journal(L"CreateFileW|%ls", lpFileName ? lpFileName : L"");
    (void)dwDesiredAccess, (void)dwShareMode, (void)lpSecurityAttributes,
        (void)dwCreationDisposition, (void)dwFlagsAndAttributes, (void)hTemplateFile;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI CeGetDeviceInformationByFileHandle(HANDLE hFile, PDEVMGR_DEVICE_INFORMATION pdi)
{
    (void)hFile, (void)pdi;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

HANDLE WINAPI CeActivateDeviceEx(LPCWSTR lpszDevKey, LPCREGINI lpReg, DWORD cReg, LPVOID lpvParam)
{
    Journal(L"ActivateDeviceEx|%ls", lpszDevKey ? lpszDevKey : L"");
    (void)lpReg, (void)cReg, (void)lpvParam;
    SetLastError(ERROR_NOT_SUPPORTED);
    return NULL;
}

BOOL WINAPI CeDeactivateDevice(HANDLE hDevice)
{
    (void)hDevice;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

}  // extern "C"
