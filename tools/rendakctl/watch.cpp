// watch.cpp - follows the device and prints each change as it happens: the
// system state value "WiFi" (every value the notification delivers), and, by
// comparing readings, the radios' power, the stored domain, the card and its
// driver, and reload signals that other programs journal to journal.log.
#include "rendakctl.h"

#include <handheld.h>
#define WINCE_HOST_CRT
#include <wince.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <limits.h>
#include <mutex>
#include <stdio.h>

#define POLL_MS 100  // readings of what has no notification
#define SIGNAL_LINE "EventModify|Olbrin_ReloadWiFi|3|1"

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

static long g_lSeq = 0;  // lines printed, "now" included

// Starts a line: its kind, its number, host and device time.
static std::string LineHead(const Options& opt, const char* kind)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char when[32];
    snprintf(when, sizeof(when), "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond,
             t.wMilliseconds);
    if (opt.json) {
        return "{\"event\":\"" + std::string(kind) + "\",\"seq\":" + std::to_string(g_lSeq++) +
               ",\"time\":\"" + when + "\",\"device_ms\":" + std::to_string(SimNow());
    }
    g_lSeq++;
    char head[48];
    snprintf(head, sizeof(head), "%s  %-7s", when, kind);
    return head;
}

static void Emit(const Options& opt, const std::string& line)
{
    printf("%s%s\n", line.c_str(), opt.json ? "}" : "");
    fflush(stdout);
}

static std::string StateText(const Options& opt, const std::optional<DWORD>& value)
{
    if (opt.json) {
        return ",\"value\":" + JsonNumberOrNull(value) +
               ",\"hex\":" + (value ? JsonString(Hex(*value, 3)) : std::string("null")) +
               ",\"bits\":" + (value ? StateBitsJson(*value) : std::string("[]"));
    }
    return value ? " " + Hex(*value, 3) + "  " + StateBitsText(*value) : " missing";
}

// --- what is read by comparing -------------------------------------------------

struct Reading {
    bool card = true;
    bool driver = true;
    std::optional<DWORD> driverWiFi;  // the adapter's "WIFI"
    std::optional<DWORD> code;        // the adapter's "Domain"
    std::optional<DWORD> mask;        // "ChannelDomain"
    std::vector<SimRadioInfo> radios;
};

static Reading Read()
{
    Reading r;
    r.card = CardInserted();
    r.driver = DriverActive();
    r.driverWiFi = DeviceDword(ADAPTER_KEY, L"WIFI");
    r.code = DeviceDword(ADAPTER_KEY, L"Domain");
    r.mask = DeviceDword(VENDOR_KEY, L"ChannelDomain");
    r.radios = ModelRadios();
    return r;
}

static std::string DriverText(const Options& opt, const Reading& r)
{
    const char* wifi = !r.driverWiFi ? NULL : *r.driverWiFi ? "on" : "off";
    if (opt.json) {
        return std::string(",\"card\":") + (r.card ? "\"inserted\"" : "\"ejected\"") +
               ",\"driver\":" + (r.card && r.driver ? "\"loaded\"" : "\"not loaded\"") +
               ",\"wifi_parameter\":" + (wifi ? JsonString(wifi) : std::string("null"));
    }
    return std::string(" card ") + (r.card ? "inserted" : "ejected") + ", driver " +
           (r.card && r.driver ? "loaded" : "not loaded") + ", \"WIFI\" " +
           (wifi ? wifi : "missing");
}

static std::string DomainText(const Options& opt, const Reading& r)
{
    int index = DomainIndexOfCode(r.code.value_or(0));
    const char* name = index >= 0 ? g_aDomains[index].name : NULL;
    std::string channels = r.mask ? ChannelText(*r.mask) : "none";
    if (opt.json) {
        return ",\"index\":" + (index >= 0 ? std::to_string(index) : std::string("null")) +
               ",\"name\":" + (name ? JsonString(name) : std::string("null")) +
               ",\"code\":" + (r.code ? JsonString(Hex(*r.code, 2)) : std::string("null")) +
               ",\"mask\":" + (r.mask ? JsonString(Hex(*r.mask, 4)) : std::string("null")) +
               ",\"channels\":" + JsonString(channels);
    }
    return std::string(" ") + (name ? name : "(code not in the table)") + ", code " +
           (r.code ? Hex(*r.code, 2) : std::string("missing")) + ", channels " + channels;
}

static std::string RadioText(const Options& opt, const SimRadioInfo& r, bool removed)
{
    bool listed = r.listed && !removed;
    if (opt.json) {
        return ",\"name\":" + JsonString(r.name) + ",\"display\":" + JsonString(r.display) +
               ",\"type\":" + JsonString(RadioTypeName(r.type)) +
               ",\"power\":" + (r.on ? "\"on\"" : "\"off\"") +
               ",\"listed\":" + (listed ? "true" : "false") + (removed ? ",\"removed\":true" : "");
    }
    return " " + r.name + " (" + r.display + ") " + (r.on ? "on" : "off") +
           (removed  ? ", removed from the list"
            : listed ? ""
                     : ", not listed");
}

static const SimRadioInfo* FindRadio(const std::vector<SimRadioInfo>& radios,
                                     const std::string& name)
{
    for (const SimRadioInfo& r : radios) {
        if (r.name == name) {
            return &r;
        }
    }
    return NULL;
}

// Prints what changed from `was` to `now`, driver first, then the radios, then
// the domain; returns how many lines, at most `room`.
static long PrintDifferences(const Options& opt, const Reading& was, const Reading& now, long room)
{
    long n = 0;
    if (n < room &&
        (was.card != now.card || was.driver != now.driver || was.driverWiFi != now.driverWiFi)) {
        Emit(opt, LineHead(opt, "driver") + DriverText(opt, now));
        n++;
    }
    for (const SimRadioInfo& r : now.radios) {
        const SimRadioInfo* old = FindRadio(was.radios, r.name);
        if (n < room && (!old || old->on != r.on || old->listed != r.listed)) {
            Emit(opt, LineHead(opt, "radio") + RadioText(opt, r, false));
            n++;
        }
    }
    for (const SimRadioInfo& r : was.radios) {
        if (n < room && !FindRadio(now.radios, r.name)) {
            Emit(opt, LineHead(opt, "radio") + RadioText(opt, r, true));
            n++;
        }
    }
    if (n < room && (was.code != now.code || was.mask != now.mask)) {
        Emit(opt, LineHead(opt, "domain") + DomainText(opt, now));
        n++;
    }
    return n;
}

// --- reload signals: what other programs journal -----------------------------------

static std::wstring JournalLogPath()
{
    std::wstring folder(SimDeviceFolder(NULL, 0) + 1, L'\0');
    DWORD n = SimDeviceFolder(&folder[0], (DWORD)folder.size());
    folder.resize(n);
    return folder + L"\\journal.log";
}

static std::streamoff FileEnd(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary | std::ios::ate);
    return in ? (std::streamoff)in.tellg() : 0;
}

// Counts the reload signals journalled since `*pAt`, whole lines only.
static long NewSignals(const std::wstring& path, std::streamoff* pAt)
{
    std::ifstream in(path.c_str(), std::ios::binary | std::ios::ate);
    if (!in) {
        *pAt = 0;
        return 0;
    }
    std::streamoff end = in.tellg();
    if (end < *pAt) {
        *pAt = 0;  // the device was reset: the log started again
    }
    in.seekg(*pAt);
    std::string chunk((size_t)(end - *pAt), '\0');
    in.read(&chunk[0], (std::streamsize)chunk.size());
    long signals = 0;
    size_t start = 0;
    for (size_t nl; (nl = chunk.find('\n', start)) != std::string::npos; start = nl + 1) {
        signals += chunk.compare(start, nl - start, SIGNAL_LINE) == 0;
    }
    *pAt += (std::streamoff)start;
    return signals;
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
    Reading reading = Read();
    std::wstring journal = JournalLogPath();
    std::streamoff journalAt = FileEnd(journal);
    fprintf(stderr,
            "watching device %s: the state value \"WiFi\" (%s), radios, domain, driver, and "
            "reload signals journalled to journal.log by programs run with HANDHELD_JOURNAL=1; "
            "Ctrl+C ends\n",
            Utf8(SimDeviceName()).c_str(), hNotify ? "notified" : "polled");
    fflush(stderr);
    if (opt.json) {
        std::string radios;
        for (const SimRadioInfo& r : reading.radios) {
            radios += (radios.empty() ? "{\"event\":\"radio\"" : ",{\"event\":\"radio\"") +
                      RadioText(opt, r, false) + "}";
        }
        Emit(opt, LineHead(opt, "now") + ",\"state\":{\"event\":\"state\"" + StateText(opt, last) +
                      "},\"driver\":{\"event\":\"driver\"" + DriverText(opt, reading) +
                      "},\"domain\":{\"event\":\"domain\"" + DomainText(opt, reading) +
                      "},\"radios\":[" + radios + "]");
    } else {
        Emit(opt, LineHead(opt, "now") + StateText(opt, last));
        Emit(opt, LineHead(opt, "now") + DriverText(opt, reading));
        Emit(opt, LineHead(opt, "now") + DomainText(opt, reading));
        for (const SimRadioInfo& r : reading.radios) {
            Emit(opt, LineHead(opt, "now") + RadioText(opt, r, false));
        }
    }
    long seen = 0;
    const long room = limit ? limit : LONG_MAX;
    while (!g_bStop && seen < room) {
        WaitForSingleObject(g_hChanged, POLL_MS);
        // Causes before effects: a signal, then the card and radios, then the
        // state value that follows them.
        for (long k = NewSignals(journal, &journalAt); k > 0 && seen < room && !g_bStop; k--) {
            Emit(opt, LineHead(opt, "reload") + (opt.json ? ",\"name\":\"Olbrin_ReloadWiFi\""
                                                          : " \"Olbrin_ReloadWiFi\" signalled"));
            seen++;
        }
        Reading now = Read();
        if (!g_bStop) {
            seen += PrintDifferences(opt, reading, now, room - seen);
        }
        reading = now;
        std::deque<std::optional<DWORD>> values;
        if (hNotify) {
            std::lock_guard<std::mutex> lock(g_changesLock);
            values.swap(g_changes);
        } else {
            values.push_back(DeviceDword(STATE_KEY, L"WiFi"));
        }
        for (const std::optional<DWORD>& v : values) {
            if (v != last && seen < room && !g_bStop) {
                Emit(opt, LineHead(opt, "state") + StateText(opt, v));
                seen++;
            }
            last = v;
        }
    }
    if (hNotify) {
        RegistryCloseNotification(hNotify);
    }
    return EXIT_DONE;
}
