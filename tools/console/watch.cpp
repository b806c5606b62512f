// watch.cpp - follows the device: host registry change notifications on the
// device's HKLM, its settings and its kernel record, and the tail of its
// debug output (C:\Handheld\NAME\debug.log), read on the console's timer.
#include "console.h"

#include <handheld.h>

static const wchar_t* const g_aWatchedKeys[] = {L"HKLM", L"Settings", L"Kernel"};
#define WATCHED_KEYS (sizeof(g_aWatchedKeys) / sizeof(g_aWatchedKeys[0]))

static HKEY g_ahWatchKey[WATCHED_KEYS];      // the keys watched now (NULL: none)
static HANDLE g_ahWatchEvent[WATCHED_KEYS];  // signalled when one of them changes
static LONGLONG g_llLogOffset = 0;           // bytes of debug.log shown so far
static std::string g_sLogPartial;            // a last line not yet ended

#define LOG_MAX_LINES 2000

// Watches one key with its subtree; a key that is missing now (a reset is
// deleting and making it anew) is watched through the device's own key.
static void Arm(size_t i)
{
    if (g_ahWatchKey[i]) {
        RegCloseKey(g_ahWatchKey[i]);
        g_ahWatchKey[i] = NULL;
    }
    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, DeviceHostKey(g_aWatchedKeys[i]).c_str(), 0,
                      KEY_NOTIFY | KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_CURRENT_USER, DeviceHostKey(NULL).c_str(), 0,
                      KEY_NOTIFY | KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) {
        return;  // no device at all: the timer's refresh still shows that
    }
    if (RegNotifyChangeKeyValue(hKey, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                g_ahWatchEvent[i], TRUE) != ERROR_SUCCESS) {
        RegCloseKey(hKey);
        return;
    }
    g_ahWatchKey[i] = hKey;
}

void WatchStart()
{
    for (size_t i = 0; i < WATCHED_KEYS; i++) {
        g_ahWatchEvent[i] = CreateEventW(NULL, FALSE, FALSE, NULL);
        Arm(i);
    }
}

DWORD WatchHandles(HANDLE* aHandles, DWORD cMax)
{
    DWORD n = 0;
    for (size_t i = 0; i < WATCHED_KEYS && n < cMax; i++) {
        aHandles[n++] = g_ahWatchEvent[i];
    }
    return n;
}

static bool KeyIsGone(HKEY hKey)
{
    DWORD subkeys = 0;
    return RegQueryInfoKeyW(hKey, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL,
                            NULL) != ERROR_SUCCESS;
}

// A notification fires once: a key whose event fired is watched again on the
// same handle. A key deleted since (a factory reset) is opened again by its
// path. Keys are never closed otherwise: closing a watched key signals its
// event, and a console that re-opened every key at each signal would chase
// its own tail.
void WatchRearm(const bool* abFired)
{
    for (size_t i = 0; i < WATCHED_KEYS; i++) {
        if (!g_ahWatchKey[i] || KeyIsGone(g_ahWatchKey[i])) {
            Arm(i);
        } else if (abFired[i] &&
                   RegNotifyChangeKeyValue(g_ahWatchKey[i], TRUE,
                                           REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                           g_ahWatchEvent[i], TRUE) != ERROR_SUCCESS) {
            Arm(i);
        }
    }
}

// A factory reset deletes the device's HKLM and settings keys and makes them
// anew; a watch on the deleted key never fires again (Wine does not signal it
// for the delete). True when a watched key is gone or could not be watched.
bool WatchIsStale()
{
    for (size_t i = 0; i < WATCHED_KEYS; i++) {
        if (!g_ahWatchKey[i] || KeyIsGone(g_ahWatchKey[i])) {
            return true;
        }
    }
    return false;
}

// Adds what debug.log gained since the last look. A log that shrank was
// started anew: the list starts again too. The first look shows the last
// 32 KB only.
void LogTail(HWND hList, bool bFirst)
{
    WCHAR folder[MAX_PATH] = L"";
    SimDeviceFolder(folder, MAX_PATH);
    std::wstring path = std::wstring(folder) + L"\\debug.log";
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(h, &size);
    if (size.QuadPart < g_llLogOffset) {
        SendMessageW(hList, LB_RESETCONTENT, 0, 0);
        g_llLogOffset = 0;
        g_sLogPartial.clear();
    }
    if (bFirst && size.QuadPart > 32768) {
        g_llLogOffset = size.QuadPart - 32768;
    }
    std::string data;
    if (size.QuadPart > g_llLogOffset) {
        LARGE_INTEGER at;
        at.QuadPart = g_llLogOffset;
        SetFilePointerEx(h, at, NULL, FILE_BEGIN);
        data.resize((size_t)(size.QuadPart - g_llLogOffset));
        DWORD got = 0;
        ReadFile(h, &data[0], (DWORD)data.size(), &got, NULL);
        data.resize(got);
        g_llLogOffset += got;
    }
    CloseHandle(h);
    if (data.empty()) {
        return;
    }
    g_sLogPartial += data;
    size_t start = 0, end;
    bool added = false;
    while ((end = g_sLogPartial.find('\n', start)) != std::string::npos) {
        std::string line = g_sLogPartial.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        SendMessageW(hList, LB_ADDSTRING, 0, (LPARAM)WideText(line).c_str());
        added = true;
        start = end + 1;
    }
    g_sLogPartial.erase(0, start);
    if (!added) {
        return;
    }
    LRESULT count = SendMessageW(hList, LB_GETCOUNT, 0, 0);
    while (count > LOG_MAX_LINES) {
        SendMessageW(hList, LB_DELETESTRING, 0, 0);
        count--;
    }
    SendMessageW(hList, LB_SETTOPINDEX, (WPARAM)(count > 0 ? count - 1 : 0), 0);
}
