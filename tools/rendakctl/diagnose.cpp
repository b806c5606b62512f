// diagnose.cpp - answers "why is Wi-Fi off?" from what the device shows, each
// finding with the commands that fix it: this tool's, or the device console's
// --act actions. A fix is only given when running it changes what was found.
// Read-only: it changes nothing on the device (it may wait, on the device
// clock, for a power change to settle).
#include "rendakctl.h"

#include <handheld.h>
#include <handheld_radio.h>

#include <stdio.h>

struct Finding {
    const char* cause;  // a stable word for scripts
    std::string what;
    std::string why;                    // what the fix does, in words
    std::vector<std::string> commands;  // run in order, they fix it
};

struct Device {
    bool card, driver;
    bool domainStored;
    std::optional<DWORD> state;  // the state value, settled when it could
    DWORD model;                 // the value the adapter shows, by the device model
    std::vector<SimRadioInfo> radios;
    const SimRadioInfo* adapter;
    std::vector<std::string> faults;
};

static std::vector<std::string> SwitchOnCommands(const Device& d)
{
    std::vector<std::string> commands;
    if (!d.domainStored) {
        commands.push_back(ToolCommand("regulatory set DOMAIN"));
    }
    commands.push_back(ToolCommand("on"));
    return commands;
}

static void AddCardAndDriver(const Device& d, std::vector<Finding>& found)
{
    if (!d.card) {
        found.push_back({"card_missing",
                         "the PC card is out of its slot, so the Wi-Fi adapter and its driver are "
                         "gone (device setting CardInserted=0)",
                         "insert the card: its bus loads the driver",
                         {ConsoleCommand("insert")}});
        return;
    }
    if (d.driver) {
        return;
    }
    // InitWiFi reloads the driver only when the state value is 0 and a domain
    // is stored, and the reload fails while an activation fault is armed.
    bool initWorks = d.state.value_or(0) == 0 && d.domainStored &&
                     !SimGetSetting(SIM_SETTING_FAIL_ACTIVATION, 0) && d.faults.empty();
    Finding f{"driver_missing",
              "the PC card is in but its driver is not loaded: \"NDL1:\" is missing (device "
              "setting DriverActive=0)",
              "",
              {}};
    if (initWorks) {
        f.why = "InitWiFi reloads the PC-card driver (the state value is 0)";
        f.commands.push_back(ToolCommand("init"));
    } else {
        f.why =
            std::string("insert the card again: its bus loads the driver (InitWiFi would not: ") +
            (d.state.value_or(0) != 0 ? "the state value is " + Hex(*d.state, 3) + ", not 0"
             : !d.domainStored        ? std::string("no domain is stored")
                                      : std::string("an activation fault is armed")) +
            ")";
        f.commands.push_back(ConsoleCommand("insert"));
    }
    found.push_back(f);
}

static void AddDomain(const Device& d, std::vector<Finding>& found)
{
    if (d.domainStored) {
        return;
    }
    std::optional<DWORD> code = DeviceDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
    found.push_back({"no_domain",
                     std::string("no regulatory domain is stored (the adapter's \"Domain\" is ") +
                         (code ? "0" : "missing") + "), so the library refuses to switch on",
                     "store one (" + ToolCommand("regulatory list") + " shows them)",
                     {ToolCommand("regulatory set DOMAIN")}});
}

static void AddDeviceSettings(const Device& d, std::vector<Finding>& found)
{
    std::optional<DWORD> oem = DeviceDword(REG_OEM_KEY, REG_WIFI_VALUE);
    if (!oem || *oem == 0) {
        found.push_back({"oem_switch_off",
                         "the OEM Wi-Fi switch (" + Utf8(REG_OEM_KEY) + " \"WIFI\") is " +
                             (oem ? "off" : "missing") +
                             ": a new regulatory domain does not reload Wi-Fi",
                         "switch it on",
                         {ConsoleCommand("oem-on")}});
    }
    if (SimGetSetting(SIM_SETTING_FAIL_ACTIVATION, 0)) {
        found.push_back({"activation_fails",
                         "every activation of the PC-card driver fails (device setting "
                         "FailActivation=1): InitWiFi cannot reload the driver",
                         "let activations succeed again",
                         {ConsoleCommand("activation-ok")}});
    }
    if (!d.faults.empty()) {
        std::string list;
        for (const std::string& f : d.faults) {
            list += (list.empty() ? "" : "; ") + f;
        }
        found.push_back({"faults_armed",
                         "faults are armed on the device: " + list,
                         "clear them",
                         {ConsoleCommand("clear-faults")}});
    }
    if (SimGetSetting(SIM_SETTING_REFUSE_COLD_RESET, 0)) {
        found.push_back({"cold_reset_refused",
                         "the kernel refuses cold resets (device setting RefuseColdReset=1): "
                         "hard-reset is refused",
                         "let the kernel accept them again",
                         {ConsoleCommand("accept-reset")}});
    }
}

// The adapter's radio and the state value. Returns whether Wi-Fi is on: the
// radio powered and the value settled at 0x101.
static bool AddRadioAndState(const Device& d, std::vector<Finding>& found)
{
    bool anyWiFi = false;
    for (const SimRadioInfo& r : d.radios) {
        anyWiFi = anyWiFi || r.type == 1;
    }
    if (!anyWiFi) {
        found.push_back({"no_wifi_radio",
                         "the device lists no Wi-Fi radio (type 1) at all",
                         "restore the factory state, radio list included (it also clears the "
                         "stored domain and every setting)",
                         {ConsoleCommand("factory")}});
        return false;
    }
    if (!d.adapter || !d.adapter->listed) {
        return false;  // card or driver missing: said above
    }
    if (!d.adapter->on) {
        std::string what = "the Wi-Fi radio " + d.adapter->name + " is powered off";
        // A start after a power cut leaves every radio off, whatever was left on.
        DWORD cuts = SimKernelCounter(L"PowerCuts");
        if (ReadStatusFile().saysOn && cuts > 0) {
            what +=
                ", though the status file says Wi-Fi was left on: the device started again "
                "without it (the kernel's record counts " +
                std::to_string(cuts) + " power cut" + (cuts == 1 ? "" : "s") +
                "; a power cut leaves every radio off)";
        }
        found.push_back({"radio_off", what, "switch it on", SwitchOnCommands(d)});
    }
    bool stuckSetting = SimGetSetting(SIM_SETTING_STATE_STUCK, 0) != 0;
    // A new power change publishes the adapter's value again, and settles.
    std::vector<std::string> republish = SwitchOnCommands(d);
    if (d.adapter->on) {
        republish.insert(republish.begin(), ToolCommand("off"));
    }
    if (stuckSetting) {
        found.push_back({"state_stuck",
                         "the state value is stuck at " + Hex(d.state.value_or(0), 3) +
                             ": its switching bit 0x2 never clears (device setting "
                             "StateStuck=1), so the library waits out every switch",
                         "let the state value settle again",
                         {ConsoleCommand("stuck-off")}});
        return false;
    }
    if (!d.state || *d.state != d.model) {
        std::string what =
            !d.state ? std::string("the state value \"WiFi\" is missing")
            : *d.state == VENDOR_DOMAIN_MARK
                ? "the state value is " + Hex(*d.state, 3) +
                      ", the library's mark of a cleared domain, not the adapter's " +
                      Hex(d.model, 3)
                : "the state value is " + Hex(*d.state, 3) + " (" + StateBitsText(*d.state) +
                      "), not what the adapter shows (" + Hex(d.model, 3) + ")";
        found.push_back({"state_mismatch", what,
                         "a power change makes the adapter publish its value again", republish});
        return false;
    }
    if (*d.state & SIM_STATE_SWITCHING) {
        found.push_back({"state_switching",
                         "the state value is " + Hex(*d.state, 3) +
                             ": its switching bit 0x2 has been set for longer than a power change "
                             "takes, though the device settles every change when it falls due",
                         "a new power change settles it",
                         {ToolCommand(d.adapter->on ? "on" : "off")}});
        return false;
    }
    return d.adapter->on && (*d.state & SIM_STATE_POWERED);
}

static void AddStatusFile(std::vector<Finding>& found)
{
    StatusFile f = ReadStatusFile();
    if (f.exists && f.saysOn) {
        return;
    }
    if (f.folder || f.readOnly) {
        found.push_back({"status_file_unwritable",
                         "the status file " + Utf8(STATUS_FILE) + " is " +
                             (f.folder ? "a folder" : "read-only") +
                             ": the library cannot record that Wi-Fi is on",
                         "remove it (or its read-only attribute) in the device's file store on "
                         "the host, " +
                             Utf8(StorePath(L"\\")) + " inside the Wine prefix",
                         {}});
        return;
    }
    found.push_back({"status_file_off",
                     f.exists ? "the status file says Wi-Fi was last left off, so the panel does "
                                "not switch it on when it starts"
                              : "there is no status file, so the panel does not switch Wi-Fi on "
                                "when it starts",
                     "switching on records 1",
                     {ToolCommand("on")}});
}

static Device ReadDevice()
{
    Device d;
    d.card = CardInserted();
    d.driver = d.card && DriverActive();
    d.domainStored = DeviceDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE).value_or(0) != 0;
    d.state = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE);
    if (d.state && (*d.state & SIM_STATE_SWITCHING) && !SimGetSetting(SIM_SETTING_STATE_STUCK, 0)) {
        // A change under way settles within the slower power change; one that
        // shows longer lost its settling (the process that switched ended).
        DWORD bound = SettleBoundMs();
        ProgressBegin("waiting for a power change under way to settle", bound);
        d.state = WaitForSettledState(bound);
        ProgressEnd();
    }
    d.model = SimAdapterState();
    d.radios = ModelRadios();
    d.adapter = NULL;
    d.faults = ArmedFaults();
    return d;
}

int CmdDiagnose(const Options& opt, const std::vector<std::string>& args)
{
    (void)opt;
    if (int rc = NoMoreWords(args, 0, "diagnose")) {
        return rc;
    }
    Device d = ReadDevice();
    d.adapter = AdapterOf(d.radios);
    std::vector<Finding> found;
    AddCardAndDriver(d, found);
    AddDomain(d, found);
    bool on = AddRadioAndState(d, found);
    AddStatusFile(found);
    AddDeviceSettings(d, found);

    JsonValue list = JsonValue::MakeArray();
    for (const Finding& f : found) {
        list.Add(JsonValue::MakeObject({{"cause", f.cause},
                                        {"finding", f.what},
                                        {"fix", f.why},
                                        {"commands", JsonStrings(f.commands)}}));
    }
    JsonValue& fields = ReportFields();
    fields.Set("wifi_on", on);
    fields.Set("findings", list);
    AddSnapshot(fields);
    if (!ReportJson()) {
        printf("Wi-Fi is %s%s\n", on ? "on" : "off",
               found.empty() ? " and nothing is wrong." : (on ? ", but:" : ", because:"));
        for (size_t i = 0; i < found.size(); i++) {
            printf("  %zu. %s [%s]\n     fix: %s\n", i + 1, found[i].what.c_str(), found[i].cause,
                   found[i].why.c_str());
            for (const std::string& c : found[i].commands) {
                printf("          %s\n", c.c_str());
            }
        }
    }
    return ReportFinish(on && found.empty() ? EXIT_DONE : EXIT_FINDINGS);
}
