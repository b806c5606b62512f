// What the device keeps when its power goes: the registry as last committed,
// the files as last closed, a factory reset whole or not at all; and the
// battery pull itself, as a tester uses it.
#include "testing.h"

#include <handheld_devmgr.h>
#include <handheld_radio.h>

#include <shlwapi.h>

#include <fstream>

namespace {

class Durability : public DeviceTest {};

using RegCreateFn = decltype(&RegCreateKeyExW);
using RegSetFn = decltype(&RegSetValueExW);
using RegFlushFn = decltype(&RegFlushKey);
using RegCloseFn = decltype(&RegCloseKey);

// Writes a DWORD through the platform as the library does, committing it
// with RegFlushKey when asked; false (said at the caller's line) if a call failed.
bool DeviceWrite(const wchar_t* key, const wchar_t* name, DWORD value, bool flush,
                 Caller at = Caller())
{
    HKEY hKey;
    LONG created = CoreFunction<RegCreateFn>("RegCreateKeyExW", at)(
        HKEY_LOCAL_MACHINE, key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey, NULL);
    if (created != ERROR_SUCCESS) {
        FAIL_AT(at) << "RegCreateKeyExW: " << created;
        return false;
    }
    LONG set = CoreFunction<RegSetFn>("RegSetValueExW", at)(hKey, name, 0, REG_DWORD,
                                                            (const BYTE*)&value, sizeof(value));
    LONG flushed = flush ? CoreFunction<RegFlushFn>("RegFlushKey", at)(hKey) : ERROR_SUCCESS;
    CoreFunction<RegCloseFn>("RegCloseKey", at)(hKey);
    if (set != ERROR_SUCCESS || flushed != ERROR_SUCCESS) {
        FAIL_AT(at) << "RegSetValueExW: " << set << ", RegFlushKey: " << flushed;
        return false;
    }
    return true;
}

// The host forgets the device's registry, as a wineserver killed before its
// next save does (or one whose save is older than the last commit).
bool HostLosesTheRegistry()
{
    return SHDeleteKeyW(HKEY_CURRENT_USER, HostKey().c_str()) == ERROR_SUCCESS;
}

// The next start of the device: a second process opens it; its exit code.
DWORD StartAgain()
{
    PROCESS_INFORMATION pi = StartSelf(L"DurabilityChild.OpensTheDevice");
    return WaitAndClose(pi);
}

std::wstring HostFile(const std::wstring& name)
{
    return DeviceFolder() + L"\\" + name;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST_F(Durability, AFlushCommitsTheWholeRegistryAndAStartTakesTheNewerState)
{
    ULONGLONG before = SimCommittedGeneration();
    ASSERT_TRUE(DeviceWrite(L"Nls", L"Other", 5, false));
    ASSERT_TRUE(
        DeviceWrite(REG_ADAPTER_KEY, REG_WIFI_VALUE, 1, true));  // commits the Nls value too
    EXPECT_EQ(SimCommittedGeneration(), before + 1);
    ASSERT_TRUE(DeviceWrite(REG_ADAPTER_KEY, L"Uncommitted", 7, false));

    // The host saved after the commit: its newer state stands.
    ASSERT_EQ(StartAgain(), 0u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, L"Uncommitted"), 7u);

    // The host lost everything since its last save: the commit stands.
    ASSERT_TRUE(HostLosesTheRegistry());
    ASSERT_EQ(StartAgain(), 0u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 1u);
    EXPECT_EQ(RegDword(L"Nls", L"Other"), 5u);
    EXPECT_EQ(RegDword(REG_LOCALE_KEY, REG_LCID_VALUE), 0x0409u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, L"Uncommitted"), std::nullopt);
    EXPECT_EQ(SimCommittedGeneration(), before + 1);
}

TEST_F(Durability, AStartNeverRebuildsAMadeDeviceNorTouchesItsStore)
{
    WriteDeviceFile(L"\\Application Data\\keep.txt", "kept");
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);  // the harness's writes are committed
    SimSetSetting(SIM_SETTING_STATE_STUCK, 1);
    ASSERT_TRUE(HostLosesTheRegistry());
    ASSERT_EQ(StartAgain(), 0u);
    EXPECT_EQ(ReadDeviceFile(L"\\Application Data\\keep.txt"), "kept");
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x30u);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_STATE_STUCK, 0), 1u);
}

TEST_F(Durability, AResetCutShortIsCompletedByTheNextStart)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x40);
    WriteDeviceFile(STATUS_FILE, "1");
    // A cut just after the reset's intent reached the disk.
    std::ofstream(HostFile(L"reset.pending").c_str()).put('\n');
    ASSERT_EQ(StartAgain(), 0u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), std::nullopt);
    EXPECT_TRUE(Exists(HostFile(L"Store\\Application Data")));
    EXPECT_FALSE(Exists(HostFile(L"reset.pending")));

    // A whole reset: registry and store together, and committed.
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x40);
    WriteDeviceFile(STATUS_FILE, "1");
    ASSERT_TRUE(SimResetDevice());
    ASSERT_TRUE(HostLosesTheRegistry());
    ASSERT_EQ(StartAgain(), 0u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    EXPECT_EQ(RegDword(REG_OEM_KEY, REG_WIFI_VALUE), 1u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), std::nullopt);
}

TEST_F(Durability, AnImageThatIsNotWholeIsNotBelievedAndTheLiveDeviceIsCommittedAgain)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x31);
    ULONGLONG generation = SimCommittedGeneration();
    {
        std::fstream image(HostFile(L"registry.img").c_str(),
                           std::ios::in | std::ios::out | std::ios::binary);
        image.seekp(40);
        image.put('#');
    }
    EXPECT_EQ(SimCommittedGeneration(), 0u);
    ASSERT_EQ(StartAgain(), 0u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x31u);
    EXPECT_GT(SimCommittedGeneration(), generation);
}

TEST_F(Durability, ADeviceFromBeforeImagesKeepsItsRegistry)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x20);
    ASSERT_TRUE(DeleteFileW(HostFile(L"registry.img").c_str()));
    HKEY hDevice;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, HostKey().c_str(), 0, KEY_ALL_ACCESS, &hDevice),
              ERROR_SUCCESS);
    RegDeleteValueW(hDevice, L"Generation");
    DWORD made = 1;
    RegSetValueExW(hDevice, L"Made", 0, REG_DWORD, (const BYTE*)&made, sizeof(made));
    RegCloseKey(hDevice);
    ASSERT_EQ(StartAgain(), 0u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x20u);
    EXPECT_GT(SimCommittedGeneration(), 0u);
}

// --- The battery pull ------------------------------------------------------------------

TEST_F(Durability, APowerCutEndsTheDevicesProcessesAndBootsFromWhatWasCommitted)
{
    ASSERT_EQ(SimRadioSwitch(ADAPTER_RADIO, 1), S_OK);
    ASSERT_EQ(SimRadioSwitch(L"BTH1", 1), S_OK);
    DeviceSleep(5000);
    ASSERT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE),
              (DWORD)(SIM_STATE_ADAPTER | SIM_STATE_POWERED));
    ULONGLONG cuts = SimKernelCounter(L"PowerCuts");

    PROCESS_INFORMATION pi = StartSelf(L"DurabilityChild.WritesThenRunsUntilThePowerGoes");
    ASSERT_TRUE(WaitUntil([] { return CountDeviceJournal(L"Child|ready") > 0; }));
    DWORD others[8];
    EXPECT_EQ(SimDeviceProcesses(others, 8), 1u);
    EXPECT_EQ(SimPowerCut(), 1u);
    EXPECT_EQ(WaitAndClose(pi, 5000), (DWORD)SIM_EXIT_POWER_CUT);
    EXPECT_EQ(SimDeviceProcesses(NULL, 0), 0u);

    // Registry as last committed, files as last closed.
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, L"Committed"), 1u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, L"Uncommitted"), std::nullopt);
    EXPECT_EQ(ReadDeviceFile(L"\\Application Data\\closed.txt"), "closed");
    EXPECT_NE(ReadDeviceFile(L"\\Application Data\\open.txt"), "written");
    // Radios off, the driver loaded, the state value of a fresh boot.
    DWORD power = 9;
    for (const wchar_t* radio : {L"CELL1", ADAPTER_RADIO, L"BTH1"}) {
        EXPECT_TRUE(SimGetRadioPower(radio, &power));
        EXPECT_EQ(power, 0u) << Narrow(radio);
    }
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), (DWORD)SIM_STATE_ADAPTER);
    EXPECT_EQ(SimAdapterState(), (DWORD)SIM_STATE_ADAPTER);
    EXPECT_EQ(SimKernelCounter(L"PowerCuts"), cuts + 1);
    EXPECT_EQ(CountJournal(L"Device|power|cut|1"), 1u);
    std::ifstream log((DeviceFolder() + L"\\debug.log").c_str());
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Power cut: 1 process(es) ended"), std::string::npos) << text;
}

TEST_F(Durability, APowerCutKeepsTheCardWhereItWasAndWhatTheHarnessSet)
{
    ASSERT_TRUE(SimSetFault(L"RegOpenKeyExW", L"Nls", ERROR_ACCESS_DENIED, FALSE));
    ASSERT_TRUE(SimEjectCard());
    EXPECT_EQ(SimPowerCut(), 0u);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0u);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_CARD_INSERTED, 1), 0u);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_DRIVER_ACTIVE, 1), 0u);
    HKEY hKey;
    EXPECT_EQ(CoreFunction<decltype(&RegOpenKeyExW)>("RegOpenKeyExW")(HKEY_LOCAL_MACHINE, L"Nls", 0,
                                                                      KEY_READ, &hKey),
              ERROR_ACCESS_DENIED);

    ASSERT_TRUE(SimInsertCard(FALSE));
    SimSetStateStuck(TRUE);
    EXPECT_EQ(SimPowerCut(), 0u);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_DRIVER_ACTIVE, 0),
              1u);  // a boot loads the driver of a card that is in
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE),
              (DWORD)(SIM_STATE_ADAPTER | SIM_STATE_SWITCHING));
}

// --- Second processes -------------------------------------------------------------------

TEST(DurabilityChild, OpensTheDevice)
{
    EXPECT_NE(SimDeviceName(), nullptr);
}

TEST(DurabilityChild, WritesThenRunsUntilThePowerGoes)
{
    ASSERT_TRUE(DeviceWrite(REG_ADAPTER_KEY, L"Committed", 1, true));
    ASSERT_TRUE(DeviceWrite(REG_ADAPTER_KEY, L"Uncommitted", 1, false));
    using OpenFn = FILE* (*)(const wchar_t*, const wchar_t*);
    auto wfopen = CoreFunction<OpenFn>("_wfopen");
    auto wprint = CoreFunction<int (*)(FILE*, const wchar_t*, ...)>("fwprintf");
    auto wclose = CoreFunction<int (*)(FILE*)>("fclose");
    FILE* closed = wfopen(L"\\Application Data\\closed.txt", L"wt");
    ASSERT_NE(closed, nullptr);
    wprint(closed, L"closed");
    wclose(closed);
    FILE* open = wfopen(L"\\Application Data\\open.txt", L"wt");
    ASSERT_NE(open, nullptr);
    wprint(open, L"written");  // buffered: the process ends before it is closed
    SimJournalAdd(L"Child|ready");
    Sleep(INFINITE);
}

}  // namespace
