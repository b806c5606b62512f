// state.cpp - reads what the simulated device shows, without going through the
// library: registry values, the status file, the radio list, the clock.
#include "rendakctl.h"

#include <Rendak.h>
#include <handheld.h>
#include <handheld_radio.h>

static std::string g_device;  // the device worked on, once main has settled it

void SetDeviceShown(const std::wstring& device)
{
    g_device = Utf8(device);
}

std::string DeviceNameUtf8()
{
    return g_device;
}

std::optional<DWORD> DeviceDword(const wchar_t* key, const wchar_t* value)
{
    DWORD data = 0;
    if (!SimRegGetDword(key, value, &data)) {
        return std::nullopt;
    }
    return data;
}

std::wstring StorePath(const wchar_t* devicePath)
{
    std::wstring path(SimStorePath(devicePath, NULL, 0), L'\0');
    SimStorePath(devicePath, &path[0], (DWORD)path.size() + 1);
    return path;
}

// Reads no more than the start of the file: what it says is decided by the
// library's own reader, which stops after its first number.
StatusFile ReadStatusFile()
{
    StatusFile f;
    std::wstring path = StorePath(STATUS_FILE);
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return f;
    }
    f.exists = true;
    f.folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    f.readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (f.folder) {
        return f;
    }
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        char data[STATUS_SHOWN_MAX + 1];
        DWORD got = 0;
        if (ReadFile(h, data, sizeof(data), &got, NULL)) {
            f.truncated = got > STATUS_SHOWN_MAX;
            f.start.assign(data, got > STATUS_SHOWN_MAX ? STATUS_SHOWN_MAX : got);
        }
        CloseHandle(h);
    }
    f.saysOn = IfWiFiHasTurnedOn() != FALSE;
    return f;
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

const SimRadioInfo* AdapterOf(const std::vector<SimRadioInfo>& radios)
{
    for (const SimRadioInfo& r : radios) {
        if (r.adapter) {
            return &r;
        }
    }
    return NULL;
}

bool CardInserted()
{
    return SimGetSetting(SIM_SETTING_CARD_INSERTED, 1) != 0;
}

bool DriverActive()
{
    return SimGetSetting(SIM_SETTING_DRIVER_ACTIVE, 1) != 0;
}

static const struct {
    DWORD bit;
    const char* name;
} kStateBits[] = {
    {SIM_STATE_ADAPTER, "adapter present"},
    {SIM_STATE_SWITCHING, "switching"},
    {SIM_STATE_POWERED, "powered"},
};

std::vector<std::string> StateBitNames(DWORD value)
{
    std::vector<std::string> names;
    for (const auto& b : kStateBits) {
        if (value & b.bit) {
            names.push_back(b.name);
        }
    }
    return names;
}

std::string StateBitsText(DWORD value)
{
    std::string text;
    for (const std::string& n : StateBitNames(value)) {
        text += (text.empty() ? "" : ", ") + n;
    }
    DWORD other = value & ~(DWORD)(SIM_STATE_ADAPTER | SIM_STATE_SWITCHING | SIM_STATE_POWERED);
    if (other) {
        text += (text.empty() ? "" : ", ") + std::string("other bits ") + Hex(other, 3);
    }
    return text.empty() ? "no bits set" : text;
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

DWORD JournalCountOf(bool (*match)(const handheld::JournalEntry& entry))
{
    DWORD n = 0;
    for (const handheld::JournalEntry& e : handheld::ReadJournal()) {
        n += match(e);
    }
    return n;
}

HANDLE OpenDeviceEvent(DWORD access, const wchar_t* name)
{
    static auto open = CoreFunction<HANDLE(WINAPI*)(DWORD, BOOL, LPCWSTR)>("OpenEventW");
    return open ? open(access, FALSE, name) : NULL;
}

void CloseDeviceHandle(HANDLE h)
{
    static auto close = CoreFunction<BOOL(WINAPI*)(HANDLE)>("CloseHandle");
    if (close) {
        close(h);
    }
}

void DeviceSleep(DWORD ms)
{
    // The tool links the desktop's kernel32 first; the device's Sleep is the
    // one that moves the device clock and runs its timers.
    static auto deviceSleep = CoreFunction<void(WINAPI*)(DWORD)>("Sleep");
    if (deviceSleep) {
        deviceSleep(ms);
    } else {
        Sleep(ms);
    }
}

DWORD SettleBoundMs()
{
    DWORD on = SimGetSetting(SIM_SETTING_POWER_ON_MS, SIM_POWER_ON_MS);
    DWORD off = SimGetSetting(SIM_SETTING_POWER_OFF_MS, SIM_POWER_OFF_MS);
    return (on > off ? on : off) + SETTLE_MARGIN_MS;
}

std::optional<DWORD> WaitForSettledState(DWORD ms)
{
    std::optional<DWORD> state = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE);
    for (DWORD waited = 0; state && (*state & SIM_STATE_SWITCHING) && waited < ms; waited += 100) {
        DeviceSleep(100);
        state = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE);
    }
    return state;
}

// Faults armed on the device, "Operation|target[|once] = error N": values under
// the device's Settings\Faults key on the host (docs/handheld.md).
std::vector<std::string> ArmedFaults()
{
    std::vector<std::string> faults;
    std::wstring key =
        std::wstring(SIM_DEVICES_KEY) + L"\\" + SimDeviceName() + L"\\Settings\\Faults";
    HKEY hFaults;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &hFaults) != ERROR_SUCCESS) {
        return faults;
    }
    for (DWORD i = 0;; i++) {
        wchar_t name[400];
        DWORD cch = 400, type = 0, value = 0, cb = sizeof(value);
        LONG r = RegEnumValueW(hFaults, i, name, &cch, NULL, &type, (LPBYTE)&value, &cb);
        if (r == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (r == ERROR_SUCCESS) {
            faults.push_back(Utf8(name) + " = error " + std::to_string(value));
        }
    }
    RegCloseKey(hFaults);
    return faults;
}
