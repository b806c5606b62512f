// registry.cpp - the device's registry. HKEY_LOCAL_MACHINE is the device's
// own subtree of the host registry, whose names already compare without
// regard to case; on top of the desktop calls come the device's rules (a key
// opened with access 0 can be read), the journal and fault injection.
#include "sim.h"

#include <map>
#include <mutex>

static std::mutex g_keyLock;
static std::map<HKEY, std::wstring> g_keyPaths;  // open device keys and their paths

static std::wstring Join(const std::wstring& parent, LPCWSTR sub)
{
    if (sub == NULL || *sub == L'\0') {
        return parent;
    }
    return parent.empty() ? std::wstring(sub) : parent + L"\\" + sub;
}

// Resolves a parent key: HKEY_LOCAL_MACHINE becomes the device's root.
static bool Resolve(HKEY hKey, HKEY* phHost, std::wstring* pPath)
{
    if (hKey == HKEY_LOCAL_MACHINE) {
        *phHost = DeviceRegistryRoot();
        pPath->clear();
        return *phHost != NULL;
    }
    std::lock_guard<std::mutex> lock(g_keyLock);
    auto it = g_keyPaths.find(hKey);
    *phHost = hKey;
    *pPath = it != g_keyPaths.end() ? it->second : L"?";
    return true;
}

static std::wstring PathOf(HKEY hKey)
{
    std::lock_guard<std::mutex> lock(g_keyLock);
    auto it = g_keyPaths.find(hKey);
    return it != g_keyPaths.end() ? it->second : L"?";
}

// A path for the notification service: NULL for a key this layer did not open.
static const wchar_t* KnownPath(const std::wstring& path)
{
    return path == L"?" ? NULL : path.c_str();
}

static void Track(HKEY hKey, const std::wstring& path)
{
    std::lock_guard<std::mutex> lock(g_keyLock);
    g_keyPaths[hKey] = path;
}

// The device grants reading to a key opened with no access at all.
static REGSAM HostAccess(REGSAM sam)
{
    return sam == 0 ? KEY_READ : sam;
}

// Opening and creating a key of the device alike: the device's rules on the
// host's call (made by call, on a host key), faults, the journal, and a root
// that another process made anew (a reset) opened again.
template <typename Call>
static LONG OpenOrCreateKey(const wchar_t* pszKind, HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired,
                            PHKEY phkResult, Call call)
{
    HKEY hHost;
    std::wstring parent;
    if (!Resolve(hKey, &hHost, &parent)) {
        return ERROR_INVALID_HANDLE;
    }
    std::wstring path = Join(parent, lpSubKey);
    LONG r = (LONG)FaultFor(pszKind, path);
    if (r == 0) {
        r = call(hHost);
        if (r == ERROR_KEY_DELETED && hKey == HKEY_LOCAL_MACHINE) {
            r = call(DeviceReopenRoot());
        }
    }
    if (r == ERROR_SUCCESS) {
        Track(*phkResult, path);
    }
    Journal(L"%ls|%ls|0x%lX|%ld", pszKind, path.c_str(), (unsigned long)samDesired, r);
    return r;
}

extern "C" {

LONG WINAPI CeRegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                            PHKEY phkResult)
{
    return OpenOrCreateKey(SIM_J_REG_OPEN, hKey, lpSubKey, samDesired, phkResult, [&](HKEY hHost) {
        return RegOpenKeyExW(hHost, lpSubKey, ulOptions, HostAccess(samDesired), phkResult);
    });
}

LONG WINAPI CeRegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                              DWORD dwOptions, REGSAM samDesired,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                              LPDWORD lpdwDisposition)
{
    return OpenOrCreateKey(SIM_J_REG_CREATE, hKey, lpSubKey, samDesired, phkResult,
                           [&](HKEY hHost) {
                               return RegCreateKeyExW(hHost, lpSubKey, Reserved, lpClass, dwOptions,
                                                      HostAccess(samDesired), lpSecurityAttributes,
                                                      phkResult, lpdwDisposition);
                           });
}

LONG WINAPI CeRegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                               LPBYTE lpData, LPDWORD lpcbData)
{
    std::wstring target = Join(PathOf(hKey), lpValueName ? lpValueName : L"");
    LONG r = (LONG)FaultFor(L"RegQueryValueExW", target);
    if (r == 0) {
        r = RegQueryValueExW(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
    }
    Journal(SIM_J_REG_QUERY L"|%ls|%ld", target.c_str(), r);
    return r;
}

LONG WINAPI CeRegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                             const BYTE* lpData, DWORD cbData)
{
    std::wstring keyPath = PathOf(hKey);
    std::wstring target = Join(keyPath, lpValueName ? lpValueName : L"");
    LONG r = (LONG)FaultFor(L"RegSetValueExW", target);
    if (r == 0) {
        r = RegSetValueExW(hKey, lpValueName, Reserved, dwType, lpData, cbData);
    }
    if (dwType == REG_DWORD && cbData == sizeof(DWORD) && lpData) {
        Journal(SIM_J_REG_SET L"|%ls|0x%lX|%ld", target.c_str(), *(const DWORD*)lpData, r);
    } else {
        Journal(SIM_J_REG_SET L"|%ls|type %lu, %lu bytes|%ld", target.c_str(), dwType, cbData, r);
    }
    if (r == ERROR_SUCCESS) {
        NotifyPoke(KnownPath(keyPath));
    }
    return r;
}

LONG WINAPI CeRegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    std::wstring keyPath = PathOf(hKey);
    std::wstring target = Join(keyPath, lpValueName ? lpValueName : L"");
    LONG r = (LONG)FaultFor(L"RegDeleteValueW", target);
    if (r == 0) {
        r = RegDeleteValueW(hKey, lpValueName);
    }
    Journal(SIM_J_REG_DELETE L"|%ls|%ld", target.c_str(), r);
    if (r == ERROR_SUCCESS) {
        NotifyPoke(KnownPath(keyPath));
    }
    return r;
}

// On the device a flush commits the whole registry before it returns; the
// host's own flush does not reach the disk, so the device's commit does.
LONG WINAPI CeRegFlushKey(HKEY hKey)
{
    std::wstring path = PathOf(hKey);
    LONG r = (LONG)FaultFor(L"RegFlushKey", path);
    if (r == 0) {
        r = RegFlushKey(hKey);
    }
    if (r == ERROR_SUCCESS && !DeviceCommit()) {
        r = ERROR_WRITE_FAULT;
    }
    Journal(SIM_J_REG_FLUSH L"|%ls|%ld", path.c_str(), r);
    return r;
}

LONG WINAPI CeRegCloseKey(HKEY hKey)
{
    std::wstring path;
    {
        std::lock_guard<std::mutex> lock(g_keyLock);
        auto it = g_keyPaths.find(hKey);
        if (it != g_keyPaths.end()) {
            path = it->second;
            g_keyPaths.erase(it);
        }
    }
    LONG r = RegCloseKey(hKey);
    Journal(SIM_J_REG_CLOSE L"|%ls|%ld", path.c_str(), r);
    return r;
}

}  // extern "C"
