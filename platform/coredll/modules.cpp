// modules.cpp - loading modules and finding their exports by wide name.
#include "sim.h"

extern "C" {

HMODULE WINAPI CeLoadLibraryW(LPCWSTR lpLibFileName)
{
    if (lpLibFileName == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    DWORD error = FaultFor(L"LoadLibraryW", lpLibFileName);
    HMODULE h = NULL;
    if (error) {
        SetLastError(error);
    } else {
        h = LoadLibraryW(lpLibFileName);
        error = h ? 0 : GetLastError();
    }
    Journal(SIM_J_LOAD_LIBRARY L"|%ls|%ls", lpLibFileName, h ? L"loaded" : L"failed");
    SetLastError(error);
    return h;
}

FARPROC WINAPI CeGetProcAddressW(HMODULE hModule, LPCWSTR lpProcName)
{
    if (hModule == NULL || lpProcName == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    if (IS_INTRESOURCE(lpProcName)) {
        return GetProcAddress(hModule, (LPCSTR)lpProcName);
    }
    char szName[256];
    if (!WideCharToMultiByte(CP_ACP, 0, lpProcName, -1, szName, sizeof(szName), NULL, NULL)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    FARPROC p = NULL;
    DWORD error = FaultFor(L"GetProcAddressW", lpProcName);
    if (error == 0) {
        p = GetProcAddress(hModule, szName);
        error = p ? 0 : GetLastError();
    }
    Journal(SIM_J_GET_PROC L"|%ls|%ls", lpProcName, p ? L"found" : L"failed");
    SetLastError(error);
    return p;
}

}  // extern "C"
