// watch.cpp - follows the system state value "WiFi" and prints each change as
// it happens, like a radio-event monitor.
#include "rendakctl.h"

#include <handheld.h>
#define WINCE_HOST_CRT
#include <wince.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <stdio.h>

#define POLL_MS 100  // when the platform offers no notification

static std::atomic<bool> g_bStop{false};            // Ctrl+C or Ctrl+Break
static std::mutex g_changesLock;                    // guards g_changes
static std::deque<std::optional<DWORD>> g_changes;  // delivered, not yet printed
static HANDLE g_hChanged = NULL;                    // set when g_changes grows

static BOOL WINAPI OnConsoleBreak(DWORD dwType)
{
    (void)dwType;
    g_bStop = true;
    if (g_hChanged) {
        SetEvent(g_hChanged);
    }
    return TRUE;
}

// Runs on a platform thread after each change, with the value's new contents.
static void OnStateChanged(HREGNOTIFY hNotify, DWORD dwUserData, const PBYTE pData,
                           const UINT cbData)
{
    (void)hNotify, (void)dwUserData;
    std::optional<DWORD> value;
    if (pData && cbData >= sizeof(DWORD)) {
        value = *(const DWORD*)pData;
    }
    {
        std::lock_guard<std::mutex> lock(g_changesLock);
        g_changes.push_back(value);
    }
    SetEvent(g_hChanged);
}

static void PrintState(const Options& opt, const char* what, const std::optional<DWORD>& value)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char when[32];
    snprintf(when, sizeof(when), "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond,
             t.wMilliseconds);
    if (opt.json) {
        std::string bits;
        if (value) {
            for (const std::string& b : StateBitNames(*value)) {
                bits += (bits.empty() ? "" : ",") + JsonString(b);
            }
        }
        printf("{\"event\":\"%s\",\"time\":\"%s\",\"device_ms\":%llu,\"value\":%s,\"bits\":[%s]}\n",
               what, when, (unsigned long long)SimNow(), JsonNumberOrNull(value).c_str(),
               bits.c_str());
    } else if (value) {
        printf("%s  %-7s %s  %s\n", when, what, Hex(*value, 3).c_str(),
               StateBitsText(*value).c_str());
    } else {
        printf("%s  %-7s missing\n", when, what);
    }
    fflush(stdout);
}

// Registers for changes through the OS services; NULL when the platform cannot.
static HREGNOTIFY Register()
{
    typedef LONG(WINAPI * REGOPENKEYEXW)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    REGOPENKEYEXW pfnOpen =
        (REGOPENKEYEXW)(void*)GetProcAddress(GetModuleHandleW(L"coredll.dll"), "RegOpenKeyExW");
    HKEY hKey;
    if (pfnOpen == NULL || pfnOpen(HKEY_LOCAL_MACHINE, STATE_KEY, 0, 0, &hKey) != ERROR_SUCCESS) {
        return NULL;
    }
    HREGNOTIFY hNotify = NULL;
    if (FAILED(RegistryNotifyCallback(hKey, NULL, L"WiFi", OnStateChanged, 0, NULL, &hNotify))) {
        hNotify = NULL;
    }
    // The registration keeps what it needs; the key is the caller's to close.
    typedef LONG(WINAPI * REGCLOSEKEY)(HKEY);
    REGCLOSEKEY pfnClose =
        (REGCLOSEKEY)(void*)GetProcAddress(GetModuleHandleW(L"coredll.dll"), "RegCloseKey");
    if (pfnClose) {
        pfnClose(hKey);
    }
    return hNotify;
}

int CmdWatch(const Options& opt, const std::vector<std::string>& args)
{
    long limit = 0;  // 0: until interrupted
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--count" && i + 1 < args.size()) {
            const std::string& n = args[++i];
            char* end = NULL;
            limit = strtol(n.c_str(), &end, 10);
            if (n.empty() || *end != '\0' || limit < 1 || n[0] == '+') {
                return UsageError("--count needs a whole number of changes, 1 or more, not \"" + n +
                                  "\"");
            }
        } else if (args[i] == "--count") {
            return UsageError("--count needs a number of changes");
        } else {
            return UsageError("unexpected word \"" + args[i] +
                              "\" after \"watch\"; only --count N");
        }
    }
    g_hChanged = CreateEventW(NULL, FALSE, FALSE, NULL);
    SetConsoleCtrlHandler(OnConsoleBreak, TRUE);
    std::optional<DWORD> last = DeviceDword(STATE_KEY, L"WiFi");
    HREGNOTIFY hNotify = Register();
    fprintf(stderr,
            "watching \"WiFi\" under System\\State\\Hardware on device %s (%s); Ctrl+C ends\n",
            Utf8(SimDeviceName()).c_str(), hNotify ? "notified" : "polled");
    PrintState(opt, "now", last);
    long seen = 0;
    while (!g_bStop && (limit == 0 || seen < limit)) {
        std::optional<DWORD> next;
        bool changed = false;
        if (hNotify) {
            WaitForSingleObject(g_hChanged, INFINITE);
            std::lock_guard<std::mutex> lock(g_changesLock);
            if (!g_changes.empty()) {
                next = g_changes.front();
                g_changes.pop_front();
                changed = true;
                if (!g_changes.empty()) {
                    SetEvent(g_hChanged);
                }
            }
        } else {
            WaitForSingleObject(g_hChanged, POLL_MS);
            next = DeviceDword(STATE_KEY, L"WiFi");
            changed = next != last;
        }
        if (changed && !g_bStop) {
            PrintState(opt, "change", next);
            last = next;
            seen++;
        }
    }
    if (hNotify) {
        RegistryCloseNotification(hNotify);
    }
    return EXIT_DONE;
}
