// diagnose.cpp - answers "why is Wi-Fi off?" from what the device shows, each
// finding with what fixes it. Read-only: it changes nothing on the device
// (it may wait, on the device clock, for a power change to settle).
#include "rendakctl.h"

#include <Rendak.h>
#include <handheld.h>

#include <stdio.h>

#define SETTLE_MARGIN_MS 500  // beyond the slower power change, before calling it stuck

struct Finding {
    const char* cause;  // a stable word for scripts
    std::string what;
    std::string fix;
};

static void AddCardAndDriver(std::vector<Finding>& found)
{
    if (!CardInserted()) {
        found.push_back({"card_missing",
                         "the PC card is out of its slot, so the Wi-Fi adapter and its driver "
                         "are gone (device setting CardInserted=0)",
                         "insert the card: the device console's card button (SimInsertCard)"});
        return;
    }
    if (!DriverActive()) {
        std::string fix =
            "rendakctl init (it reloads the PC-card driver when the state value is 0)";
        if (SimGetSetting(L"FailActivation", 0)) {
            fix =
                "clear the device setting FailActivation (the device console's activation "
                "fault), then " +
                fix;
        }
        found.push_back({"driver_missing",
                         "the PC card is in but its driver is not loaded: \"NDL1:\" is missing "
                         "(device setting DriverActive=0)",
                         fix});
    }
}

static bool AddDomain(std::vector<Finding>& found)
{
    std::optional<DWORD> code = DeviceDword(ADAPTER_KEY, L"Domain");
    if (code && *code != 0) {
        return true;
    }
    found.push_back({"no_domain",
                     std::string("no regulatory domain is stored (the adapter's \"Domain\" is ") +
                         (code ? "0" : "missing") + "), so the library refuses to switch on",
                     "rendakctl regulatory set DOMAIN (rendakctl regulatory list shows them)"});
    return false;
}

static void AddOemSwitch(std::vector<Finding>& found)
{
    std::optional<DWORD> oem = DeviceDword(OEM_KEY, L"WIFI");
    if (oem && *oem != 0) {
        return;
    }
    found.push_back({"oem_switch_off",
                     std::string("the OEM Wi-Fi switch (SOFTWARE\\OEMGeneric \"WIFI\") is ") +
                         (oem ? "off" : "missing") +
                         ": a new regulatory domain does not reload Wi-Fi",
                     "switch it on: the device console's OEM switch, or "
                     "HKLM\\SOFTWARE\\OEMGeneric \"WIFI\" = 1 on the device"});
}

// The adapter's radio, and the state value the adapter shows. Returns whether
// the radio is powered and the value says so, settled.
static bool AddRadioAndState(std::vector<Finding>& found, bool domainStored)
{
    std::vector<SimRadioInfo> radios = ModelRadios();
    const SimRadioInfo* adapter = NULL;
    bool anyWiFi = false;
    for (const SimRadioInfo& r : radios) {
        adapter = r.adapter && !adapter ? &r : adapter;
        anyWiFi = anyWiFi || r.type == 1;
    }
    if (!anyWiFi) {
        found.push_back({"no_wifi_radio", "the device lists no Wi-Fi radio (type 1) at all",
                         "restore the device's radio list: the device console's factory restore "
                         "(SimSetupRadios(SIM_RADIOS_FACTORY))"});
        return false;
    }
    if (!adapter || !adapter->listed) {
        return false;  // card or driver missing: said above
    }
    std::string onFix =
        domainStored ? "rendakctl on" : "rendakctl regulatory set DOMAIN, then rendakctl on";
    if (!adapter->on) {
        found.push_back(
            {"radio_off", "the Wi-Fi radio " + adapter->name + " is powered off", onFix});
    }

    std::optional<DWORD> state = DeviceDword(STATE_KEY, L"WiFi");
    bool stuckSetting = SimGetSetting(L"StateStuck", 0) != 0;
    if (state && (*state & STATE_SWITCHING) && !stuckSetting) {
        // A change under way settles within the slower power change; one that
        // shows longer lost its settling (the process that switched ended).
        DWORD on = SimGetSetting(L"PowerOnMs", 2500), off = SimGetSetting(L"PowerOffMs", 1500);
        DeviceSleep((on > off ? on : off) + SETTLE_MARGIN_MS);
        state = DeviceDword(STATE_KEY, L"WiFi");
    }
    if (!state) {
        found.push_back({"state_missing", "the state value \"WiFi\" is missing",
                         "rendakctl off, then " + onFix});
        return false;
    }
    if (*state & STATE_SWITCHING) {
        if (stuckSetting) {
            found.push_back({"state_stuck",
                             "the state value is stuck at " + Hex(*state, 3) +
                                 ": its switching bit 0x2 never clears (device setting "
                                 "StateStuck=1), so the library waits out every switch",
                             "clear the device setting StateStuck (the device console's stuck "
                             "state), then " +
                                 onFix});
        } else {
            found.push_back({"state_stuck",
                             "the state value is stuck at " + Hex(*state, 3) +
                                 ": its switching bit 0x2 has been set for longer than a power "
                                 "change takes (the program that switched ended before it "
                                 "settled)",
                             "rendakctl off, then " + onFix + " (a new change settles it)"});
        }
        return false;
    }
    if (adapter->on && !(*state & STATE_POWERED)) {
        found.push_back({"state_not_powered",
                         "the radio is on but the state value " + Hex(*state, 3) + " (" +
                             StateBitsText(*state) + ") does not show it powered",
                         "rendakctl off, then " + onFix});
    }
    return adapter->on && (*state & STATE_POWERED);
}

static void AddStatusFile(std::vector<Finding>& found)
{
    bool exists = StatusFileText().has_value();
    if (exists && IfWiFiHasTurnedOn()) {
        return;
    }
    found.push_back({"status_file_off",
                     exists ? "the status file says Wi-Fi was last left off, so the panel does "
                              "not switch it on when it starts"
                            : "there is no status file, so the panel does not switch Wi-Fi on "
                              "when it starts",
                     "rendakctl on (it records 1)"});
}

int CmdDiagnose(const Options& opt, const std::vector<std::string>& args)
{
    if (!args.empty()) {
        return UsageError("unexpected word \"" + args[0] + "\" after \"diagnose\"");
    }
    std::vector<Finding> found;
    AddCardAndDriver(found);
    bool domainStored = AddDomain(found);
    AddOemSwitch(found);
    bool on = AddRadioAndState(found, domainStored);
    AddStatusFile(found);

    if (opt.json) {
        std::string list;
        for (const Finding& f : found) {
            list += std::string(list.empty() ? "" : ",") + "{\"cause\":" + JsonString(f.cause) +
                    ",\"finding\":" + JsonString(f.what) + ",\"fix\":" + JsonString(f.fix) + "}";
        }
        printf("{\"device\":%s,\"wifi_on\":%s,\"findings\":[%s]}\n",
               JsonString(Utf8(SimDeviceName())).c_str(), on ? "true" : "false", list.c_str());
    } else {
        printf("Wi-Fi is %s%s\n", on ? "on" : "off",
               found.empty() ? " and nothing is wrong." : (on ? ", but:" : ", because:"));
        for (size_t i = 0; i < found.size(); i++) {
            printf("  %zu. %s [%s]\n     fix: %s\n", i + 1, found[i].what.c_str(), found[i].cause,
                   found[i].fix.c_str());
        }
    }
    return on && found.empty() ? EXIT_DONE : EXIT_FINDINGS;
}
