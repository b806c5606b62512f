// commands.cpp - the tool's commands: each checks its words first, so bad
// input changes nothing, then drives the library and shows the device.
#include "rendakctl.h"

#include <Rendak.h>
#include <handheld.h>
#define WINCE_HOST_CRT
#include <wince.h>

#include <stdio.h>

#define SIGNAL_ENTRY L"EventModify|" RELOAD_EVENT L"|3|1"

int UsageError(const std::string& message)
{
    fprintf(stderr, "rendakctl: %s\n(rendakctl --help lists the commands)\n", message.c_str());
    return EXIT_USAGE;
}

static int NoMoreWords(const std::vector<std::string>& args, size_t used, const char* command)
{
    if (args.size() > used) {
        return UsageError("unexpected word \"" + args[used] + "\" after \"" + command + "\"");
    }
    return EXIT_DONE;
}

// The library refused when it showed an error box.
static int Outcome()
{
    return ErrorBoxesShown() > 0 ? EXIT_REFUSED : EXIT_DONE;
}

// --- regulatory ---------------------------------------------------------------

struct StoredDomain {
    int index;  // as the library reports it
    std::optional<DWORD> code;
    std::optional<DWORD> mask;
};

static StoredDomain ReadStoredDomain()
{
    StoredDomain d;
    d.index = GetLastWiFiRegulatoryIndex();
    d.code = DeviceDword(ADAPTER_KEY, L"Domain");
    d.mask = DeviceDword(VENDOR_KEY, L"ChannelDomain");
    return d;
}

static std::string DomainJson(const StoredDomain& d)
{
    std::string channels;
    for (int ch : ChannelsOf(d.mask.value_or(0))) {
        channels += (channels.empty() ? "" : ",") + std::to_string(ch);
    }
    const char* name = d.index >= 0 && d.index <= 6 ? g_aDomains[d.index].name : "";
    return "{\"index\":" + std::to_string(d.index) + ",\"name\":" + JsonString(name) +
           ",\"code\":" + JsonNumberOrNull(d.code) + ",\"mask\":" + JsonNumberOrNull(d.mask) +
           ",\"channels\":[" + channels + "]}";
}

static void PrintDomain(const StoredDomain& d)
{
    const char* name = d.index >= 0 && d.index <= 6 ? g_aDomains[d.index].name : "?";
    printf("regulatory domain: %d \"%s\"\n", d.index, name);
    printf("  code:     %s\n", d.code ? Hex(*d.code, 2).c_str() : "not stored");
    if (d.code && DomainIndexOfCode(*d.code) < 0) {
        printf("            (no row of the domain table has this code)\n");
    }
    printf("  mask:     %s\n", d.mask ? Hex(*d.mask, 4).c_str() : "not stored");
    printf("  channels: %s\n", d.mask ? ChannelText(*d.mask).c_str() : "none");
}

static int ListDomains(const Options& opt)
{
    if (opt.json) {
        std::string out = "[";
        for (const Domain& d : g_aDomains) {
            std::string channels;
            for (int ch : ChannelsOf(d.mask)) {
                channels += (channels.empty() ? "" : ",") + std::to_string(ch);
            }
            out += std::string(d.index ? "," : "") + "{\"index\":" + std::to_string(d.index) +
                   ",\"name\":" + JsonString(d.name) + ",\"alias\":" + JsonString(d.alias) +
                   ",\"code\":" + std::to_string(d.code) + ",\"mask\":" + std::to_string(d.mask) +
                   ",\"channels\":[" + channels +
                   "],\"note\":" + (d.note ? JsonString(d.note) : std::string("null")) + "}";
        }
        printf("%s]\n", out.c_str());
        return EXIT_DONE;
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
    return EXIT_DONE;
}

int CmdRegulatory(const Options& opt, const std::vector<std::string>& args)
{
    if (args.empty() || args[0] == "show") {
        if (int rc = NoMoreWords(args, args.empty() ? 0 : 1, "regulatory")) {
            return rc;
        }
        StoredDomain d = ReadStoredDomain();
        if (opt.json) {
            printf("%s\n", DomainJson(d).c_str());
        } else {
            PrintDomain(d);
        }
        return EXIT_DONE;
    }
    if (args[0] == "list") {
        if (int rc = NoMoreWords(args, 1, "regulatory list")) {
            return rc;
        }
        return ListDomains(opt);
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
    // The library compares the new code with the one it last read; a fresh
    // process has read nothing, so read the stored domain first, as the panel
    // does when it opens: choosing "None" then really clears a stored domain,
    // and choosing the stored one again stores and signals nothing.
    GetLastWiFiRegulatoryIndex();
    DWORD signals = JournalCountOf(SIGNAL_ENTRY);
    ChangeWiFiRegulatory(index);
    bool signalled = JournalCountOf(SIGNAL_ENTRY) > signals;
    StoredDomain d = ReadStoredDomain();
    d.index = DomainIndexOfCode(d.code.value_or(0));
    if (d.index < 0) {
        d.index = 0;
    }
    if (opt.json) {
        printf("{\"domain\":%s,\"reload_signalled\":%s}\n", DomainJson(d).c_str(),
               signalled ? "true" : "false");
    } else {
        PrintDomain(d);
        if (signalled) {
            printf("reload signalled\n");
        }
    }
    fflush(stdout);
    if (signalled) {
        ServeOwnReloadSignal();
    }
    return Outcome();
}

// --- status -----------------------------------------------------------------------

int CmdStatus(const Options& opt, const std::vector<std::string>& args)
{
    if (int rc = NoMoreWords(args, 0, "status")) {
        return rc;
    }
    BOOL regulatorySet = IfWiFiRegulatorySet();
    StoredDomain d = ReadStoredDomain();
    std::optional<DWORD> driverWiFi = DeviceDword(ADAPTER_KEY, L"WIFI");
    std::optional<DWORD> state = DeviceDword(STATE_KEY, L"WiFi");
    std::optional<std::string> file = StatusFileText();
    // The library's own reader decides what the file says.
    std::optional<DWORD> fileSays;
    if (file) {
        fileSays = IfWiFiHasTurnedOn() ? 1 : 0;
    }
    std::vector<Radio> radios = DeviceRadios();

    if (opt.json) {
        std::string out = "{\"device\":" + JsonString(Utf8(SimDeviceName())) +
                          ",\"regulatory_set\":" + (regulatorySet ? "true" : "false") +
                          ",\"domain\":" + DomainJson(d) +
                          ",\"driver_wifi\":" + JsonNumberOrNull(driverWiFi) +
                          ",\"status_file\":" + JsonNumberOrNull(fileSays) +
                          ",\"state_value\":" + JsonNumberOrNull(state) + ",\"state_bits\":[";
        if (state) {
            std::string bits;
            for (const std::string& b : StateBitNames(*state)) {
                bits += (bits.empty() ? "" : ",") + JsonString(b);
            }
            out += bits;
        }
        out += "],\"radios\":[";
        for (size_t i = 0; i < radios.size(); i++) {
            out += std::string(i ? "," : "") + "{\"name\":" + JsonString(Utf8(radios[i].name)) +
                   ",\"display\":" + JsonString(Utf8(radios[i].display)) +
                   ",\"type\":" + std::to_string(radios[i].type) +
                   ",\"on\":" + (radios[i].on ? "true" : "false") + "}";
        }
        printf("%s]}\n", out.c_str());
        return EXIT_DONE;
    }
    printf("device: %s\n", Utf8(SimDeviceName()).c_str());
    printf("regulatory flag (this process): %d\n", regulatorySet ? 1 : 0);
    PrintDomain(d);
    printf("radios:\n");
    if (radios.empty()) {
        printf("  none\n");
    }
    for (const Radio& r : radios) {
        printf("  %-10s %-10s type %lu %-16s %s\n", Utf8(r.name).c_str(), Utf8(r.display).c_str(),
               (unsigned long)r.type, RadioTypeName(r.type), r.on ? "on" : "off");
    }
    if (state) {
        printf("state value \"WiFi\": %s (%s)\n", Hex(*state, 3).c_str(),
               StateBitsText(*state).c_str());
    } else {
        printf("state value \"WiFi\": missing\n");
    }
    printf("adapter \"WIFI\" parameter: %s\n",
           driverWiFi ? std::to_string(*driverWiFi).c_str() : "missing");
    if (file) {
        std::string shown = *file;
        for (char& c : shown) {
            if (c == '\r' || c == '\n') {
                c = ' ';
            }
        }
        printf("status file: \"%s\" (Wi-Fi was last left %s)\n", shown.c_str(),
               *fileSays ? "on" : "off");
    } else {
        printf("status file: none\n");
    }
    return EXIT_DONE;
}

// --- switching and start-up -----------------------------------------------------------

// Reads the device back after on/off: the export itself reports nothing.
static int CheckSwitch(const Options& opt, bool bOn)
{
    if (ErrorBoxesShown() > 0) {
        return EXIT_REFUSED;  // it refused, so nothing was meant to change
    }
    std::vector<std::string> problems = SwitchShortfalls(bOn);
    const char* word = bOn ? "on" : "off";
    if (opt.json) {
        std::string list;
        for (const std::string& p : problems) {
            list += (list.empty() ? "" : ",") + JsonString(p);
        }
        printf("{\"command\":\"%s\",\"took_effect\":%s,\"problems\":[%s]}\n", word,
               problems.empty() ? "true" : "false", list.c_str());
    } else if (problems.empty()) {
        printf("Wi-Fi is %s\n", word);
    }
    for (const std::string& p : problems) {
        fprintf(stderr, "rendakctl: Wi-Fi did not turn %s: %s\n", word, p.c_str());
    }
    if (!problems.empty()) {
        fprintf(stderr, "(rendakctl diagnose says why and what fixes it)\n");
    }
    return problems.empty() ? EXIT_DONE : EXIT_NOT_TAKEN;
}

int CmdSwitch(const Options& opt, const std::string& command, const std::vector<std::string>& args)
{
    if (int rc = NoMoreWords(args, 0, command.c_str())) {
        return rc;
    }
    if (command == "on") {
        TurnOnWiFiModule();
        return CheckSwitch(opt, true);
    } else if (command == "off") {
        TurnOffWiFiModule();
        return CheckSwitch(opt, false);
    } else if (command == "hard-reset") {
        HardReset();
    } else if (command == "init") {
        InitWiFi();
    } else if (command == "direct-on") {
        DirectlyTurnOnWiFi();
    } else if (command == "close") {
        int result = CloseWiFi();
        printf("CloseWiFi: %d (%s)\n", result,
               result ? "a notification was released" : "no notification was open");
    }
    return Outcome();
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
    if (hEvent == NULL) {
        fprintf(stderr, "rendakctl: cannot open the reload event (error %lu)\n", GetLastError());
        return EXIT_REFUSED;
    }
    BOOL ok = EventModify(hEvent, EVENT_SET);
    CloseHandle(hEvent);
    if (!ok) {
        fprintf(stderr, "rendakctl: cannot set the reload event (error %lu)\n", GetLastError());
        return EXIT_REFUSED;
    }
    printf("reload signalled\n");
    fflush(stdout);
    ServeOwnReloadSignal();
    return Outcome();
}
