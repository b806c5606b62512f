// commands.cpp - the tool's commands: each checks its words first, so bad
// input changes nothing, then drives the library, reads back what it must
// have changed, and leaves one document (report.cpp).
#include "rendakctl.h"

#include <Rendak.h>
#include <handheld.h>
#include <handheld_radio.h>
#define WINCE_HOST_CRT
#include <wince.h>

#include <algorithm>
#include <stdio.h>

#define SIGNAL_ENTRY L"EventModify|" RELOAD_EVENT L"|3|1"
#define DOMAIN_STORE_ENTRY L"RegSetValueExW|" ADAPTER_KEY L"\\Domain|"
// The library's own bounds (device time), for the progress line.
#define TURN_ON_BOUND_MS 40000   // ten readings, 4 s apart
#define TURN_OFF_BOUND_MS 30000  // ten readings, 3 s apart
#define DRIVER_RELOAD_MS 6000
#define DOMAIN_CLEARED_MS 1000

int NoMoreWords(const std::vector<std::string>& args, size_t used, const std::string& command)
{
    if (args.size() > used) {
        return UsageError("unexpected word \"" + args[used] + "\" after \"" + command + "\"");
    }
    return EXIT_DONE;
}

// The library refused: it showed an error box. Its text and the next step.
static int Refused()
{
    std::string box = LastErrorBoxText();
    AddSnapshot(ReportFields());
    return ReportFinish(
        EXIT_REFUSED,
        ErrorInfo{"refused", "the library refused: \"" + box + "\"", {}, RefusalNextStep(box)});
}

static int NotTaken(const std::string& message, const std::vector<std::string>& problems)
{
    return ReportFinish(EXIT_NOT_TAKEN, ErrorInfo{"not_taken", message, problems,
                                                  ShortfallNextStep(ReportCommand())});
}

// --- regulatory ---------------------------------------------------------------

static void PrintDomain(std::optional<DWORD> code, std::optional<DWORD> mask)
{
    int index = code ? DomainIndexOfCode(*code) : 0;
    printf("regulatory domain: %d \"%s\"\n", index < 0 ? 0 : index,
           index < 0 ? "?" : g_aDomains[index].name);
    printf("  code:     %s\n", code ? Hex(*code, 2).c_str() : "not stored");
    if (index < 0) {
        printf("            (no row of the domain table has this code)\n");
    }
    printf("  mask:     %s\n", mask ? Hex(*mask, 4).c_str() : "not stored");
    printf("  channels: %s\n", mask ? ChannelText(*mask).c_str() : "none");
}

static int ListDomains()
{
    if (ReportJson()) {
        JsonValue rows = JsonValue::MakeArray();
        for (const Domain& d : g_aDomains) {
            rows.Add(DomainRowJson(d));
        }
        ReportFields().Set("domains", rows);
        return ReportFinish(EXIT_DONE);
    }
    printf("%-5s %-12s %-5s %-5s %-7s %s\n", "index", "name", "alias", "code", "mask", "channels");
    for (const Domain& d : g_aDomains) {
        printf("%-5d %-12s %-5s %-5s %-7s %s\n", d.index, d.name, d.alias, Hex(d.code, 2).c_str(),
               Hex(d.mask, 4).c_str(), ChannelText(d.mask).c_str());
    }
    for (const Domain& d : g_aDomains) {
        if (d.note) {
            printf("note: %s: %s (stored as the table gives it)\n", d.name, d.note);
        }
    }
    return ReportFinish(EXIT_DONE);
}

static int SetDomain(int index)
{
    const Domain& row = g_aDomains[index];
    // The library compares the new code with the one it last read; a fresh
    // process has read nothing, so read the stored domain first, as the panel
    // does when it opens: choosing "None" then really clears a stored domain,
    // and choosing the stored one again stores and signals nothing.
    GetLastWiFiRegulatoryIndex();
    DWORD signals = JournalCountOf(SIGNAL_ENTRY), stores = JournalCountOf(DOMAIN_STORE_ENTRY);
    bool clearing = row.code == 0 && DeviceDword(OEM_KEY, L"WIFI").value_or(0) != 0;
    if (clearing) {
        ProgressBegin("ChangeWiFiRegulatory: the library marks the domain cleared",
                      DOMAIN_CLEARED_MS);
    }
    ChangeWiFiRegulatory(index);
    if (clearing) {
        ProgressEnd();
    }
    bool signalled = JournalCountOf(SIGNAL_ENTRY) > signals;
    bool stored = JournalCountOf(DOMAIN_STORE_ENTRY) > stores;

    std::vector<std::string> problems;
    std::optional<DWORD> code = DeviceDword(ADAPTER_KEY, L"Domain");
    std::optional<DWORD> mask = DeviceDword(VENDOR_KEY, L"ChannelDomain");
    if (code.value_or(0) != row.code) {
        problems.push_back("the adapter's \"Domain\" is " +
                           (code ? Hex(*code, 2) : std::string("missing")) + ", not " +
                           Hex(row.code, 2) + " (" + row.name + ")");
    }
    if (stored && mask.value_or(0) != row.mask) {
        problems.push_back("\"ChannelDomain\" is " +
                           (mask ? Hex(*mask, 4) : std::string("missing")) + ", not " +
                           Hex(row.mask, 4));
    }
    if (!ReportJson()) {
        PrintDomain(code, mask);
        if (!stored && problems.empty()) {
            printf("(already stored: nothing was changed or signalled)\n");
        }
        if (clearing && stored) {
            printf("the state value was marked %s: the library's sign that no domain is set\n",
                   Hex(STATE_DOMAIN_MARK, 3).c_str());
        }
        if (signalled) {
            printf("reload signalled\n");
        }
        fflush(stdout);
    }
    JsonValue reload;
    if (signalled) {
        ReloadResult r = ServeOwnReloadSignal();
        reload = ReloadJson(r);
        PrintReload(r);
        if (!ReportJson() && r.answer && !*r.answer) {
            printf("(--yes answers the question Yes: Wi-Fi is switched off and on again)\n");
        }
    }
    JsonValue& f = ReportFields();
    f.Set("requested", DomainRowJson(row));
    f.Set("stored", stored);
    f.Set("reload", reload);
    AddSnapshot(f);
    if (!problems.empty()) {
        return NotTaken("the domain was not stored as asked", problems);
    }
    return ReportFinish(EXIT_DONE);
}

int CmdRegulatory(const Options& opt, const std::vector<std::string>& args)
{
    (void)opt;
    if (args.empty() || args[0] == "show") {
        if (int rc = NoMoreWords(args, args.empty() ? 0 : 1, "regulatory")) {
            return rc;
        }
        std::optional<DWORD> code = DeviceDword(ADAPTER_KEY, L"Domain");
        std::optional<DWORD> mask = DeviceDword(VENDOR_KEY, L"ChannelDomain");
        if (!ReportJson()) {
            PrintDomain(code, mask);
        }
        ReportFields().Set("domain", DomainJson(code, mask));
        return ReportFinish(EXIT_DONE);
    }
    if (args[0] == "list") {
        if (int rc = NoMoreWords(args, 1, "regulatory list")) {
            return rc;
        }
        return ListDomains();
    }
    if (args[0] != "set") {
        return UsageError("unknown regulatory command \"" + args[0] + "\"; use show, list or set");
    }
    if (args.size() < 2) {
        return UsageError("regulatory set needs a domain: " + DomainChoices());
    }
    int index = ParseDomain(args[1]);
    if (index < 0) {
        return UsageError("unknown domain \"" + args[1] + "\"; give " + DomainChoices());
    }
    if (int rc = NoMoreWords(args, 2, "regulatory set DOMAIN")) {
        return rc;
    }
    return SetDomain(index);
}

// --- status -----------------------------------------------------------------------

int CmdStatus(const Options& opt, const std::vector<std::string>& args)
{
    (void)opt;
    if (int rc = NoMoreWords(args, 0, "status")) {
        return rc;
    }
    bool regulatorySet = IfWiFiRegulatorySet() != FALSE;
    JsonValue& f = ReportFields();
    f.Set("regulatory_set", regulatorySet);
    AddSnapshot(f);
    if (!ReportJson()) {
        printf("device: %s\n", DeviceNameUtf8().c_str());
        printf("regulatory flag (this process): %d\n", regulatorySet ? 1 : 0);
        PrintSnapshot(stdout);
    }
    return ReportFinish(EXIT_DONE);
}

// --- switching and start-up -----------------------------------------------------------

static void Unique(std::vector<std::string>& items)
{
    std::vector<std::string> out;
    for (const std::string& s : items) {
        if (std::find(out.begin(), out.end(), s) == out.end()) {
            out.push_back(s);
        }
    }
    items.swap(out);
}

int CmdSwitch(const Options& opt, const std::string& command, const std::vector<std::string>& args)
{
    (void)opt;
    if (int rc = NoMoreWords(args, 0, command)) {
        return rc;
    }
    std::optional<DWORD> stateBefore = DeviceDword(STATE_KEY, L"WiFi");
    DWORD reloadMs = stateBefore.value_or(0) == 0 ? DRIVER_RELOAD_MS : 0;
    std::vector<std::string> problems;
    std::string done;
    if (command == "on") {
        ProgressBegin("switching Wi-Fi on: the library waits for the state value to settle",
                      TURN_ON_BOUND_MS);
        TurnOnWiFiModule();
    } else if (command == "off") {
        ProgressBegin("switching Wi-Fi off: the library waits for the state value to settle",
                      TURN_OFF_BOUND_MS);
        TurnOffWiFiModule();
    } else if (command == "init") {
        ProgressBegin("InitWiFi: the library reloads the PC-card driver when the state value is 0",
                      reloadMs);
        InitWiFi();
    } else if (command == "direct-on") {
        ProgressBegin("DirectlyTurnOnWiFi: InitWiFi, then switching Wi-Fi on",
                      reloadMs + TURN_ON_BOUND_MS);
        DirectlyTurnOnWiFi();
    } else {  // close
        int result = CloseWiFi();
        ReportFields().Set("released", result != 0);
        if (!ReportJson()) {
            printf("CloseWiFi: %d (%s)\n", result,
                   result ? "a notification was released"
                          : "no notification was open: one belongs to the process that "
                            "registered it");
        }
        return ReportFinish(EXIT_DONE);
    }
    ProgressEnd();
    if (ErrorBoxesShown() > 0) {
        return Refused();  // it refused, so nothing was meant to change
    }
    if (command == "init" || command == "direct-on") {
        problems = InitShortfalls(stateBefore);
        done = "the Wi-Fi stack is started: the driver is loaded and the status file says 1";
    }
    if (command != "init") {
        bool on = command != "off";
        std::vector<std::string> more = SwitchShortfalls(on);
        problems.insert(problems.end(), more.begin(), more.end());
        done = on ? "Wi-Fi is on" : "Wi-Fi is off";
    }
    Unique(problems);
    AddSnapshot(ReportFields());
    if (!problems.empty()) {
        return NotTaken(command + " returned, but not everything it must change followed",
                        problems);
    }
    if (!ReportJson()) {
        printf("%s\n", done.c_str());
    }
    return ReportFinish(EXIT_DONE);
}

// --- hard-reset -----------------------------------------------------------------------

int CmdHardReset(const Options& opt, const std::vector<std::string>& args)
{
    (void)opt;
    if (int rc = NoMoreWords(args, 0, "hard-reset")) {
        return rc;
    }
    DWORD resets = SimKernelCounter(L"ColdResets"), reboots = SimKernelCounter(L"Reboots");
    // On the real or scaled clock the device restarts inside this call and
    // this process ends with it; the supervising rendakctl reports that.
    HardReset();
    if (ErrorBoxesShown() > 0) {
        return Refused();
    }
    bool accepted = SimKernelCounter(L"ColdResets") > resets;
    bool rebooted = SimKernelCounter(L"Reboots") > reboots;
    JsonValue restart = JsonValue::MakeObject();
    restart.Set("boot", SimKernelCounter(L"Boot"));
    restart.Set("cold", accepted);
    restart.Set("by_this_command", true);
    restart.Set("recorded_only", true);
    ReportFields().Set("restart", restart);
    AddSnapshot(ReportFields());
    if (!accepted || !rebooted) {
        return NotTaken("HardReset returned, but the kernel did not record it",
                        {!accepted ? "no cold reset was recorded" : "no reboot was recorded"});
    }
    if (!ReportJson()) {
        printf(
            "the kernel accepted the cold reset and the reboot; on the virtual clock it records "
            "them and the device does not restart\n");
    }
    return ReportFinish(EXIT_DONE);
}

// --- reload-signal --------------------------------------------------------------------

int CmdReloadSignal(const Options& opt, const std::vector<std::string>& args)
{
    (void)opt;
    if (int rc = NoMoreWords(args, 0, "reload-signal")) {
        return rc;
    }
    // Opened by name as any other program would, in the device's namespace.
    typedef HANDLE(WINAPI * OPENEVENTW)(DWORD, BOOL, LPCWSTR);
    OPENEVENTW pfnOpen =
        (OPENEVENTW)(void*)GetProcAddress(GetModuleHandleW(L"coredll.dll"), "OpenEventW");
    HANDLE hEvent = pfnOpen ? pfnOpen(EVENT_MODIFY_STATE, FALSE, RELOAD_EVENT) : NULL;
    DWORD error = GetLastError();
    BOOL ok = hEvent != NULL && EventModify(hEvent, EVENT_SET);
    if (hEvent && !ok) {
        error = GetLastError();
    }
    if (hEvent) {
        CloseHandle(hEvent);
    }
    if (!ok) {
        return ReportFinish(
            EXIT_REFUSED,
            ErrorInfo{"refused",
                      std::string("cannot ") + (hEvent ? "set" : "open") +
                          " the reload event (error " + std::to_string(error) + ")",
                      {},
                      "a fault may be armed on the event: " + ToolCommand("diagnose")});
    }
    if (!ReportJson()) {
        printf("reload signalled\n");
        fflush(stdout);
    }
    ReloadResult r = ServeOwnReloadSignal();
    PrintReload(r);
    ReportFields().Set("reload", ReloadJson(r));
    AddSnapshot(ReportFields());
    return ReportFinish(EXIT_DONE);
}
