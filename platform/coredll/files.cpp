// files.cpp - the device's file store. Device paths
// ("\Application Data\WiFi_status.txt") live in the device's Store folder and
// never reach outside it; the stream functions themselves are the runtime
// library's.
#include "sim.h"

#include <stdio.h>

// Names Windows keeps for its own devices, in any folder and with any
// extension: a file "con.txt" is the console, not a file.
bool IsReservedWindowsName(const std::wstring& name)
{
    static const wchar_t* const aNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.pop_back();
    }
    for (const wchar_t* reserved : aNames) {
        if (SameName(stem, reserved)) {
            return true;
        }
    }
    return stem.size() == 4 &&
           (SameName(stem.substr(0, 3), L"COM") || SameName(stem.substr(0, 3), L"LPT")) &&
           stem[3] >= L'0' && stem[3] <= L'9';
}

// The host path of a device path, inside the device's store whatever the
// path says: the device knows no drives, no host or device prefixes (\\?\,
// \\.\), no streams and no climbing out with "..". Either separator is taken;
// a path without a leading one starts at the root, as on the device. A path
// that cannot be held as it stands (a reserved name, a name the host would
// shorten by its trailing dots or spaces, a character no file name has) is
// refused rather than changed.
bool DeviceHostPath(const wchar_t* pszPath, std::wstring* pHostPath)
{
    std::wstring path = pszPath;
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    if (path.compare(0, 2, L"\\\\") == 0 || path.find_first_of(L":*?\"<>|") != std::wstring::npos) {
        return false;
    }
    std::wstring hostPath = DeviceFolder() + L"\\Store";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        std::wstring part =
            path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        start = end == std::wstring::npos ? path.size() + 1 : end + 1;
        if (part.empty() || part == L".") {
            continue;
        }
        for (wchar_t c : part) {
            if (c < L' ') {
                return false;
            }
        }
        if (part == L".." || part.back() == L'.' || part.back() == L' ' ||
            IsReservedWindowsName(part)) {
            return false;
        }
        hostPath += L"\\" + part;
    }
    if (hostPath.size() >= MAX_PATH) {
        return false;
    }
    *pHostPath = hostPath;
    return true;
}

HANDLE CreateFileEnded(LPCWSTR lpFileName, HANDLE h, DWORD error)
{
    if (error) {
        Journal(SIM_J_CREATE_FILE L"|%ls|failed %lu", lpFileName, error);
    } else {
        Journal(SIM_J_CREATE_FILE L"|%ls|opened", lpFileName);
    }
    SetLastError(error);
    return h;
}

extern "C" {

SIM_API DWORD WINAPI SimStorePath(LPCWSTR pszDevicePath, LPWSTR pszBuffer, DWORD cch)
{
    std::wstring path;
    if (!DeviceHostPath(pszDevicePath ? pszDevicePath : L"\\", &path)) {
        return 0;
    }
    if (pszBuffer && cch > path.size()) {
        wcscpy(pszBuffer, path.c_str());
    }
    return (DWORD)path.size();
}

// CreateFileW: stream devices ("NDL1:") are the device manager's; every other
// name is a device path in the store.
HANDLE WINAPI CeCreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                            LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                            DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    if (lpFileName == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (IsStreamDeviceName(lpFileName)) {
        return DevmgrOpenStream(lpFileName);
    }
    std::wstring path;
    DWORD error = DeviceHostPath(lpFileName, &path) ? 0 : ERROR_ACCESS_DENIED;
    if (error == 0) {
        error = FaultFor(L"CreateFileW", lpFileName);
    }
    HANDLE h = INVALID_HANDLE_VALUE;
    if (error == 0) {
        h = CreateFileW(path.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                        dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
        error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }
    return CreateFileEnded(lpFileName, h, error);
}

FILE* __cdecl Ce_wfopen(const wchar_t* filename, const wchar_t* mode)
{
    if (filename == NULL || mode == NULL) {
        return NULL;
    }
    std::wstring path;
    if (!DeviceHostPath(filename, &path)) {
        Journal(SIM_J_WFOPEN L"|%ls|%ls|refused", filename, mode);
        return NULL;
    }
    DWORD error = FaultFor(L"_wfopen", filename);
    FILE* file = NULL;
    if (error == 0) {
        file = _wfopen(path.c_str(), mode);
    }
    Journal(SIM_J_WFOPEN L"|%ls|%ls|%ls", filename, mode, file ? L"ok" : L"failed");
    return file;
}

}  // extern "C"
