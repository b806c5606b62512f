// verify.cpp - after "on" or "off": did the radio and the state value follow?
// The library's switching exports report nothing, so a switch that changed
// nothing (card out, stuck state, a radio that stayed as it was) would pass
// unseen; the tool reads the device back instead.
#include "rendakctl.h"

#include <handheld.h>

#define GRACE_CAP_MS 10000  // at most this long for a change still settling

// The Wi-Fi radios the library switches: the listed ones of the managed type.
static std::vector<SimRadioInfo> ListedWiFiRadios(const std::vector<SimRadioInfo>& radios)
{
    std::vector<SimRadioInfo> wifi;
    for (const SimRadioInfo& r : radios) {
        if (r.listed && r.type == 1) {
            wifi.push_back(r);
        }
    }
    return wifi;
}

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

std::vector<std::string> SwitchShortfalls(bool bOn)
{
    std::vector<std::string> problems;
    std::vector<SimRadioInfo> radios = ModelRadios();
    const SimRadioInfo* adapter = NULL;
    for (const SimRadioInfo& r : radios) {
        if (r.adapter) {
            adapter = &r;
            break;
        }
    }
    bool adapterListed = adapter && adapter->listed;
    if (bOn && adapter && !adapter->listed) {
        problems.push_back("the Wi-Fi adapter " + adapter->name +
                           " is not listed, so it could not be switched on: " + AdapterAbsence());
    }
    std::vector<SimRadioInfo> wifi = ListedWiFiRadios(radios);
    if (bOn && wifi.empty() && !(adapter && !adapter->listed)) {
        problems.push_back(
            "the device lists no Wi-Fi radio (type 1): nothing could be switched on");
    }
    for (const SimRadioInfo& r : wifi) {
        if (r.on != bOn) {
            problems.push_back("the radio " + r.name + " (" + r.display + ") is still " +
                               (r.on ? "on" : "off"));
        }
    }
    if (!adapterListed) {
        return problems;  // no adapter, no state value to follow
    }

    std::optional<DWORD> state = DeviceDword(STATE_KEY, L"WiFi");
    if (state && (*state & STATE_SWITCHING) && !SimGetSetting(L"StateStuck", 0)) {
        // The library's wait normally outlasts a power change; give a slow one
        // its time once more (the settling timer runs in this process).
        DWORD ms = SimGetSetting(bOn ? L"PowerOnMs" : L"PowerOffMs", bOn ? 2500 : 1500);
        DeviceSleep(ms < GRACE_CAP_MS ? ms : GRACE_CAP_MS);
        state = DeviceDword(STATE_KEY, L"WiFi");
    }
    if (!state) {
        problems.push_back("the state value \"WiFi\" is missing");
    } else if (*state & STATE_SWITCHING) {
        problems.push_back(
            "the state value is stuck at " + Hex(*state, 3) + " (" + StateBitsText(*state) +
            "): the switching bit 0x2 did not clear" +
            (SimGetSetting(L"StateStuck", 0) ? " (device setting StateStuck=1)" : ""));
    } else if (((*state & STATE_POWERED) != 0) != bOn) {
        problems.push_back("the state value " + Hex(*state, 3) + " (" + StateBitsText(*state) +
                           ") does not show the radio " + (bOn ? "powered" : "off"));
    }
    return problems;
}
