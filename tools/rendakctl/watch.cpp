// watch.cpp - follows the device and prints each change as it happens: the
// system state value "WiFi" (every value the notification delivers), and, by
// comparing readings, the radios' power, the stored domain, the card and its
// driver, and reload signals that other programs journal to journal.log. The
// last line says why it ended.
#include "rendakctl.h"

#include <handheld.h>
#define WINCE_HOST_CRT
#include <wince.h>

#include <deque>
#include <mutex>
#include <stdio.h>

#define POLL_MS 100                  // readings of what has no notification
#define JOURNAL_CHUNK_MAX (1 << 20)  // journal.log read per poll, at most

static std::mutex g_changesLock;                    // guards g_changes
static std::deque<std::optional<DWORD>> g_changes;  // delivered, not yet printed
static HANDLE g_changed = NULL;                     // set when g_changes grows
static std::mutex g_emitLock;                       // guards the two below: one line at a time
static long g_seq = 0;                              // lines printed, "now" included
static bool g_ended = false;                        // the last line is out

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
    SetEvent(g_changed);
}

// One line: JSON with the event, its number, host and device time, and the
// fields; or text.
static void Emit(const char* kind, const JsonValue& fields, const std::string& text,
                 bool last = false)
{
    std::lock_guard<std::mutex> lock(g_emitLock);
    if (g_ended) {
        return;
    }
    g_ended = last;
    SYSTEMTIME t;
    GetLocalTime(&t);
    char when[32];
    snprintf(when, sizeof(when), "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond,
             t.wMilliseconds);
    if (ReportJson()) {
        JsonValue line = JsonValue::MakeObject();
        line.Set("event", kind);
        line.Set("seq", g_seq);
        line.Set("time", when);
        line.Set("device_ms", (long long)SimNow());
        line.Set("device", DeviceNameUtf8());
        line.Merge(fields);
        printf("%s\n", line.Dump().c_str());
    } else {
        printf("%s  %-7s %s\n", when, kind, text.c_str());
    }
    g_seq++;
    NoteWatchLines(g_seq);
    fflush(stdout);
}

static JsonValue One(const char* key, JsonValue value)
{
    JsonValue j = JsonValue::MakeObject();
    j.Set(key, std::move(value));
    return j;
}

// The last line: why watch ended. Nothing is printed after it.
static void EmitEnd(int rc, const std::string& reason, const std::string& text)
{
    JsonValue f = JsonValue::MakeObject();
    f.Set("reason", reason);
    f.Set("exit_code", rc);
    Emit("end", f, text, true);
}

static void CutShort(int rc, const ErrorInfo& error)
{
    if (!ReportClaim(rc)) {
        for (;;) {
            Sleep(INFINITE);
        }
    }
    EmitEnd(rc, error.kind, error.message);
    if (!ReportJson()) {
        fprintf(stderr, "rendakctl: %s\n", error.message.c_str());
    }
    ExitProcess((UINT)rc);
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
    // The radios first: their listing follows the card and the driver, so a
    // change that falls between the reads shows its cause before its effect.
    Reading r;
    r.radios = ModelRadios();
    r.card = CardInserted();
    r.driver = DriverActive();
    r.driverWiFi = DeviceDword(REG_ADAPTER_KEY, REG_WIFI_VALUE);
    r.code = DeviceDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
    r.mask = DeviceDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE);
    return r;
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

static void EmitRadio(const SimRadioInfo& r, bool removed)
{
    JsonValue f = JsonValue::MakeObject();
    f.Set("radio", RadioJson(r));
    f.Set("removed", removed);
    Emit("radio", f, RadioText(r) + (removed ? ", removed from the list" : ""));
}

// Prints what changed from `was` to `now`, driver first, then the radios, then
// the domain; returns how many lines, at most `room`.
static long PrintDifferences(const Reading& was, const Reading& now, long room)
{
    long n = 0;
    if (n < room &&
        (was.card != now.card || was.driver != now.driver || was.driverWiFi != now.driverWiFi)) {
        Emit("driver", One("driver", DriverJson()), DriverText());
        n++;
    }
    for (const SimRadioInfo& r : now.radios) {
        const SimRadioInfo* old = FindRadio(was.radios, r.name);
        if (n < room && (!old || old->on != r.on || old->listed != r.listed)) {
            EmitRadio(r, false);
            n++;
        }
    }
    for (const SimRadioInfo& r : was.radios) {
        if (n < room && !FindRadio(now.radios, r.name)) {
            EmitRadio(r, true);
            n++;
        }
    }
    if (n < room && (was.code != now.code || was.mask != now.mask)) {
        Emit("domain", One("domain", DomainJson(now.code, now.mask)),
             DomainText(now.code, now.mask));
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

static LONGLONG FileEnd(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// Counts the reload signals journalled since `*pAt`, whole lines only.
static long NewSignals(const std::wstring& path, LONGLONG* pAt)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        *pAt = 0;
        return 0;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(h, &size);
    if (size.QuadPart < *pAt) {
        *pAt = 0;  // the device was reset: the log started again
    }
    LONGLONG want = size.QuadPart - *pAt;
    std::string chunk((size_t)(want < JOURNAL_CHUNK_MAX ? want : JOURNAL_CHUNK_MAX), '\0');
    LARGE_INTEGER at;
    at.QuadPart = *pAt;
    DWORD got = 0;
    if (!chunk.empty() && SetFilePointerEx(h, at, NULL, FILE_BEGIN)) {
        ReadFile(h, &chunk[0], (DWORD)chunk.size(), &got, NULL);
    }
    CloseHandle(h);
    chunk.resize(got);
    static const std::wstring signalEntry = handheld::EventSetEntry(RELOAD_EVENT_NAME);
    long signals = 0;
    size_t start = 0;
    for (size_t nl; (nl = chunk.find('\n', start)) != std::string::npos; start = nl + 1) {
        size_t end = nl > start && chunk[nl - 1] == '\r' ? nl - 1 : nl;
        std::wstring line = Wide(chunk.substr(start, end - start));
        signals += handheld::ParseJournalEntry(line).text == signalEntry;
    }
    *pAt += (LONGLONG)start;
    return signals;
}

// Registers for changes through the OS services; NULL when the platform cannot.
static HREGNOTIFY Register()
{
    auto open = CoreFunction<LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)>("RegOpenKeyExW");
    auto close = CoreFunction<LONG(WINAPI*)(HKEY)>("RegCloseKey");
    HKEY hKey;
    if (open == NULL || open(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, 0, &hKey) != ERROR_SUCCESS) {
        return NULL;
    }
    HREGNOTIFY hNotify = NULL;
    if (FAILED(RegistryNotifyCallback(hKey, NULL, REG_STATE_VALUE, OnStateChanged, 0, NULL,
                                      &hNotify))) {
        hNotify = NULL;
    }
    // The registration keeps what it needs; the key is the caller's to close.
    if (close) {
        close(hKey);
    }
    return hNotify;
}

static void EmitNow(const std::optional<DWORD>& state, const Reading& reading)
{
    if (ReportJson()) {
        JsonValue f = JsonValue::MakeObject();
        f.Set("domain", DomainJson(reading.code, reading.mask));
        f.Set("driver", DriverJson());
        f.Set("state", StateJson(state));
        JsonValue radios = JsonValue::MakeArray();
        for (const SimRadioInfo& r : reading.radios) {
            radios.Add(RadioJson(r));
        }
        f.Set("radios", radios);
        Emit("now", f, "");
        return;
    }
    Emit("now", JsonValue(), StateText(state));
    Emit("now", JsonValue(), DriverText());
    Emit("now", JsonValue(), DomainText(reading.code, reading.mask));
    for (const SimRadioInfo& r : reading.radios) {
        Emit("now", JsonValue(), RadioText(r));
    }
}

int CmdWatch(const Options& opt, const std::vector<std::string>& args)
{
    if (int rc = NoMoreWords(args, 0, "watch")) {
        return rc;
    }
    ReportOnCutShort(CutShort);
    g_changed = CreateEventW(NULL, FALSE, FALSE, NULL);
    std::optional<DWORD> last = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE);
    HREGNOTIFY hNotify = Register();
    Reading reading = Read();
    std::wstring journal = JournalLogPath();
    LONGLONG journalAt = FileEnd(journal);
    fprintf(stderr,
            "watching device %s: the state value \"WiFi\" (%s), radios, domain, driver, and "
            "reload signals journalled to journal.log by programs run with HANDHELD_JOURNAL=1; "
            "Ctrl+C ends\n",
            DeviceNameUtf8().c_str(), hNotify ? "notified" : "polled");
    fflush(stderr);
    EmitNow(last, reading);
    long seen = 0;
    const long room = opt.count ? opt.count : 0x7FFFFFFFL;
    const ULONGLONG until = opt.forSeconds ? GetTickCount64() + opt.forSeconds * 1000ULL : 0;
    while (seen < room && (!until || GetTickCount64() < until)) {
        WaitForSingleObject(g_changed, POLL_MS);
        // Causes before effects: a signal, then the card and radios, then the
        // state value that follows them.
        for (long k = NewSignals(journal, &journalAt); k > 0 && seen < room; k--) {
            std::string name = Utf8(RELOAD_EVENT_NAME);
            Emit("reload", One("name", name), "\"" + name + "\" signalled");
            seen++;
        }
        Reading now = Read();
        seen += PrintDifferences(reading, now, room - seen);
        reading = now;
        std::deque<std::optional<DWORD>> values;
        if (hNotify) {
            std::lock_guard<std::mutex> lock(g_changesLock);
            values.swap(g_changes);
        } else {
            values.push_back(DeviceDword(REG_STATE_KEY, REG_STATE_VALUE));
        }
        for (const std::optional<DWORD>& v : values) {
            if (v != last && seen < room) {
                Emit("state", One("state", StateJson(v)), StateText(v));
                seen++;
            }
            last = v;
        }
    }
    if (hNotify) {
        RegistryCloseNotification(hNotify);
    }
    if (!ReportClaim(EXIT_DONE)) {
        for (;;) {
            Sleep(INFINITE);
        }
    }
    if (seen >= room) {
        EmitEnd(EXIT_DONE, "count", std::to_string(opt.count) + " changes seen");
    } else {
        EmitEnd(EXIT_DONE, "time", std::to_string(opt.forSeconds) + " s passed");
    }
    return EXIT_DONE;
}
