// Starting the Wi-Fi stack: the regulatory check, the PC-card driver reload,
// the localized prompt strings and the state notification; and the platform's
// notification service and device manager that it stands on.
#include "testing.h"

#include <handheld_devmgr.h>
#include <handheld_radio.h>

#include <mutex>

namespace {

const wchar_t kNoDomainText[] =
    L"Rendak.DLL: Wi-Fi regulatory has not been set. Please call ChangeWiFiRegulatory() at "
    L"first!";
const wchar_t kLostDomainText[] = L"The Wi-Fi Regulatory was lost, please set it again.";
// The library registers for the state value under the spelling "WIFI".
const wchar_t kStateNotify[] = SIM_J_NOTIFY L"|" REG_STATE_KEY L"\\WIFI|";
const wchar_t kStateNotifyClose[] = SIM_J_NOTIFY_CLOSE L"|" REG_STATE_KEY L"\\WIFI|";

class Startup : public DeviceTest {
protected:
    // A domain stored for the adapter, so that InitWiFi starts the stack.
    void StoreDomain(DWORD code = 0x10) { SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, code); }
};

// The reload question the worker asks after the next domain change, with
// the prompt strings that InitWiFi loaded; none if it was not asked. The
// journal holds no wake of the worker yet.
std::optional<MessageBoxRecord> AskReloadQuestion(int index)
{
    ChangeWiFiRegulatory(index);
    if (!WaitForWorkerIdle(1)) {
        return std::nullopt;
    }
    for (const MessageBoxRecord& box : MessageBoxes()) {
        if (box.flags == (MB_YESNO | MB_ICONINFORMATION)) {
            return box;  // the first question since the journal was cleared
        }
    }
    return std::nullopt;
}

// --- The regulatory check ---------------------------------------------------------

TEST_F(Startup, SwitchingBitCountsAsADomainWithoutLookingAtTheStoredOne)
{
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, SIM_STATE_ADAPTER | SIM_STATE_SWITCHING);
    InitWiFi();
    EXPECT_EQ(IfWiFiRegulatorySet(), 1);
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_EQ(CountJournal(SIM_J_REG_QUERY L"|" REG_ADAPTER_KEY L"\\" REG_DOMAIN_VALUE), 1u)
        << "only StartWiFiStack's refresh reads the domain";
    EXPECT_EQ(SimOpenNotifications(), 1u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
}

TEST_F(Startup, StoredDomainStartsTheStackAndKeepsTheFlag)
{
    StoreDomain();
    InitWiFi();
    EXPECT_EQ(IfWiFiRegulatorySet(), 0);
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_EQ(SimOpenNotifications(), 1u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
}

TEST_F(Startup, NoDomainAndNoSwitchingBitStopsWithTheMessage)
{
    ChangeWiFiRegulatory(0);  // sets the flag, stores nothing
    ASSERT_EQ(IfWiFiRegulatorySet(), 1);
    InitWiFi();
    EXPECT_EQ(IfWiFiRegulatorySet(), 0);
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kNoDomainText);
    EXPECT_EQ(boxes[0].caption, L"Error !");
    EXPECT_EQ(boxes[0].flags, 0x10010u);
    EXPECT_EQ(CountJournal(L"RegistryNotifyCallback|"), 0u);
    EXPECT_EQ(SimOpenNotifications(), 0u);
    EXPECT_EQ(CountJournal(L"LoadLibraryW|"), 0u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), std::nullopt);
    EXPECT_EQ(CloseWiFi(), 0);
}

TEST_F(Startup, MissingStateKeyStartsWithoutCheckReloadOrRegistration)
{
    ASSERT_TRUE(SimRegDeleteKey(REG_STATE_KEY));
    InitWiFi();
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_EQ(CountJournal(L"CreateFileW|NDL1:"), 0u);
    EXPECT_EQ(CountJournal(L"ActivateDeviceEx|"), 0u);
    EXPECT_TRUE(Sleeps().empty());
    EXPECT_EQ(SimOpenNotifications(), 0u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
}

// --- The driver reload ------------------------------------------------------------

TEST_F(Startup, MissingStateValueReloadsTheDriverAndWaitsSixSeconds)
{
    StoreDomain();
    SetRegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE, 1);
    ASSERT_TRUE(SimRegDeleteValue(REG_STATE_KEY, REG_STATE_VALUE));
    ULONGLONG before = SimNow();
    InitWiFi();
    EXPECT_EQ(SimNow() - before, 6000u);
    EXPECT_EQ(Sleeps(), std::vector<DWORD>{6000});

    std::vector<std::wstring> steps;
    for (const std::wstring& e : JournalEntries()) {
        for (const wchar_t* prefix :
             {L"CreateFileW|", L"GetDeviceInformationByFileHandle|", L"DeactivateDevice|",
              L"Debug|Activate", L"ActivateDeviceEx", L"SetCursor|", L"Sleep|"}) {
            if (e.rfind(prefix, 0) == 0) {
                steps.push_back(e);
            }
        }
    }
    const std::vector<std::wstring> expected = {
        L"CreateFileW|NDL1:|opened",
        L"GetDeviceInformationByFileHandle|NDL1:|ok",
        L"DeactivateDevice|NDL1:|ok",
        L"Debug|Activate\r\n",
        L"ActivateDeviceEx.entry|Reload|4|0",
        SIM_J_ACTIVATE L"|" PCCARD_DRIVER_KEY L"|ok",
        L"SetCursor|wait",
        L"Sleep|6000",
        L"SetCursor|none",  // this thread had no cursor before
    };
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(SimDriverActivations(), 1u);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), (DWORD)SIM_STATE_ADAPTER);
    // The reloaded adapter's state reached the callback during the pause: its
    // first byte is 0, so the library switched its side off.
    EXPECT_GE(CountJournal(kStateNotify), 1u);
    EXPECT_EQ(JournalMatching(L"Debug|g_lWiFiState=").back(), L"Debug|g_lWiFiState=0\n");
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 0u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
}

TEST_F(Startup, NonZeroStateNeitherReloadsNorWaits)
{
    StoreDomain();
    for (DWORD state : {0x100u, 0x1u, 0x99u}) {
        SCOPED_TRACE(state);
        SimJournalClear();
        DeleteDeviceFile(STATUS_FILE);
        SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, state);
        InitWiFi();
        EXPECT_EQ(CountJournal(L"CreateFileW|NDL1:"), 0u);
        EXPECT_EQ(CountJournal(L"ActivateDeviceEx"), 0u);
        EXPECT_TRUE(Sleeps().empty());
        EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
    }
    EXPECT_EQ(SimDriverActivations(), 0u);
}

TEST_F(Startup, EjectedCardFailsTheActivationButStillWaitsAndRecords)
{
    StoreDomain();
    SimEjectCard();
    ASSERT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0u);
    SimJournalClear();
    InitWiFi();
    EXPECT_EQ(CountJournal(L"CreateFileW|NDL1:|failed 2"), 1u);
    EXPECT_EQ(CountJournal(L"GetDeviceInformationByFileHandle|"), 0u);
    EXPECT_EQ(CountJournal(L"DeactivateDevice|"), 0u);
    EXPECT_EQ(CountJournal(L"Debug|PCMCIA:LoadPCCardDriver: ActivateDeviceEx failed 55\r\n"), 1u);
    EXPECT_EQ(Sleeps(), std::vector<DWORD>{6000});
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");

    // Put back without its driver, the card comes up at the next start.
    SimInsertCard(FALSE);
    SimJournalClear();
    InitWiFi();
    EXPECT_EQ(CountJournal(SIM_J_ACTIVATE L"|" PCCARD_DRIVER_KEY L"|ok"), 1u);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), (DWORD)SIM_STATE_ADAPTER);
}

TEST_F(Startup, FailingActivationLeavesTheDriverUnloaded)
{
    StoreDomain();
    SimSetSetting(SIM_SETTING_FAIL_ACTIVATION, 1);
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0);
    InitWiFi();
    EXPECT_EQ(CountJournal(L"DeactivateDevice|NDL1:|ok"), 1u);
    EXPECT_EQ(CountJournal(L"Debug|PCMCIA:LoadPCCardDriver: ActivateDeviceEx failed 31\r\n"), 1u);
    EXPECT_EQ(Sleeps(), std::vector<DWORD>{6000});
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
}

TEST_F(Startup, UnreadableDeviceRecordDeactivatesNothing)
{
    StoreDomain();
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0);
    ASSERT_TRUE(
        SimSetFault(L"GetDeviceInformationByFileHandle", L"NDL1:", ERROR_GEN_FAILURE, FALSE));
    InitWiFi();
    EXPECT_EQ(CountJournal(L"CreateFileW|NDL1:|opened"), 1u);
    EXPECT_EQ(CountJournal(L"DeactivateDevice|"), 0u);
    // The driver was never unloaded, so it cannot be loaded a second time.
    EXPECT_EQ(CountJournal(L"Debug|PCMCIA:LoadPCCardDriver: ActivateDeviceEx failed 2404\r\n"), 1u);
    EXPECT_EQ(Sleeps(), std::vector<DWORD>{6000});
    EXPECT_EQ(SimDriverActivations(), 0u);
}

// --- The state notification ---------------------------------------------------------

TEST_F(Startup, StateWithLowByteZeroSwitchesTheLibrarySideOff)
{
    StoreDomain();
    InitWiFi();
    SetRegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE, 1);
    ASSERT_EQ(SimRadioSwitch(ADAPTER_RADIO, 1), S_OK);
    SimDeliverNotifications();
    SimJournalClear();

    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE,
                SIM_STATE_ADAPTER);  // adapter present, radio off: first byte 0
    SimDeliverNotifications();
    EXPECT_EQ(JournalMatching(kStateNotify).size(), 1u);
    std::vector<std::wstring> lines = JournalMatching(L"Debug|");
    const std::vector<std::wstring> expected = {L"Debug|g_lWiFiState=0\n", L"Debug|pData=0\n",
                                                L"Debug|cbData=4\n"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(CountJournal(SIM_J_CHANGE_RADIO L"|" ADAPTER_RADIO L"|0|"), 1u);
    EXPECT_EQ(RadioPower(), 0u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 0u);

    // A low byte other than 0 is recorded and switches nothing.
    SetRegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE, 1);
    SimJournalClear();
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0x0301);
    SimDeliverNotifications();
    EXPECT_EQ(CountJournal(L"Debug|g_lWiFiState=1\n"), 1u);
    EXPECT_EQ(CountJournal(L"ChangeRadioState|"), 0u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 1u);
}

TEST_F(Startup, NotificationWithoutDataOnlyRereadsTheAdapterParameter)
{
    StoreDomain();
    SetRegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE, 1);
    InitWiFi();
    SimJournalClear();
    ASSERT_TRUE(SimRegDeleteValue(REG_STATE_KEY, REG_STATE_VALUE));
    SimDeliverNotifications();
    EXPECT_EQ(JournalMatching(kStateNotify).size(), 1u);
    EXPECT_EQ(JournalMatching(kStateNotify)[0].substr(JournalMatching(kStateNotify)[0].rfind(L'|')),
              L"|missing");
    EXPECT_EQ(CountJournal(L"Debug|"), 0u);
    EXPECT_EQ(CountJournal(L"ChangeRadioState|"), 0u);
    EXPECT_EQ(CountJournal(SIM_J_REG_QUERY L"|" REG_ADAPTER_KEY L"\\" REG_WIFI_VALUE L"|0"), 1u);
    EXPECT_EQ(CountJournal(L"RegSetValueExW|"), 0u);
}

TEST_F(Startup, UnchangedValueIsNotDeliveredAgain)
{
    StoreDomain();
    InitWiFi();
    SimJournalClear();
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, SIM_STATE_ADAPTER);  // what it held already
    SimDeliverNotifications();
    EXPECT_EQ(CountJournal(kStateNotify), 0u);
}

TEST_F(Startup, CloseWiFiTwiceReleasesOnceAndNothingIsDeliveredAfterwards)
{
    EXPECT_EQ(CloseWiFi(), 0);  // nothing open yet
    StoreDomain();
    InitWiFi();
    ASSERT_EQ(SimOpenNotifications(), 1u);
    EXPECT_NE(CloseWiFi(), 0);  // CloseHandle's TRUE
    EXPECT_EQ(SimOpenNotifications(), 0u);
    EXPECT_EQ(CountJournal(kStateNotifyClose), 1u);
    EXPECT_EQ(CloseWiFi(), 0);
    EXPECT_EQ(CountJournal(L"RegistryCloseNotification|"), 1u);

    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0);
    SimDeliverNotifications();
    EXPECT_EQ(CountJournal(L"Notify|"), 0u);
    EXPECT_EQ(CountJournal(L"Debug|g_lWiFiState"), 0u);
}

TEST_F(Startup, SecondInitWiFiReleasesTheOlderRegistration)
{
    StoreDomain();
    InitWiFi();
    InitWiFi();
    EXPECT_EQ(SimOpenNotifications(), 1u);
    EXPECT_EQ(CountJournal(kStateNotifyClose), 1u);
    SimJournalClear();
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, SIM_STATE_ADAPTER | SIM_STATE_POWERED);
    SimDeliverNotifications();
    EXPECT_EQ(CountJournal(kStateNotify), 1u) << "one callback, not one per InitWiFi";
    EXPECT_NE(CloseWiFi(), 0);
    EXPECT_EQ(CloseWiFi(), 0);
}

// Another program changes the device's registry straight in the host
// registry: the change reaches this process's callback on its own.
TEST_F(Startup, ChangeByAnotherProcessReachesTheCallback)
{
    StoreDomain();
    SetRegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE, 1);
    InitWiFi();
    SimJournalClear();

    std::wstring key = L"HKCU\\" + HostKey() + L"\\HKLM\\" REG_STATE_KEY;
    std::wstring command = L"reg.exe add \"" + key + L"\" /v WiFi /t REG_DWORD /d 0 /f";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(NULL, command.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(pi.hProcess, &exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    ASSERT_EQ(exitCode, 0u);

    ASSERT_TRUE(SimJournalWaitFor(L"Debug|cbData=", 1, 20000));
    ASSERT_TRUE(
        SimJournalWaitFor(SIM_J_REG_QUERY L"|" REG_ADAPTER_KEY L"\\" REG_WIFI_VALUE, 1, 5000));
    EXPECT_EQ(CountJournal(L"Debug|g_lWiFiState=0\n"), 1u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 0u);
}

// --- The prompt strings -------------------------------------------------------------

const wchar_t kEnglishText[] = L"Restart Wi-Fi now to apply the new region?";
const wchar_t kItalianText[] = L"Riavviare ora il Wi-Fi per la nuova regione?";
const wchar_t kChineseText[] =
    L"\x8981\x7ACB\x5373\x91CD\x65B0\x555F\x52D5 Wi-Fi "
    L"\x4EE5\x5957\x7528\x65B0\x7684\x5340\x57DF\x55CE\xFF1F";
const wchar_t kChineseCaption[] = L"\x7121\x7DDA\x7DB2\x8DEF";

TEST_F(Startup, EachLocaleLoadsItsStringLibrary)
{
    struct Case {
        std::optional<DWORD> lcid;
        const wchar_t* library;
        const wchar_t* text;
        const wchar_t* caption;
    };
    const Case cases[] = {
        {0x0404, L"RDIOSTR0404.dll", kChineseText, kChineseCaption},
        {0x0410, L"RDIOSTR0410.dll", kItalianText, L"Wi-Fi"},
        {0x0409, L"RDIOSTR0409.dll", kEnglishText, L"Wi-Fi"},
        {0x0407, L"RDIOSTR0409.dll", kEnglishText, L"Wi-Fi"},
        {0x0804, L"RDIOSTR0409.dll", kEnglishText, L"Wi-Fi"},
        {std::nullopt, L"RDIOSTR0409.dll", kEnglishText, L"Wi-Fi"},
    };
    StoreDomain(0x10);
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.library) + (c.lcid ? " for " + std::to_string(*c.lcid) : ""));
        // Chinese first: each later case must replace what the one before loaded.
        if (c.lcid) {
            SetRegDword(REG_LOCALE_KEY, REG_LCID_VALUE, *c.lcid);
        } else {
            SimRegDeleteValue(REG_LOCALE_KEY, REG_LCID_VALUE);
        }
        SimJournalClear();
        InitWiFi();
        std::vector<std::wstring> loads = JournalMatching(L"LoadLibraryW|");
        ASSERT_EQ(loads.size(), 1u);
        EXPECT_EQ(loads[0], std::wstring(L"LoadLibraryW|") + c.library + L"|loaded");
        // Alternate between two domains so that each change is a new one.
        std::optional<MessageBoxRecord> box = AskReloadQuestion(round++ % 2 ? 4 : 3);
        ASSERT_TRUE(box) << "no reload question";
        EXPECT_EQ(box->text, c.text);
        EXPECT_EQ(box->caption, c.caption);
    }
}

TEST_F(Startup, MissingStringLibraryKeepsWhatWasLoadedBefore)
{
    StoreDomain(0x10);
    ASSERT_TRUE(SimSetFault(L"LoadLibraryW", L"RDIOSTR0409.dll", ERROR_MOD_NOT_FOUND, FALSE));
    InitWiFi();
    EXPECT_EQ(CountJournal(L"LoadLibraryW|RDIOSTR0409.dll|failed"), 1u);
    std::optional<MessageBoxRecord> box = AskReloadQuestion(3);
    ASSERT_TRUE(box) << "no reload question";
    EXPECT_EQ(box->text, L"");
    EXPECT_EQ(box->caption, L"");

    SetRegDword(REG_LOCALE_KEY, REG_LCID_VALUE, 0x0410);
    InitWiFi();
    SetRegDword(REG_LOCALE_KEY, REG_LCID_VALUE, 0x0409);
    InitWiFi();  // English cannot be loaded: Italian stays
    SimJournalClear();
    box = AskReloadQuestion(4);
    ASSERT_TRUE(box) << "no reload question";
    EXPECT_EQ(box->text, kItalianText);
    EXPECT_EQ(box->caption, L"Wi-Fi");
}

// A string library of the same name already loaded from elsewhere is the one
// the library's LoadLibraryW gets.
HMODULE LoadTestStrings(const char* variant)
{
    std::wstring path =
        Widen(BUILD_BIN_DIR) + L"/strings-test/" + Widen(variant) + L"/RDIOSTR0409.dll";
    return LoadLibraryW(path.c_str());
}

// Each variant in a process of its own: only one library of that name can be loaded.
struct TestStrings {
    const char* variant;
    const wchar_t* text;
    const wchar_t* caption;
};
const TestStrings kTestStrings[] = {
    // Longer than the buffers: cut to them and terminated.
    {"long", L"0123456789012345678901234567890123456789012345678", L"ABCDEFGHI"},
    // Without the two strings: empty prompts.
    {"missing", L"", L""},
};

class StringLibrary : public Startup, public testing::WithParamInterface<TestStrings> {};

TEST_P(StringLibrary, PromptsAreWhatTheLoadedLibraryHolds)
{
    HMODULE h = LoadTestStrings(GetParam().variant);
    ASSERT_NE(h, nullptr);
    StoreDomain(0x10);
    InitWiFi();
    std::optional<MessageBoxRecord> box = AskReloadQuestion(3);
    ASSERT_TRUE(box) << "no reload question";
    EXPECT_EQ(box->text, GetParam().text);
    EXPECT_EQ(box->caption, GetParam().caption);
    FreeLibrary(h);
}

INSTANTIATE_TEST_SUITE_P(Variants, StringLibrary, testing::ValuesIn(kTestStrings),
                         [](const testing::TestParamInfo<TestStrings>& info) {
                             return std::string(info.param.variant);
                         });

// --- DirectlyTurnOnWiFi --------------------------------------------------------------

TEST_F(Startup, DirectlyTurnOnWithoutDomainShowsBothMessagesAndSwitchesNothing)
{
    DirectlyTurnOnWiFi();
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, kNoDomainText);
    EXPECT_EQ(boxes[1].text, kLostDomainText);
    EXPECT_EQ(boxes[1].caption, L"Error !");
    EXPECT_EQ(boxes[1].flags, 0x10010u);
    EXPECT_EQ(CountJournal(L"ChangeRadioState|"), 0u);
    EXPECT_EQ(CountJournal(L"RegSetValueExW|"), 0u);
    EXPECT_EQ(RadioPower(), 0u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), std::nullopt);
}

TEST_F(Startup, DirectlyTurnOnWithDomainStartsAndSwitchesOn)
{
    StoreDomain();
    DirectlyTurnOnWiFi();
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_EQ(SimOpenNotifications(), 1u);
    EXPECT_EQ(CountJournal(SIM_J_CHANGE_RADIO L"|" ADAPTER_RADIO L"|1|"), 1u);
    EXPECT_EQ(RadioPower(), 1u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 1u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
}

// --- The platform's notification service and device manager ---------------------------

struct Delivery {
    HREGNOTIFY h;
    DWORD user;
    bool hasData;
    std::vector<BYTE> data;
};
std::mutex g_deliveryLock;
std::vector<Delivery> g_deliveries;

void Record(HREGNOTIFY h, DWORD user, const PBYTE pData, const UINT cbData)
{
    std::lock_guard<std::mutex> lock(g_deliveryLock);
    g_deliveries.push_back(
        {h, user, pData != nullptr,
         pData ? std::vector<BYTE>(pData, pData + cbData) : std::vector<BYTE>()});
}

std::vector<Delivery> TakeDeliveries()
{
    std::lock_guard<std::mutex> lock(g_deliveryLock);
    std::vector<Delivery> taken;
    taken.swap(g_deliveries);
    return taken;
}

std::vector<BYTE> DwordBytes(DWORD v)
{
    return {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
}

class Notifications : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        TakeDeliveries();
    }
};

TEST_F(Notifications, DeliversNewContentsMissingAsNullAndStopsWhenClosed)
{
    HREGNOTIFY h = NULL;
    ASSERT_EQ(
        // Other spellings of REG_STATE_VALUE: value names compare without case.
        SimRegistryNotifyCallback(HKEY_LOCAL_MACHINE, REG_STATE_KEY, L"wifi", Record, 7, NULL, &h),
        S_OK);
    ASSERT_NE(h, nullptr);
    SimDeliverNotifications();
    EXPECT_TRUE(TakeDeliveries().empty()) << "registering is no change";

    SetRegDword(REG_STATE_KEY, L"WIFI", 0x101);
    SimDeliverNotifications();
    SimRegDeleteValue(REG_STATE_KEY, REG_STATE_VALUE);
    SimDeliverNotifications();
    std::vector<Delivery> got = TakeDeliveries();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].h, h);
    EXPECT_EQ(got[0].user, 7u);
    EXPECT_EQ(got[0].data, DwordBytes(0x101));
    EXPECT_FALSE(got[1].hasData);

    EXPECT_EQ(SimRegistryCloseNotification(h), S_OK);
    EXPECT_EQ(SimRegistryCloseNotification(h), E_INVALIDARG);
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 5);
    SimDeliverNotifications();
    EXPECT_TRUE(TakeDeliveries().empty());
    // The handle is an object of its own: closing it after release is sound.
    EXPECT_TRUE(CloseHandle((HANDLE)h));
}

TEST_F(Notifications, ClosingTheHandleEndsARegistrationLeftOpen)
{
    HREGNOTIFY h = NULL;
    ASSERT_EQ(SimRegistryNotifyCallback(HKEY_LOCAL_MACHINE, REG_STATE_KEY, REG_STATE_VALUE, Record,
                                        0, NULL, &h),
              S_OK);
    ASSERT_EQ(SimOpenNotifications(), 1u);
    // The device's CloseHandle, as the library calls it.
    auto pfnClose = CoreFunction<BOOL(WINAPI*)(HANDLE)>("CloseHandle");
    ASSERT_NE(pfnClose, nullptr);
    EXPECT_TRUE(pfnClose((HANDLE)h));
    EXPECT_EQ(SimOpenNotifications(), 0u);
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 3);
    SimDeliverNotifications();
    EXPECT_TRUE(TakeDeliveries().empty());
}

TEST_F(Notifications, ConditionFiltersDeliveriesAndBadArgumentsAreRefused)
{
    NOTIFICATIONCONDITION cond = {};
    cond.ctComparisonType = REG_CT_EQUAL;
    cond.dwMask = 0xFF;
    cond.TargetValue.dw = 0;
    HREGNOTIFY h = NULL;
    ASSERT_EQ(SimRegistryNotifyCallback(HKEY_LOCAL_MACHINE, REG_STATE_KEY, REG_STATE_VALUE, Record,
                                        0, &cond, &h),
              S_OK);
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, SIM_STATE_ADAPTER | SIM_STATE_POWERED);
    SimDeliverNotifications();
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0x200);
    SimDeliverNotifications();
    std::vector<Delivery> got = TakeDeliveries();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, DwordBytes(0x200));
    SimRegistryCloseNotification(h);

    HREGNOTIFY bad = (HREGNOTIFY)1;
    EXPECT_EQ(SimRegistryNotifyCallback(HKEY_LOCAL_MACHINE, L"No\\Such\\Key", REG_STATE_VALUE,
                                        Record, 0, NULL, &bad),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(bad, nullptr);
    EXPECT_EQ(SimRegistryNotifyCallback(HKEY_LOCAL_MACHINE, REG_STATE_KEY, REG_STATE_VALUE, NULL, 0,
                                        NULL, &bad),
              E_INVALIDARG);
    EXPECT_EQ(SimOpenNotifications(), 0u);
}

// Under the real clock a write of this process is delivered at once, also
// to a registration whose key was deleted and made again, which the host's
// notification on the old key no longer reports.
TEST_F(Notifications, OnTheRealClockAKeyMadeAgainIsDeliveredAtOnce)
{
    SimSetClock(SIM_CLOCK_REAL, 1);
    auto waitFor = [](size_t count) {
        std::vector<Delivery> got;
        for (int i = 0; i < 1000 && got.size() < count; i++) {
            std::vector<Delivery> more = TakeDeliveries();
            got.insert(got.end(), more.begin(), more.end());
            ::Sleep(10);
        }
        return got;
    };
    HREGNOTIFY h = NULL;
    ASSERT_EQ(
        SimRegistryNotifyCallback(HKEY_LOCAL_MACHINE, REG_STATE_KEY, L"WiFi", Record, 0, NULL, &h),
        S_OK);
    SimRegDeleteKey(REG_STATE_KEY);
    std::vector<Delivery> got = waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_FALSE(got[0].hasData);
    SetRegDword(REG_STATE_KEY, L"WiFi", 0x103);
    got = waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, DwordBytes(0x103));
    SimRegistryCloseNotification(h);
}

TEST_F(Notifications, KeyDeletedAndMadeAgainIsStillWatched)
{
    HREGNOTIFY h = NULL;
    ASSERT_EQ(SimRegistryNotifyCallback(HKEY_LOCAL_MACHINE, REG_STATE_KEY, REG_STATE_VALUE, Record,
                                        0, NULL, &h),
              S_OK);
    SimRegDeleteKey(REG_STATE_KEY);
    SimDeliverNotifications();
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0x103);
    SimDeliverNotifications();
    std::vector<Delivery> got = TakeDeliveries();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FALSE(got[0].hasData);
    EXPECT_EQ(got[1].data, DwordBytes(0x103));
    SimRegistryCloseNotification(h);
}

TEST(DeviceInformation, RecordSizeIsChecked)
{
    EXPECT_EQ(sizeof(DEVMGR_DEVICE_INFORMATION), sizeof(void*) == 8 ? 1600u : 1584u);
}

class DeviceManager : public DeviceTest {};

TEST_F(DeviceManager, StreamDeviceFollowsTheDriverAndStaleHandlesFail)
{
    typedef HANDLE(WINAPI * CREATEFILE)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                        HANDLE);
    typedef BOOL(WINAPI * GETINFO)(HANDLE, PDEVMGR_DEVICE_INFORMATION);
    typedef BOOL(WINAPI * DEACTIVATE)(HANDLE);
    auto pfnCreate = CoreFunction<CREATEFILE>("CreateFileW");
    auto pfnInfo = CoreFunction<GETINFO>("GetDeviceInformationByFileHandle");
    auto pfnDeactivate = CoreFunction<DEACTIVATE>("DeactivateDevice");
    ASSERT_TRUE(pfnCreate && pfnInfo && pfnDeactivate);

    HANDLE hFile =
        pfnCreate(L"NDL1:", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    DEVMGR_DEVICE_INFORMATION di;
    memset(&di, 0xAB, sizeof(di));
    // The size of the other architecture's record is not this build's.
    di.dwSize = sizeof(di) == 1584 ? 1600 : 1584;
    SetLastError(0xDEAD);
    EXPECT_FALSE(pfnInfo(hFile, &di));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    di.dwSize = sizeof(di);
    ASSERT_TRUE(pfnInfo(hFile, &di));
    EXPECT_NE(di.hDevice, nullptr);
    EXPECT_STREQ(di.szLegacyName, L"NDL1:");
    EXPECT_STREQ(di.szDeviceKey, PCCARD_DRIVER_KEY);

    ASSERT_TRUE(pfnDeactivate(di.hDevice));
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0u);
    EXPECT_FALSE(pfnDeactivate(di.hDevice)) << "deactivated already";
    EXPECT_FALSE(pfnInfo(hFile, &di)) << "the device is gone";
    EXPECT_EQ(pfnCreate(L"NDL1:", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(pfnCreate(L"COM1:", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);

    // Device paths are files of the device's store.
    WriteDeviceFile(L"\\Application Data\\probe.txt", "x");
    HANDLE hProbe =
        pfnCreate(L"\\Application Data\\probe.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(hProbe, INVALID_HANDLE_VALUE);
    CloseHandle(hProbe);
    EXPECT_EQ(pfnCreate(L"\\..\\..\\outside.txt", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
}

}  // namespace
