// files.cpp - the device's file store. Absolute device paths
// ("\Application Data\WiFi_status.txt") live in the device's Store folder;
// the stream functions themselves are the runtime library's.
#include "sim.h"

#include <stdio.h>

// The host path of a device path; other paths are left as they are.
static std::wstring HostPath(const wchar_t* pszPath)
{
    if (pszPath[0] == L'\\' && pszPath[1] != L'\\') {
        return DeviceFolder() + L"\\Store" + pszPath;
    }
    return pszPath;
}

bool DeviceHostPath(const wchar_t* pszPath, std::wstring* pHostPath)
{
    if (std::wstring(pszPath).find(L"\\..") != std::wstring::npos) {
        return false;
    }
    *pHostPath = HostPath(pszPath);
    return true;
}

extern "C" {

SIM_API DWORD WINAPI SimStorePath(LPCWSTR pszDevicePath, LPWSTR pszBuffer, DWORD cch)
{
    std::wstring path = HostPath(pszDevicePath ? pszDevicePath : L"\\");
    if (pszBuffer && cch > path.size()) {
        wcscpy(pszBuffer, path.c_str());
    }
    return (DWORD)path.size();
}

FILE* __cdecl Ce_wfopen(const wchar_t* filename, const wchar_t* mode)
{
    if (filename == NULL || mode == NULL) {
        return NULL;
    }
    std::wstring path;
    if (!DeviceHostPath(filename, &path)) {
        Journal(L"_wfopen|%ls|%ls|refused", filename, mode);
        return NULL;
    }
    DWORD error = FaultFor(L"_wfopen", filename);
    FILE* file = NULL;
    if (error == 0) {
        file = _wfopen(path.c_str(), mode);
    }
    Journal(L"_wfopen|%ls|%ls|%ls", filename, mode, file ? L"ok" : L"failed");
    return file;
}

}  // extern "C"
