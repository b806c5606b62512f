// watch.cpp - follows the device: host registry change notifications on the
// device's HKLM, its settings and its kernel record, and the tail of its
// debug output (C:\Handheld\NAME\debug.log), read on the console's timer.
#include "console.h"

#include <handheld.h>

static const wchar_t* const kWatchedKeys[] = {L"HKLM", L"Settings", L"Kernel"};
#define WATCHED_KEYS (sizeof(kWatchedKeys) / sizeof(kWatchedKeys[0]))

static HKEY g_watchKeys[WATCHED_KEYS];      // the keys watched now (NULL: none)
static HANDLE g_watchEvents[WATCHED_KEYS];  // signalled when one of them changes
static LONGLONG g_logOffset = 0;            // bytes of debug.log shown so far
static std::string g_logPartial;            // a last line not yet ended

#define LOG_MAX_LINES 2000

// Watches one key with its subtree; a key that is missing now (a reset is
// deleting and making it anew) is watched through the device's own key.
static void Arm(size_t i)
{
    if (g_watchKeys[i]) {
        RegCloseKey(g_watchKeys[i]);
        g_watchKeys[i] = NULL;
    }
    HKEY hKey = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, DeviceHostKey(kWatchedKeys[i]).c_str(), 0,
                      KEY_NOTIFY | KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS &&
        RegOpenKeyExW(HKEY_CURRENT_USER, DeviceHostKey(NULL).c_str(), 0,
                      KEY_NOTIFY | KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) {
        return;  // no device at all: the timer's refresh still shows that
    }
    if (RegNotifyChangeKeyValue(hKey, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                g_watchEvents[i], TRUE) != ERROR_SUCCESS) {
        RegCloseKey(hKey);
        return;
    }
    g_watchKeys[i] = hKey;
}

void WatchStart()
{
    for (size_t i = 0; i < WATCHED_KEYS; i++) {
        g_watchEvents[i] = CreateEventW(NULL, FALSE, FALSE, NULL);
        Arm(i);
    }
}

DWORD WatchHandles(HANDLE* aHandles, DWORD cMax)
{
    DWORD n = 0;
    for (size_t i = 0; i < WATCHED_KEYS && n < cMax; i++) {
        aHandles[n++] = g_watchEvents[i];
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
        if (!g_watchKeys[i] || KeyIsGone(g_watchKeys[i])) {
            Arm(i);
        } else if (abFired[i] &&
                   RegNotifyChangeKeyValue(g_watchKeys[i], TRUE,
                                           REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                           g_watchEvents[i], TRUE) != ERROR_SUCCESS) {
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
        if (!g_watchKeys[i] || KeyIsGone(g_watchKeys[i])) {
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
    if (size.QuadPart < g_logOffset) {
        SendMessageW(hList, LB_RESETCONTENT, 0, 0);
        g_logOffset = 0;
        g_logPartial.clear();
    }
    if (bFirst && size.QuadPart > 32768) {
        g_logOffset = size.QuadPart - 32768;
    }
    std::string data;
    if (size.QuadPart > g_logOffset) {
        LARGE_INTEGER at;
        at.QuadPart = g_logOffset;
        SetFilePointerEx(h, at, NULL, FILE_BEGIN);
        data.resize((size_t)(size.QuadPart - g_logOffset));
        DWORD got = 0;
        ReadFile(h, &data[0], (DWORD)data.size(), &got, NULL);
        data.resize(got);
        g_logOffset += got;
    }
    CloseHandle(h);
    if (data.empty()) {
        return;
    }
    g_logPartial += data;
    size_t start = 0, end;
    bool added = false;
    while ((end = g_logPartial.find('\n', start)) != std::string::npos) {
        std::string line = g_logPartial.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        SendMessageW(hList, LB_ADDSTRING, 0, (LPARAM)WideText(line).c_str());
        added = true;
        start = end + 1;
    }
    g_logPartial.erase(0, start);
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
