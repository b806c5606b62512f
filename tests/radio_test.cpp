// Radio switching: the three radio exports on the simulated radios and Wi-Fi
// adapter, the state waits counted in device time, and the status file.
#include "testing.h"

#include <handheld_radio.h>
#define WINCE_HOST_CRT
#include <wince.h>

namespace {

#define STATE_READS L"RegQueryValueExW|" REG_STATE_KEY L"\\" REG_STATE_VALUE L"|"

class Radio : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        outstandingBefore_ = SimRadioListsOutstanding();
        badFreesBefore_ = SimRadioBadFrees();
        handedOutBefore_ = SimRadioListsHandedOut();
    }
    // Every list the library fetched in this test was returned exactly once.
    void ExpectListsFreedOnce(DWORD expectedLists)
    {
        EXPECT_EQ(SimRadioListsHandedOut() - handedOutBefore_, expectedLists);
        EXPECT_EQ(SimRadioListsOutstanding(), outstandingBefore_);
        EXPECT_EQ(SimRadioBadFrees(), badFreesBefore_);
        EXPECT_EQ(CountJournal(L"FreeDeviceList|ok"), expectedLists);
        EXPECT_EQ(CountJournal(L"FreeDeviceList|unknown"), 0u);
    }
    DWORD outstandingBefore_ = 0, badFreesBefore_ = 0, handedOutBefore_ = 0;
};

void StoreDomain()
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
}

// Collects the checks of one helper into one result that names each miss.
class Checks {
public:
    void operator()(bool same, const std::string& what)
    {
        if (!same) {
            misses_ += what + "; ";
        }
    }
    testing::AssertionResult Result() const
    {
        return misses_.empty() ? testing::AssertionSuccess()
                               : testing::AssertionFailure() << misses_;
    }

private:
    std::string misses_;
};

// The driver's parameter and the status file both record the radio as on (1) or off (0).
testing::AssertionResult Recorded(DWORD on)
{
    Checks check;
    std::optional<DWORD> parameter = RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE);
    std::optional<std::string> file = ReadDeviceFile(STATUS_FILE);
    check(parameter == on,
          "the driver's parameter is " + (parameter ? std::to_string(*parameter) : "missing"));
    check(file == std::to_string(on), "the status file holds " + file.value_or("nothing"));
    return check.Result();
}

// What a finished switch of the adapter leaves behind: its power, the one
// ChangeRadioState call (its arguments after the radio's name), what is
// recorded and what IfWiFiHasTurnedOn says.
testing::AssertionResult SwitchedTo(DWORD on, const std::wstring& call)
{
    Checks check;
    std::vector<std::wstring> calls = JournalMatching(L"ChangeRadioState|");
    check(RadioPower(ADAPTER_RADIO) == on, "the adapter's power is not " + std::to_string(on));
    check(calls == std::vector<std::wstring>{SIM_J_CHANGE_RADIO L"|" ADAPTER_RADIO L"|" + call},
          std::to_string(calls.size()) + " radio changes, the first " +
              (calls.empty() ? std::string("none") : Narrow(calls[0])));
    testing::AssertionResult recorded = Recorded(on);
    check(recorded, recorded.message());
    check(IfWiFiHasTurnedOn() == (int)on, "IfWiFiHasTurnedOn is not " + std::to_string(on));
    return check.Result();
}

TEST_F(Radio, TurnOnWithoutDomainShowsMessageAndChangesNothing)
{
    WriteDeviceFile(STATUS_FILE, "0");
    SetRegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE, 0);
    TurnOnWiFiModule();

    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"The Wi-Fi Regulatory was lost, please set it again.");
    EXPECT_EQ(boxes[0].caption, L"Error !");
    EXPECT_EQ(boxes[0].flags, 0x10010u);
    EXPECT_EQ(RadioPower(ADAPTER_RADIO), 0u);
    EXPECT_TRUE(Recorded(0));
    EXPECT_EQ(CountJournal(L"GetWirelessDevices|"), 0u);
    EXPECT_TRUE(Sleeps().empty());
}

TEST_F(Radio, TurnOnSwitchesTheAdapterAndWaitsOneReadingOut)
{
    StoreDomain();
    ULONGLONG start = SimNow();
    TurnOnWiFiModule();

    EXPECT_TRUE(SwitchedTo(1, L"1|1|0x00000000"));
    // Switching on takes SIM_POWER_ON_MS: the first reading shows it, one 4000 ms pause.
    EXPECT_EQ(Sleeps(), std::vector<DWORD>{4000});
    EXPECT_EQ(CountJournal(STATE_READS), 2u);
    EXPECT_EQ(SimNow() - start, 4000u);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE),
              (DWORD)(SIM_STATE_ADAPTER | SIM_STATE_POWERED));
    // The wait cursor is shown and the previous one put back.
    EXPECT_EQ(JournalMatching(L"SetCursor|"),
              (std::vector<std::wstring>{L"SetCursor|wait", L"SetCursor|none"}));
    EXPECT_TRUE(MessageBoxes().empty());
    ExpectListsFreedOnce(1);
}

TEST_F(Radio, PhoneAndBluetoothAreNeverTouched)
{
    StoreDomain();
    TurnOnWiFiModule();
    TurnOffWiFiModule();
    TurnOnWiFiModule();
    EXPECT_EQ(RadioPower(L"CELL1"), 1u);
    EXPECT_EQ(RadioPower(L"BTH1"), 0u);
    for (const std::wstring& e : JournalMatching(L"ChangeRadioState|")) {
        EXPECT_EQ(handheld::ParseJournalEntry(e).Field(0), ADAPTER_RADIO) << Narrow(e);
    }
    EXPECT_EQ(CountJournal(L"ChangeRadioState|"), 3u);
    ExpectListsFreedOnce(3);
}

TEST_F(Radio, TurnOffWithoutDomainStillSwitchesOffAndRecordsZero)
{
    StoreDomain();
    TurnOnWiFiModule();
    SimRegDeleteValue(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
    SimJournalClear();
    ULONGLONG start = SimNow();
    TurnOffWiFiModule();

    EXPECT_TRUE(MessageBoxes().empty());
    // Two writes of the status file in a row: only the last number is left.
    EXPECT_TRUE(SwitchedTo(0, L"0|2|0x00000000"));
    // Switching off takes SIM_POWER_OFF_MS: one 3000 ms pause.
    EXPECT_EQ(Sleeps(), std::vector<DWORD>{3000});
    EXPECT_EQ(SimNow() - start, 3000u);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), (DWORD)SIM_STATE_ADAPTER);
}

// The "off" notification switches the radio off; a radio that is already off
// must not change again, or every "off" would start another round.
TEST_F(Radio, OffNotificationDoesNotKeepSwitchingTheRadio)
{
    StoreDomain();
    InitWiFi();
    TurnOnWiFiModule();
    TurnOffWiFiModule();
    SimJournalClear();
    DeviceSleep(30000);
    EXPECT_EQ(CountJournal(L"Device|state|"), 0u);
    EXPECT_EQ(RadioPower(ADAPTER_RADIO), 0u);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), (DWORD)SIM_STATE_ADAPTER);
}

TEST_F(Radio, TwoManagedRadiosBothOnOnlyFirstOff)
{
    ASSERT_TRUE(SimSetupRadios(SIM_RADIOS_TWO_WIFI));
    StoreDomain();
    TurnOnWiFiModule();
    EXPECT_EQ(RadioPower(ADAPTER_RADIO), 1u);
    EXPECT_EQ(RadioPower(L"WLAN2"), 1u);
    EXPECT_EQ(CountJournal(L"ChangeRadioState|WLAN2|1|1|"), 1u);

    TurnOffWiFiModule();
    EXPECT_EQ(RadioPower(ADAPTER_RADIO), 0u);
    EXPECT_EQ(RadioPower(L"WLAN2"), 1u);
    EXPECT_EQ(CountJournal(L"ChangeRadioState|WLAN2|0|"), 0u);
    EXPECT_EQ(RadioPower(L"CELL1"), 1u);
    EXPECT_EQ(RadioPower(L"BTH1"), 0u);
    ExpectListsFreedOnce(2);
}

TEST_F(Radio, FirstManagedRadioInListOrderIsTheOneSwitchedOff)
{
    // A plain managed radio ahead of the adapter: it is the "first" one.
    const SIMRADIO radios[] = {
        {L"WLAN0", L"WLAN0", RADIODEVICES_MANAGED, 1, FALSE, FALSE},
        {ADAPTER_RADIO, ADAPTER_RADIO, RADIODEVICES_MANAGED, 1, TRUE, FALSE}};
    ASSERT_TRUE(SimSetRadios(radios, 2));
    TurnOffWiFiModule();
    EXPECT_EQ(RadioPower(L"WLAN0"), 0u);
    EXPECT_EQ(RadioPower(ADAPTER_RADIO), 1u);
    ExpectListsFreedOnce(1);
}

TEST_F(Radio, NoRadiosAtAllStillWritesParameterAndStatus)
{
    ASSERT_TRUE(SimSetupRadios(SIM_RADIOS_NONE));
    StoreDomain();
    SimJournalClear();
    TurnOnWiFiModule();
    EXPECT_EQ(CountJournal(L"GetWirelessDevices|0|0"), 1u);
    EXPECT_EQ(CountJournal(L"ChangeRadioState|"), 0u);
    EXPECT_TRUE(Recorded(1));
    // Nothing switches, so the bit is clear at the first reading: no pause.
    EXPECT_TRUE(Sleeps().empty());
    EXPECT_EQ(CountJournal(STATE_READS), 1u);

    TurnOffWiFiModule();
    EXPECT_TRUE(Recorded(0));
    EXPECT_TRUE(Sleeps().empty());
    // No list came back, so none is freed.
    ExpectListsFreedOnce(0);
}

TEST_F(Radio, NoManagedRadioSwitchesNothingButFreesTheList)
{
    ASSERT_TRUE(SimSetupRadios(SIM_RADIOS_NO_WIFI));
    StoreDomain();
    TurnOnWiFiModule();
    TurnOffWiFiModule();
    EXPECT_EQ(CountJournal(L"ChangeRadioState|"), 0u);
    EXPECT_EQ(RadioPower(L"CELL1"), 1u);
    EXPECT_EQ(RadioPower(L"BTH1"), 0u);
    EXPECT_TRUE(Recorded(0));
    EXPECT_TRUE(Sleeps().empty());
    ExpectListsFreedOnce(2);
}

TEST_F(Radio, AdapterWithoutItsCardIsNotListed)
{
    SimSetSetting(SIM_SETTING_CARD_INSERTED, 0);
    StoreDomain();
    TurnOnWiFiModule();
    EXPECT_EQ(CountJournal(L"GetWirelessDevices|0|2"), 1u);
    EXPECT_EQ(CountJournal(L"ChangeRadioState|"), 0u);
    EXPECT_EQ(RadioPower(ADAPTER_RADIO), 0u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
    ExpectListsFreedOnce(1);
}

TEST_F(Radio, InstantAdapterNeedsNoPause)
{
    SimSetSetting(SIM_SETTING_POWER_ON_MS, 0);
    SimSetSetting(SIM_SETTING_POWER_OFF_MS, 0);
    StoreDomain();
    TurnOnWiFiModule();
    EXPECT_EQ(RadioPower(ADAPTER_RADIO), 1u);
    TurnOffWiFiModule();
    EXPECT_EQ(RadioPower(ADAPTER_RADIO), 0u);
    EXPECT_TRUE(Sleeps().empty());
    EXPECT_EQ(CountJournal(STATE_READS), 2u);
}

TEST_F(Radio, StuckStateBoundsBothWaitsToTenReadings)
{
    SimSetStateStuck(TRUE);
    StoreDomain();
    ULONGLONG start = SimNow();
    TurnOffWiFiModule();
    EXPECT_EQ(Sleeps(), std::vector<DWORD>(10, 3000));
    EXPECT_EQ(CountJournal(STATE_READS), 10u);
    EXPECT_EQ(SimNow() - start, 30000u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "0");

    SimJournalClear();
    start = SimNow();
    TurnOnWiFiModule();
    EXPECT_EQ(Sleeps(), std::vector<DWORD>(10, 4000));
    EXPECT_EQ(CountJournal(STATE_READS), 10u);
    EXPECT_EQ(SimNow() - start, 40000u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
    EXPECT_EQ(JournalMatching(L"SetCursor|").back(), L"SetCursor|none");
}

TEST_F(Radio, UnreadableStateEndsTheWaitAtOnce)
{
    SimSetStateStuck(TRUE);
    SimSetFault(L"RegOpenKeyExW", REG_STATE_KEY, ERROR_ACCESS_DENIED, FALSE);
    TurnOffWiFiModule();
    EXPECT_TRUE(Sleeps().empty());
    EXPECT_EQ(CountJournal(STATE_READS), 0u);
    EXPECT_EQ(JournalMatching(L"SetCursor|"),
              (std::vector<std::wstring>{L"SetCursor|wait", L"SetCursor|none"}));
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "0");
}

TEST_F(Radio, StatusFileReadsOneOnlyForTheNumberOne)
{
    const struct {
        const char* content;
        BOOL expected;
    } cases[] = {{"1", 1},  {"1\n", 1}, {"1\r\n", 1}, {"0", 0}, {"2", 0},
                 {"11", 0}, {"on", 0},  {"", 0},      {" 1", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        WriteDeviceFile(STATUS_FILE, c.content);
        EXPECT_EQ(IfWiFiHasTurnedOn(), c.expected);
    }
    DeleteDeviceFile(STATUS_FILE);
    EXPECT_EQ(IfWiFiHasTurnedOn(), 0);
}

// The simulated wireless-device interface itself, as the tests above rely on it.
class RadioPlatform : public Radio {
protected:
    void SetUp() override
    {
        Radio::SetUp();
        hOs_ = LoadLibraryW(L"ossvcs.dll");
        ASSERT_NE(hOs_, nullptr);
        get_ = reinterpret_cast<GetFn>(Proc("GetWirelessDevices"));
        change_ = reinterpret_cast<ChangeFn>(Proc("ChangeRadioState"));
        free_ = reinterpret_cast<FreeFn>(Proc("FreeDeviceList"));
        ASSERT_TRUE(get_ && change_ && free_);
    }
    void* Proc(const char* name) { return reinterpret_cast<void*>(GetProcAddress(hOs_, name)); }
    void TearDown() override
    {
        FreeLibrary(hOs_);
        Radio::TearDown();
    }
    typedef HRESULT(WINAPI* GetFn)(RDD**, DWORD);
    typedef HRESULT(WINAPI* ChangeFn)(RDD*, DWORD, SAVEACTION);
    typedef HRESULT(WINAPI* FreeFn)(RDD*);
    HMODULE hOs_ = NULL;
    GetFn get_ = nullptr;
    ChangeFn change_ = nullptr;
    FreeFn free_ = nullptr;
};

TEST_F(RadioPlatform, ListHoldsTheRadiosInOrder)
{
    RDD* head = reinterpret_cast<RDD*>(0x1);
    ASSERT_EQ(get_(&head, 0), S_OK);
    ASSERT_NE(head, nullptr);
    const wchar_t* names[] = {L"CELL1", ADAPTER_RADIO, L"BTH1"};
    const RADIODEVTYPE types[] = {RADIODEVICES_PHONE, RADIODEVICES_MANAGED, RADIODEVICES_BLUETOOTH};
    const DWORD states[] = {1, 0, 0};
    RDD* p = head;
    for (int i = 0; i < 3; i++, p = p->pNext) {
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p->pszDeviceName, names[i]);
        EXPECT_EQ(p->DeviceType, types[i]);
        EXPECT_EQ(p->dwState, states[i]);
    }
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(SimRadioListsOutstanding(), outstandingBefore_ + 1);
    EXPECT_EQ(free_(head), S_OK);
    EXPECT_EQ(SimRadioListsOutstanding(), outstandingBefore_);
}

TEST_F(RadioPlatform, UnfreedAndTwiceFreedListsAreCounted)
{
    RDD* kept = nullptr;
    RDD* twice = nullptr;
    ASSERT_EQ(get_(&kept, 0), S_OK);
    ASSERT_EQ(get_(&twice, 0), S_OK);
    EXPECT_EQ(free_(twice), S_OK);
    // The second free, and a record of the freed list, are refused, not used.
    EXPECT_EQ(free_(twice), E_INVALIDARG);
    EXPECT_EQ(change_(twice, 1, RADIODEVICES_PRE_SAVE), E_INVALIDARG);
    RDD stranger = {};
    EXPECT_EQ(free_(&stranger), E_INVALIDARG);
    EXPECT_EQ(SimRadioListsOutstanding(), outstandingBefore_ + 1);
    EXPECT_EQ(SimRadioBadFrees(), badFreesBefore_ + 2);
    EXPECT_EQ(RadioPower(L"CELL1"), 1u);
    EXPECT_EQ(free_(kept), S_OK);
    EXPECT_EQ(SimRadioListsOutstanding(), outstandingBefore_);
}

TEST_F(RadioPlatform, ChangeRadioStateUpdatesTheRecordAndRefusesOddStates)
{
    RDD* head = nullptr;
    ASSERT_EQ(get_(&head, 0), S_OK);
    RDD* bth = head->pNext->pNext;
    EXPECT_EQ(change_(bth, 1, RADIODEVICES_DONT_SAVE), S_OK);
    EXPECT_EQ(bth->dwState, 1u);
    EXPECT_EQ(RadioPower(L"BTH1"), 1u);
    EXPECT_EQ(change_(bth, 2, RADIODEVICES_DONT_SAVE), E_INVALIDARG);
    EXPECT_EQ(RadioPower(L"BTH1"), 1u);
    // The adapter switches through its model: the state shows it switching.
    EXPECT_EQ(change_(head->pNext, 1, RADIODEVICES_PRE_SAVE), S_OK);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE),
              (DWORD)(SIM_STATE_ADAPTER | SIM_STATE_SWITCHING | SIM_STATE_POWERED));
    EXPECT_EQ(free_(head), S_OK);
}

}  // namespace
