// state.cpp - reads what the simulated device shows, without going through the
// library: registry values, the status file, the radio list.
#include "rendakctl.h"

#include <handheld.h>
#include <handheld_radio.h>

#include <algorithm>
#include <fstream>
#include <sstream>

std::optional<DWORD> DeviceDword(const wchar_t* key, const wchar_t* value)
{
    DWORD data = 0;
    if (!SimRegGetDword(key, value, &data)) {
        return std::nullopt;
    }
    return data;
}

std::optional<std::string> StatusFileText()
{
    std::wstring path(SimStorePath(STATUS_FILE_PATH, NULL, 0), L'\0');
    SimStorePath(STATUS_FILE_PATH, &path[0], (DWORD)path.size() + 1);
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The radio list in the device's order; see docs/radios.md.
std::vector<Radio> DeviceRadios()
{
    std::vector<Radio> radios;
    DWORD count = SimRadioCount();
    for (DWORD i = 0; i < count; i++) {
        SIMRADIO r;
        if (SimGetRadio(i, &r)) {
            radios.push_back({r.szName, r.szDisplay, r.dwType, r.dwPower != 0});
        }
    }
    return radios;
}

static const struct {
    DWORD bit;
    const char* name;
} g_aStateBits[] = {
    {STATE_ADAPTER, "adapter present"},
    {STATE_SWITCHING, "switching"},
    {STATE_POWERED, "powered"},
};

std::vector<std::string> StateBitNames(DWORD value)
{
    std::vector<std::string> names;
    for (const auto& b : g_aStateBits) {
        if (value & b.bit) {
            names.push_back(b.name);
        }
    }
    DWORD known = STATE_ADAPTER | STATE_SWITCHING | STATE_POWERED;
    if (value & ~known) {
        names.push_back("other bits " + Hex(value & ~known, 0));
    }
    return names;
}

std::string StateBitsText(DWORD value)
{
    std::string text;
    for (const std::string& n : StateBitNames(value)) {
        text += (text.empty() ? "" : ", ") + n;
    }
    return text.empty() ? "no bits set" : text;
}

std::string StateBitsJson(DWORD value)
{
    std::string out;
    for (const std::string& b : StateBitNames(value)) {
        out += (out.empty() ? "" : ",") + JsonString(b);
    }
    return "[" + out + "]";
}

const char* RadioTypeName(DWORD type)
{
    switch (type) {
    case 1:
        return "managed (Wi-Fi)";
    case 2:
        return "phone";
    case 3:
        return "Bluetooth";
    default:
        return "unknown";
    }
}

std::vector<SimRadioInfo> ModelRadios()
{
    std::vector<SimRadioInfo> radios;
    DWORD count = SimRadioCount();
    for (DWORD i = 0; i < count; i++) {
        SIMRADIO r = {};
        if (!SimGetRadio(i, &r)) {
            continue;
        }
        radios.push_back({Utf8(r.szName), Utf8(r.szDisplay), r.dwType, r.dwPower != 0,
                          r.bAdapter != FALSE, r.bListed != FALSE});
    }
    return radios;
}

bool CardInserted()
{
    return SimGetSetting(L"CardInserted", 1) != 0;
}

bool DriverActive()
{
    return SimGetSetting(L"DriverActive", 1) != 0;
}

void DeviceSleep(DWORD ms)
{
    // The tool links the desktop's kernel32 first; the device's Sleep is the
    // one that moves the device clock and runs its timers.
    typedef void(WINAPI * SLEEP)(DWORD);
    SLEEP pfn = (SLEEP)(void*)GetProcAddress(GetModuleHandleW(L"coredll.dll"), "Sleep");
    if (pfn) {
        pfn(ms);
    } else {
        Sleep(ms);
    }
}
