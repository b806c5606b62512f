// The regulatory domain: choosing a row, storing it for the adapter driver,
// signalling a reload, and reading the stored domain back.
#include "testing.h"

#include <climits>

namespace {

struct Row {
    int index;
    DWORD code;
    DWORD mask;
};
const Row kRows[] = {{1, 0x10, 0x07FF}, {2, 0x20, 0x07FF}, {3, 0x30, 0x1FFF},
                     {4, 0x32, 0x1E00}, {5, 0x31, 0x0600}, {6, 0x40, 0x3FFF}};

class Regulatory : public DeviceTest {};

size_t ReloadSignals()
{
    return CountJournal(handheld::EventSetEntry(RELOAD_EVENT_NAME));
}

TEST_F(Regulatory, FlagIsClearAtLoadAndSetByAnyChange)
{
    EXPECT_EQ(IfWiFiRegulatorySet(), 0);
    ChangeWiFiRegulatory(0);
    EXPECT_EQ(IfWiFiRegulatorySet(), 1);
}

TEST_F(Regulatory, EveryRowStoresItsCodeAndMaskAndSignalsAReload)
{
    size_t signals = 0;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.index);
        SimRegSetDword(REG_VENDOR_KEY, REG_DOMAIN_VALUE, 0);
        ChangeWiFiRegulatory(row.index);
        EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), row.code);
        EXPECT_EQ(RegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE), row.mask);
        EXPECT_EQ(RegDword(REG_VENDOR_KEY, REG_DOMAIN_VALUE), 0x99u);
        EXPECT_EQ(ReloadSignals(), ++signals);
        EXPECT_EQ(IfWiFiRegulatorySet(), 1);
        ASSERT_TRUE(WaitForWorkerIdle((DWORD)signals));
    }
    // Nothing re-read the domain, so the index still reports what was stored before load.
    EXPECT_EQ(GetLastWiFiRegulatoryIndex(), 6);
}

TEST_F(Regulatory, RowZeroRightAfterLoadStoresNothing)
{
    ChangeWiFiRegulatory(0);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    EXPECT_FALSE(SimRegKeyExists(REG_VENDOR_KEY));
    EXPECT_EQ(ReloadSignals(), 0u);
    EXPECT_EQ(IfWiFiRegulatorySet(), 1);
}

TEST_F(Regulatory, OemSwitchOffOrMissingStoresWithoutSignal)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    ChangeWiFiRegulatory(3);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x30u);
    SimRegDeleteKey(REG_OEM_KEY);
    ChangeWiFiRegulatory(4);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x32u);
    EXPECT_EQ(ReloadSignals(), 0u);
    EXPECT_EQ(CountJournal(SIM_J_REG_SET L"|" REG_STATE_KEY), 0u);
    EXPECT_EQ(IfWiFiRegulatorySet(), 1);
}

TEST_F(Regulatory, AnyNonZeroOemSwitchCountsAsOn)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 5);
    ChangeWiFiRegulatory(1);
    EXPECT_EQ(ReloadSignals(), 1u);
    ASSERT_TRUE(WaitForWorkerIdle(1));
}

TEST_F(Regulatory, ClearingAStoredDomainMarksTheStateWithTheWaitCursor)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    EXPECT_EQ(GetLastWiFiRegulatoryIndex(), 1);  // reads the stored domain
    SimJournalClear();
    ULONGLONG before = SimNow();
    ChangeWiFiRegulatory(0);
    EXPECT_EQ(SimNow() - before, 1000u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0u);
    EXPECT_EQ(RegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE), 0u);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0x99u);
    EXPECT_EQ(ReloadSignals(), 0u);
    std::vector<std::wstring> cursor = JournalMatching(L"SetCursor|");
    ASSERT_EQ(cursor.size(), 2u);
    EXPECT_EQ(cursor[0], L"SetCursor|wait");
    EXPECT_EQ(cursor[1], L"SetCursor|none");
    EXPECT_EQ(Sleeps(), std::vector<DWORD>{1000});
}

TEST_F(Regulatory, SameNewRowTwiceStoresAndSignalsTwiceUntilTheDomainIsReRead)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    ASSERT_EQ(GetLastWiFiRegulatoryIndex(), 1);
    ChangeWiFiRegulatory(3);
    ASSERT_TRUE(WaitForWorkerIdle(1));
    ChangeWiFiRegulatory(3);
    ASSERT_TRUE(WaitForWorkerIdle(2));
    EXPECT_EQ(CountJournal(SIM_J_REG_SET L"|" REG_ADAPTER_KEY L"\\" REG_DOMAIN_VALUE L"|0x30"), 2u);
    EXPECT_EQ(ReloadSignals(), 2u);
    // Row 1 equals the domain last read: nothing stored or signalled.
    ChangeWiFiRegulatory(1);
    EXPECT_EQ(CountJournal(SIM_J_REG_SET L"|" REG_ADAPTER_KEY L"\\" REG_DOMAIN_VALUE), 2u);
    EXPECT_EQ(ReloadSignals(), 2u);
    // The index still reports the domain last read, not the one stored since.
    EXPECT_EQ(GetLastWiFiRegulatoryIndex(), 1);
}

// An index outside the table reuses the code requested before; the mask
// stored with it is that code's own, never memory beyond the table.
TEST_F(Regulatory, IndexOutsideTheTableReusesThePreviousCodeWithItsOwnMask)
{
    for (int index : {-1, 7, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(index);
        ChangeWiFiRegulatory(index);  // right after load: code 0 equals the domain read
    }
    EXPECT_FALSE(SimRegKeyExists(REG_VENDOR_KEY));

    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    ASSERT_EQ(GetLastWiFiRegulatoryIndex(), 1);
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    ChangeWiFiRegulatory(4);  // requests France
    for (int index : {-1, 7, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(index);
        SetRegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE, 0xDEAD);
        ChangeWiFiRegulatory(index);
        EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x32u);
        EXPECT_EQ(RegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE), 0x1E00u);
    }
}

// Each row in a process of its own: the library reads the stored code only
// while it holds none.
class StoredRow : public DeviceTest, public ::testing::WithParamInterface<Row> {};

TEST_P(StoredRow, LastIndexIsTheRowOfTheStoredCode)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, GetParam().code);
    EXPECT_EQ(GetLastWiFiRegulatoryIndex(), GetParam().index);
    // Once held, the code is not read again, even when the registry changes.
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    SimJournalClear();
    EXPECT_EQ(GetLastWiFiRegulatoryIndex(), GetParam().index);
    EXPECT_EQ(CountJournal(L"RegQueryValueExW|"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, StoredRow, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return "Row" + std::to_string(info.param.index);
                         });

TEST_F(Regulatory, MissingOrMisshapenDomainReadsAsZeroAndIsReadAgain)
{
    SimJournalClear();
    EXPECT_EQ(GetLastWiFiRegulatoryIndex(), 0);  // value missing
    SimRegDeleteKey(REG_ADAPTER_KEY);
    EXPECT_EQ(GetLastWiFiRegulatoryIndex(), 0);  // key missing
    EXPECT_EQ(CountJournal(SIM_J_REG_OPEN L"|" REG_ADAPTER_KEY L"|"), 2u);

    const unsigned char bytes[8] = {0x10, 0, 0, 0, 0, 0, 0, 0};
    for (DWORD size : {8u, 2u, 0u}) {
        SCOPED_TRACE(size);
        SimRegSetRaw(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, REG_BINARY, bytes, size);
        EXPECT_EQ(GetLastWiFiRegulatoryIndex(), 0);
    }
    // Four bytes of another type are taken as they are.
    SimRegSetRaw(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, REG_BINARY, bytes, 4);
    EXPECT_EQ(GetLastWiFiRegulatoryIndex(), 1);
}

TEST_F(Regulatory, UnknownCodeGivesRowZero)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x33);
    EXPECT_EQ(GetLastWiFiRegulatoryIndex(), 0);
}

TEST_F(Regulatory, FailingAdapterKeyStoresNothingButStillSignals)
{
    SimSetFault(L"RegCreateKeyExW", REG_ADAPTER_KEY, ERROR_ACCESS_DENIED, FALSE);
    ChangeWiFiRegulatory(2);
    EXPECT_FALSE(SimRegKeyExists(REG_VENDOR_KEY));
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    EXPECT_EQ(CountJournal(L"Debug|RegCreateKeyExW failed with 5\n"), 1u);
    EXPECT_EQ(ReloadSignals(), 1u);
    EXPECT_EQ(IfWiFiRegulatorySet(), 1);
    ASSERT_TRUE(WaitForWorkerIdle(1));
}

TEST_F(Regulatory, FailingVendorKeyStillStoresTheDomain)
{
    SimSetFault(L"RegCreateKeyExW", REG_VENDOR_KEY, ERROR_ACCESS_DENIED, FALSE);
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    ChangeWiFiRegulatory(6);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x40u);
    EXPECT_FALSE(SimRegKeyExists(REG_VENDOR_KEY));
    EXPECT_EQ(CountJournal(L"Debug|RegCreateKeyExW succeeded\n"), 1u);
}

TEST_F(Regulatory, CloseWithoutNotificationReturnsZeroAndKeepsTheWorker)
{
    EXPECT_EQ(CloseWiFi(), 0);
    ChangeWiFiRegulatory(1);  // the worker still serves the event
    ASSERT_TRUE(WaitForWorkerIdle(1));
    EXPECT_EQ(CountJournal(L"MessageBoxW|"), 1u);
}

}  // namespace
