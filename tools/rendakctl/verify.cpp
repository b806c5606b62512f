// verify.cpp - after a command: did everything it must change follow? The
// library's exports report nothing, so a switch that changed nothing (card
// out, stuck state, a registry write or the status file refused) would pass
// unseen; the tool reads the device back instead and names each shortfall.
#include "rendakctl.h"

#include <handheld.h>

#define GRACE_CAP_MS 10000  // at most this long for a change still settling

static std::string AdapterAbsence()
{
    if (!CardInserted()) {
        return "the PC card is out (device setting CardInserted=0)";
    }
    if (!DriverActive()) {
        return "its driver is not loaded (device setting DriverActive=0)";
    }
    return "the device does not list it";
}

// The status file must say what the library wrote: on (1) or off (0).
static void CheckStatusFile(bool bOn, std::vector<std::string>& problems)
{
    StatusFile f = ReadStatusFile();
    const char* want = bOn ? "1" : "0";
    std::string what = "the status file " + Utf8(STATUS_FILE);
    if (f.folder) {
        problems.push_back(what + " is a folder, so the library could not write " + want);
    } else if (!f.exists) {
        problems.push_back(what + " was not written (it should say " + want + ")");
    } else if (f.saysOn != bOn) {
        problems.push_back(what + " says \"" + f.start + (f.truncated ? "..." : "") + "\", not " +
                           want + (f.readOnly ? ": it is read-only" : ""));
    }
}

static void CheckWiFiParameter(DWORD want, std::vector<std::string>& problems)
{
    std::optional<DWORD> wifi = DeviceDword(REG_ADAPTER_KEY, REG_WIFI_VALUE);
    if (!wifi || *wifi != want) {
        problems.push_back("the adapter's \"WIFI\" parameter is " +
                           (wifi ? std::to_string(*wifi) : std::string("missing")) + ", not " +
                           std::to_string(want) + " (the library's write did not take)");
    }
}

std::vector<std::string> SwitchShortfalls(bool bOn)
{
    std::vector<std::string> problems;
    std::vector<SimRadioInfo> radios = ModelRadios();
    const SimRadioInfo* adapter = AdapterOf(radios);
    bool adapterListed = adapter && adapter->listed;
    if (bOn && adapter && !adapter->listed) {
        problems.push_back("the Wi-Fi adapter " + adapter->name +
                           " is not listed, so it could not be switched on: " + AdapterAbsence());
    }
    bool anyWiFi = false;
    for (const SimRadioInfo& r : radios) {
        if (!r.listed || r.type != 1) {
            continue;
        }
        anyWiFi = true;
        if (r.on != bOn) {
            problems.push_back("the radio " + r.name + " (" + r.display + ") is still " +
                               (r.on ? "on" : "off"));
        }
    }
    if (bOn && !anyWiFi && !(adapter && !adapter->listed)) {
        problems.push_back(
            "the device lists no Wi-Fi radio (type 1): nothing could be switched on");
    }
    CheckWiFiParameter(bOn ? 1 : 0, problems);
    CheckStatusFile(bOn, problems);
    if (!adapterListed) {
        return problems;  // no adapter, no state value to follow
    }

    std::optional<DWORD> state = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE);
    if (state && (*state & SIM_STATE_SWITCHING) && !SimGetSetting(SIM_SETTING_STATE_STUCK, 0)) {
        // The library's wait normally outlasts a power change; give a slow one
        // its time once more (the settling timer runs in this process).
        DWORD ms = bOn ? SimGetSetting(SIM_SETTING_POWER_ON_MS, SIM_POWER_ON_MS)
                       : SimGetSetting(SIM_SETTING_POWER_OFF_MS, SIM_POWER_OFF_MS);
        ProgressBegin("waiting for the radio's power change to settle", ms);
        state = WaitForSettledState(ms < GRACE_CAP_MS ? ms : GRACE_CAP_MS);
        ProgressEnd();
    }
    if (!state) {
        problems.push_back("the state value \"WiFi\" is missing");
    } else if (*state & SIM_STATE_SWITCHING) {
        problems.push_back(
            "the state value is stuck at " + Hex(*state, 3) + " (" + StateBitsText(*state) +
            "): the switching bit 0x2 did not clear" +
            (SimGetSetting(SIM_SETTING_STATE_STUCK, 0) ? " (device setting StateStuck=1)" : ""));
    } else if (((*state & SIM_STATE_POWERED) != 0) != bOn || !(*state & SIM_STATE_ADAPTER)) {
        problems.push_back("the state value " + Hex(*state, 3) + " (" + StateBitsText(*state) +
                           ") does not show the radio " + (bOn ? "powered" : "off"));
    }
    return problems;
}

std::vector<std::string> InitShortfalls(std::optional<DWORD> stateBefore)
{
    std::vector<std::string> problems;
    if (!CardInserted()) {
        problems.push_back(
            "the PC card is out (device setting CardInserted=0): its driver "
            "cannot be loaded");
    } else if (!DriverActive()) {
        if (stateBefore.value_or(0) != 0) {
            problems.push_back(
                "the PC-card driver is not loaded: InitWiFi reloads it only when "
                "the state value is 0, and it was " +
                Hex(*stateBefore, 3));
        } else {
            problems.push_back(
                std::string("the PC-card driver is not loaded: its activation failed") +
                (SimGetSetting(SIM_SETTING_FAIL_ACTIVATION, 0)
                     ? " (device setting FailActivation=1)"
                     : " (a fault may be armed)"));
        }
    } else {
        std::optional<DWORD> state = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE);
        if (!state || !(*state & SIM_STATE_ADAPTER)) {
            problems.push_back("the state value " +
                               (state ? Hex(*state, 3) : std::string("(missing)")) +
                               " does not show the adapter (" + Hex(SIM_STATE_ADAPTER, 3) + ")");
        }
    }
    CheckStatusFile(true, problems);
    return problems;
}

std::string ShortfallNextStep(const std::string& command)
{
    (void)command;
    return ToolCommand("diagnose") + " says why, with the commands that fix it";
}

std::string RefusalNextStep(const std::string& boxText)
{
    if (boxText.find("Regulatory was lost") != std::string::npos ||
        boxText.find("regulatory has not been set") != std::string::npos) {
        return "store a domain first: " + ToolCommand("regulatory set DOMAIN") + " (" +
               ToolCommand("regulatory list") + " shows them), then run this command again";
    }
    if (boxText.find("IOCTL_OEM_COLDRESET") != std::string::npos) {
        if (SimGetSetting(SIM_SETTING_REFUSE_COLD_RESET, 0)) {
            return "the kernel refuses cold resets (device setting RefuseColdReset=1): " +
                   ConsoleCommand("accept-reset") + ", then " + ToolCommand("--yes hard-reset");
        }
        return ToolCommand("diagnose");
    }
    return ToolCommand("diagnose") + " says what is wrong";
}
