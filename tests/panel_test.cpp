// The control panel: the real Quenta.exe started on the test's device, its
// dialog driven with window messages as a person would press its buttons,
// its message boxes answered by the scripted user and read from the journal
// that the panel mirrors into the device folder.
#include "testing.h"

#include <psapi.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace {

const wchar_t kCaption[] = L"Wrapper AP for Wi-Fi DLL";
const wchar_t kRendakLoadFailed[] = L"Loading Rendak.dll fail!";
const wchar_t kSetRegulatoryFirst[] = L"Please set Wi-Fi regulatory at first!";
const wchar_t kNoInitWiFi[] = L"Calling GetProcAddress() for InitWiFi() inside Rendak.dll fail!";
const wchar_t kNoSelection[] = L"Selecting Wi-Fi regulatory first!";
const wchar_t kNoneSelected[] = L"Please select valid Wi-Fi regulatory at first!";
const wchar_t kNoChange[] =
    L"Calling GetProcAddress() for ChangeWiFiRegulatory() inside Rendak.dll fail!";
const wchar_t kLastOn[] = L"The WiFi reg has turned last time.";
const unsigned kErrorFlags = 0x10010;

enum {
    kTurnOn = 1000,
    kTurnOff = 1001,
    kList = 1002,
    kSetRegulatory = 1003,
    kHardReset = 1004,
    kInit = 1005,
    kClose = 1006,
};

const wchar_t* const kNames[] = {L"None",   L"USA, FCC", L"Canada IC", L"Europe ETSI",
                                 L"France", L"Spain",    L"Japan MKK"};

std::wstring JournalLogPath()
{
    return DeviceFolder() + L"\\journal.log";
}

// A running Quenta.exe on the test's device.
class Panel {
public:
    explicit Panel(const std::wstring& answers = L"")
    {
        SetEnvironmentVariableW(L"HANDHELD_ANSWERS", answers.c_str());
        // The panel says nothing on its standard handles; they go nowhere.
        pi_ = StartProgram(L"Quenta.exe", L"", true);
        started_ = pi_.hProcess != NULL;
        SetEnvironmentVariableW(L"HANDHELD_ANSWERS", NULL);
        if (started_) {
            // Shown, and its initialisation over once it answers a message.
            dialog_ = WaitForWindow(pi_.dwProcessId, L"#32770", kCaption);
            if (dialog_ != NULL) {
                SendMessageW(dialog_, WM_NULL, 0, 0);
            }
        }
    }
    ~Panel()
    {
        if (started_) {
            if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(pi_.hProcess, 99);
                WaitForSingleObject(pi_.hProcess, 10000);
            }
            CloseHandle(pi_.hProcess);
            CloseHandle(pi_.hThread);
        }
    }

    HWND dialog() const { return dialog_; }
    HANDLE process() const { return pi_.hProcess; }
    HWND item(int id) const { return GetDlgItem(dialog_, id); }

    // Presses an enabled button: the command reaches the dialog and is done
    // when this returns. The test asserts on what it says.
    [[nodiscard]] testing::AssertionResult Press(int id)
    {
        if (!IsWindowEnabled(item(id))) {
            return testing::AssertionFailure() << "button " << id << " is disabled";
        }
        return Command(id);
    }
    [[nodiscard]] testing::AssertionResult Command(int id, HWND from = NULL)
    {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)from,
                                SMTO_NORMAL, 30000, &result) == 0) {
            return testing::AssertionFailure() << "command " << id << " was not taken";
        }
        return testing::AssertionSuccess();
    }
    void Select(int index) { SendMessageW(item(kList), CB_SETCURSEL, (WPARAM)index, 0); }
    // Selects a row and presses "Set Wi-Fi Regulatory".
    [[nodiscard]] testing::AssertionResult SetRegulatory(int index)
    {
        Select(index);
        return Press(kSetRegulatory);
    }
    // Stores a row and initialises Wi-Fi: the state the radio buttons act from.
    [[nodiscard]] testing::AssertionResult StoreAndInit(int index)
    {
        testing::AssertionResult done = SetRegulatory(index);
        if (done) {
            done = Press(kInit);
        }
        if (done && Buttons() != "Off") {
            return testing::AssertionFailure() << "buttons after Init: " << Buttons();
        }
        return done;
    }
    LRESULT Selection() { return SendMessageW(item(kList), CB_GETCURSEL, 0, 0); }

    std::vector<std::wstring> Items()
    {
        std::vector<std::wstring> items;
        LRESULT count = SendMessageW(item(kList), CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; i++) {
            wchar_t text[64] = L"";
            SendMessageW(item(kList), CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
            items.push_back(text);
        }
        return items;
    }

    // The four life-cycle buttons as a state name; "Set Wi-Fi Regulatory",
    // "Hard Reset" and the list must stay enabled in every state.
    std::string Buttons()
    {
        for (int id : {kSetRegulatory, kHardReset, kList}) {
            if (!IsWindowEnabled(item(id))) {
                return "control " + std::to_string(id) + " disabled";
            }
        }
        std::string bits;
        for (int id : {kInit, kTurnOn, kTurnOff, kClose}) {
            bits += IsWindowEnabled(item(id)) ? '1' : '0';
        }
        static const struct {
            const char* bits;
            const char* name;
        } aStates[] = {{"1111", "Template"}, {"1000", "Closed"}, {"0011", "On"}, {"0101", "Off"}};
        for (const auto& s : aStates) {
            if (bits == s.bits) {
                return s.name;
            }
        }
        return "mixed " + bits;
    }

    // Closes the dialog as its caption button or Escape would; the exit code.
    DWORD Cancel()
    {
        PostMessageW(dialog_, WM_COMMAND, IDCANCEL, 0);
        return WaitForExit();
    }
    DWORD WaitForExit()
    {
        DWORD code = 99;
        if (WaitForSingleObject(pi_.hProcess, 30000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(pi_.hProcess, &code);
        }
        return code;
    }

private:
    bool started_ = false;
    PROCESS_INFORMATION pi_ = {};
    HWND dialog_ = NULL;
};

// The panel's journal lines, as mirrored into the device folder.
std::vector<std::wstring> PanelJournal()
{
    return DeviceJournalMatching(L"");
}

size_t CountPanelJournal(const std::wstring& prefix)
{
    return CountDeviceJournal(prefix);
}

// The boxes the panel showed, as "caption|flags|text".
std::vector<std::string> PanelBoxes()
{
    std::vector<std::string> boxes;
    for (const MessageBoxRecord& box : MessageBoxesOf(DeviceJournal())) {
        char szFlags[16];
        snprintf(szFlags, sizeof(szFlags), "0x%X", box.flags);
        boxes.push_back(Narrow(box.caption) + "|" + szFlags + "|" + Narrow(box.text));
    }
    return boxes;
}

std::string Box(const wchar_t* text, unsigned flags = kErrorFlags, const char* caption = "Msg")
{
    char szFlags[16];
    snprintf(szFlags, sizeof(szFlags), "0x%X", flags);
    return std::string(caption) + "|" + szFlags + "|" + Narrow(text);
}

class PanelTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        DeleteFileW(JournalLogPath().c_str());
    }
};

using Boxes = std::vector<std::string>;

// The panel showed one box, the library's own error.
testing::AssertionResult OneErrorBox()
{
    Boxes boxes = PanelBoxes();
    if (boxes.size() != 1 || boxes[0].rfind("Error !|", 0) != 0) {
        testing::AssertionResult failure = testing::AssertionFailure() << "boxes:";
        for (const std::string& box : boxes) {
            failure << " [" << box << "]";
        }
        return failure;
    }
    return testing::AssertionSuccess();
}

// --- Start -------------------------------------------------------------------------

TEST_F(PanelTest, NormalStartOffersInitAndSelectsTheStoredDomain)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x32);  // France
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    EXPECT_EQ(panel.Buttons(), "Closed");
    EXPECT_EQ(panel.Items(), std::vector<std::wstring>(std::begin(kNames), std::end(kNames)));
    EXPECT_EQ(panel.Selection(), 4);
    EXPECT_EQ(PanelBoxes(), Boxes{});
    EXPECT_EQ(CountPanelJournal(L"LoadLibraryW|Rendak.dll|loaded"), 1u);
    // Nothing was started, and closing still ends the program cleanly.
    EXPECT_EQ(CountPanelJournal(L"ChangeRadioState|"), 0u);
    EXPECT_EQ(panel.Cancel(), 0u);
}

TEST_F(PanelTest, RadioLeftOnIsAnnouncedThenSwitchedOnAgain)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    WriteDeviceFile(STATUS_FILE, "1");
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    EXPECT_EQ(PanelBoxes(), (Boxes{Box(kLastOn, 0x40)}));
    EXPECT_EQ(panel.Buttons(), "On");
    EXPECT_EQ(panel.Selection(), 1);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 1u);
    // The box came before the radio was touched.
    std::vector<std::wstring> journal = PanelJournal();
    size_t box = SIZE_MAX, radio = SIZE_MAX;
    for (size_t i = 0; i < journal.size(); i++) {
        if (box == SIZE_MAX && journal[i].find(L"|Msg|") != std::wstring::npos) {
            box = i;
        }
        if (radio == SIZE_MAX && journal[i].rfind(L"ChangeRadioState|", 0) == 0) {
            radio = i;
        }
    }
    ASSERT_NE(radio, SIZE_MAX);
    EXPECT_LT(box, radio);
    EXPECT_EQ(panel.Cancel(), 0u);
}

TEST_F(PanelTest, WithoutTheLibraryByNameEverythingStaysEnabledAndLookupsFail)
{
    ASSERT_TRUE(SimSetFault(L"LoadLibraryW", L"Rendak.dll", ERROR_MOD_NOT_FOUND, FALSE));
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    EXPECT_EQ(PanelBoxes(), (Boxes{Box(kRendakLoadFailed)}));
    EXPECT_EQ(panel.Buttons(), "Template");
    EXPECT_EQ(panel.Items(), std::vector<std::wstring>(std::begin(kNames), std::end(kNames)));
    EXPECT_EQ(panel.Selection(), CB_ERR);

    ASSERT_TRUE(panel.Press(kSetRegulatory));
    ASSERT_TRUE(panel.SetRegulatory(5));
    ASSERT_TRUE(panel.Press(kInit));  // nothing set the regulatory flag in this process
    EXPECT_EQ(PanelBoxes(), (Boxes{Box(kRendakLoadFailed), Box(kNoSelection), Box(kNoChange),
                                   Box(kSetRegulatoryFirst)}));
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x30u);
    EXPECT_EQ(panel.Buttons(), "Template");

    // The linked exports still work.
    ASSERT_TRUE(panel.Press(kTurnOn));
    EXPECT_EQ(panel.Buttons(), "On");
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 1u);
    EXPECT_EQ(panel.Cancel(), 0u);
}

// --- Regulatory domain ---------------------------------------------------------------

TEST_F(PanelTest, SetRegulatoryPassesTheSelectedIndexAndRefusesNone)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);  // no reload question to answer
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    EXPECT_EQ(panel.Selection(), 0);  // nothing stored: "None"
    ASSERT_TRUE(panel.Press(kSetRegulatory));
    EXPECT_EQ(PanelBoxes(), (Boxes{Box(kNoneSelected)}));
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    EXPECT_EQ(CountPanelJournal(L"GetProcAddressW|ChangeWiFiRegulatory"), 0u);

    ASSERT_TRUE(panel.SetRegulatory(5));  // Spain
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x31u);
    ASSERT_TRUE(panel.SetRegulatory(1));  // USA, FCC
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x10u);
    // Looked up anew at each press.
    EXPECT_EQ(CountPanelJournal(L"GetProcAddressW|ChangeWiFiRegulatory|found"), 2u);
    EXPECT_EQ(PanelBoxes().size(), 1u);
    EXPECT_EQ(panel.Buttons(), "Closed");
    EXPECT_EQ(panel.Cancel(), 0u);
}

TEST_F(PanelTest, EntriesThatCannotBeFoundAreReportedAndNothingChanges)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x20);
    ASSERT_TRUE(
        SimSetFault(L"GetProcAddressW", L"ChangeWiFiRegulatory", ERROR_PROC_NOT_FOUND, TRUE));
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    ASSERT_TRUE(panel.SetRegulatory(3));
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x20u);
    ASSERT_TRUE(panel.Press(kSetRegulatory));  // the fault was for one look-up only
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x30u);

    ASSERT_TRUE(SimSetFault(L"GetProcAddressW", L"InitWiFi", ERROR_PROC_NOT_FOUND, TRUE));
    ASSERT_TRUE(panel.Press(kInit));
    EXPECT_EQ(panel.Buttons(), "Closed");
    EXPECT_EQ(CountPanelJournal(L"GetProcAddressW|InitWiFi|failed"), 1u);
    EXPECT_EQ(CountPanelJournal(L"GetProcAddressW|InitWiFi|found"), 0u);
    EXPECT_EQ(PanelBoxes(), (Boxes{Box(kNoChange), Box(kNoInitWiFi)}));
    EXPECT_EQ(panel.Cancel(), 0u);
}

// --- Buttons ---------------------------------------------------------------------------

TEST_F(PanelTest, InitWithoutARegulatoryDomainAsksForOneFirst)
{
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    ASSERT_TRUE(panel.Press(kInit));
    EXPECT_EQ(PanelBoxes(), (Boxes{Box(kSetRegulatoryFirst)}));
    EXPECT_EQ(CountPanelJournal(L"GetProcAddressW|InitWiFi"), 0u);
    EXPECT_EQ(panel.Buttons(), "Closed");
    EXPECT_EQ(panel.Cancel(), 0u);
}

TEST_F(PanelTest, InitThatFindsTheDomainGoneLeavesTheClosedState)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    ASSERT_TRUE(panel.SetRegulatory(2));
    ASSERT_TRUE(SimRegDeleteValue(REG_ADAPTER_KEY, REG_DOMAIN_VALUE));
    ASSERT_TRUE(panel.Press(kInit));
    // InitWiFi found no domain, said so itself and cleared the flag.
    ASSERT_EQ(CountPanelJournal(L"GetProcAddressW|InitWiFi|found"), 1u);
    EXPECT_TRUE(OneErrorBox());
    EXPECT_EQ(panel.Buttons(), "Closed");
    EXPECT_EQ(panel.Cancel(), 0u);
}

TEST_F(PanelTest, LifeCycleButtonsFollowEachAction)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    ASSERT_TRUE(panel.SetRegulatory(5));
    EXPECT_EQ(panel.Buttons(), "Closed");

    ASSERT_TRUE(panel.Press(kInit));
    EXPECT_EQ(panel.Buttons(), "Off");
    ASSERT_TRUE(panel.Press(kTurnOn));
    EXPECT_EQ(panel.Buttons(), "On");
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 1u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE).value_or("").substr(0, 1), "1");
    ASSERT_TRUE(panel.Press(kTurnOff));
    EXPECT_EQ(panel.Buttons(), "Off");
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 0u);
    ASSERT_TRUE(panel.Press(kClose));
    EXPECT_EQ(panel.Buttons(), "Closed");
    ASSERT_TRUE(panel.Press(kInit));
    ASSERT_TRUE(panel.Press(kTurnOn));
    ASSERT_TRUE(panel.Press(kClose));
    EXPECT_EQ(panel.Buttons(), "Closed");

    // Neither the reset nor the domain changes the buttons.
    ASSERT_TRUE(panel.Press(kInit));
    ASSERT_TRUE(panel.Press(kHardReset));
    EXPECT_EQ(panel.Buttons(), "Off");
    EXPECT_GE(CountPanelJournal(L"KernelIoControl|"), 1u);
    ASSERT_TRUE(panel.SetRegulatory(6));
    EXPECT_EQ(panel.Buttons(), "Off");
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x40u);
    EXPECT_EQ(PanelBoxes(), Boxes{});
    EXPECT_EQ(panel.Cancel(), 0u);
}

TEST_F(PanelTest, TurnOnShowsTheOnStateEvenWhenTheLibraryRefused)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    ASSERT_TRUE(panel.StoreAndInit(4));
    ASSERT_TRUE(SimRegDeleteValue(REG_ADAPTER_KEY, REG_DOMAIN_VALUE));
    ASSERT_TRUE(panel.Press(kTurnOn));
    EXPECT_EQ(panel.Buttons(), "On");
    EXPECT_TRUE(OneErrorBox());
    EXPECT_NE(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), std::optional<DWORD>(1));
    EXPECT_EQ(panel.Cancel(), 0u);
}

TEST_F(PanelTest, CancelClosesWiFiAndEndsTheProgramWithZero)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    ASSERT_TRUE(panel.StoreAndInit(1));
    EXPECT_EQ(CountPanelJournal(L"RegistryCloseNotification"), 0u);
    EXPECT_EQ(panel.Cancel(), 0u);
    EXPECT_EQ(CountPanelJournal(L"RegistryCloseNotification"), 1u);
}

TEST_F(PanelTest, OtherCommandsAndTheAcceleratorsDoNothing)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    size_t before = PanelJournal().size();
    // IDOK, the list's own notification, and what Ctrl+Q and Ctrl+A would send.
    for (int id : {(int)IDOK, (int)kList, 40000, 40002}) {
        ASSERT_TRUE(panel.Command(id));
    }
    HWND main = FindWindowW(L"Quenta", L"Quenta");
    ASSERT_NE(main, nullptr);
    SendMessageW(main, WM_COMMAND, 40000, 0);
    SendMessageW(main, WM_COMMAND, 40002, 0);
    EXPECT_EQ(PanelJournal().size(), before);
    EXPECT_EQ(panel.Buttons(), "Closed");
    EXPECT_EQ(panel.Selection(), 1);
    EXPECT_TRUE(IsWindow(panel.dialog()));
    EXPECT_EQ(panel.Cancel(), 0u);
}

// A second panel on the same device brings the running dialog forward and
// ends; the first one goes on as it was.
TEST_F(PanelTest, ASecondInstanceBringsTheFirstForwardAndLeavesItAlone)
{
    Panel first;
    ASSERT_NE(first.dialog(), nullptr);
    // Something else is in front first.
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, NULL,
                                 NULL, NULL, NULL);
    SetForegroundWindow(other);
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", L"1");
    RunResult second = RunProgram(L"Quenta.exe", L"", 30000);
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", NULL);
    EXPECT_EQ(second.exitCode, 0u);
    // The second panel brought the first's dialog to the front, and the
    // desktop took it. (The desktop's foreground itself is not checked: tests
    // on other devices share the desktop and may take it at any moment.)
    EXPECT_EQ(CountPanelJournal(L"SetForegroundWindow|"), 1u);
    for (const std::wstring& text : PanelJournal()) {
        handheld::JournalEntry e = handheld::ParseJournalEntry(text);
        if (e.Is(SIM_J_SET_FOREGROUND)) {
            EXPECT_EQ(e.Field(1), L"application") << Narrow(text);
            EXPECT_EQ(wcstoull(e.Field(2).c_str(), NULL, 16), (ULONGLONG)(ULONG_PTR)first.dialog())
                << Narrow(text);
            EXPECT_EQ(e.Field(3), L"1") << Narrow(text);
        }
    }
    // No second dialog was made.
    EXPECT_EQ(CountPanelJournal(L"LoadLibraryW|Rendak.dll"), 1u);
    EXPECT_EQ(DeviceWindows(L"#32770", kCaption).size(), 1u);
    EXPECT_EQ(first.Buttons(), "Closed");
    EXPECT_EQ(first.Cancel(), 0u);
    DestroyWindow(other);
}

// Panels on two devices know nothing of each other.
TEST_F(PanelTest, PanelsOnTwoDevicesRunSideBySide)
{
    Panel first;
    ASSERT_NE(first.dialog(), nullptr);
    const std::wstring other = L"side-" + std::to_wstring(GetCurrentProcessId());
    SimDeleteDevice(other.c_str());
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", other.c_str());
    {
        Panel second;
        SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
        ASSERT_NE(second.dialog(), nullptr);
        EXPECT_NE(second.dialog(), first.dialog());
        EXPECT_EQ(first.Buttons(), "Closed");
        EXPECT_EQ(second.Cancel(), 0u);
    }
    SetEnvironmentVariableW(L"HANDHELD_DEVICE", SimDeviceName());
    EXPECT_EQ(first.Cancel(), 0u);
    EXPECT_TRUE(SimDeleteDevice(other.c_str()));
}

// The private memory a process has committed (another process's, as the
// system counts it: Wine keeps it as the page-file usage).
SIZE_T PrivateBytes(HANDLE hProcess)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    typedef BOOL(WINAPI * GetInfo)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
    auto get = reinterpret_cast<GetInfo>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "K32GetProcessMemoryInfo")));
    if (!get ||
        !get(hProcess, reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), sizeof(counters))) {
        return 0;
    }
    return counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

// A panel used for a long time, and a watch beside it, keep their memory
// flat: what the platform keeps for each call is bounded. HANDHELD_CYCLES
// sets the number of cycles (the reliability run uses 10,000).
TEST_F(PanelTest, ALongLivedPanelAndAWatchStayFlat)
{
    int cycles = CountFromEnvironment(L"HANDHELD_CYCLES", 200);
    const int warmup = std::min(std::max(cycles / 4, 100), cycles - 1);  // the journals fill up
    Panel panel;
    ASSERT_NE(panel.dialog(), nullptr);
    PROCESS_INFORMATION watch = StartProgram(L"rendakctl.exe", L"watch");
    auto cycle = [&](int i) {
        panel.Select(3 + i % 2);
        for (int id : {kSetRegulatory, kInit, kTurnOn, kTurnOff, kClose}) {
            testing::AssertionResult pressed = panel.Press(id);  // the reload is answered No
            if (!pressed) {
                return pressed << " in cycle " << i;
            }
        }
        return testing::AssertionSuccess();
    };
    for (int i = 0; i < warmup; i++) {
        ASSERT_TRUE(cycle(i));
    }
    size_t panelBefore = PrivateBytes(panel.process()), watchBefore = PrivateBytes(watch.hProcess);
    ULONGLONG start = GetTickCount64();
    for (int i = warmup; i < cycles; i++) {
        ASSERT_TRUE(cycle(i));
    }
    size_t panelAfter = PrivateBytes(panel.process()), watchAfter = PrivateBytes(watch.hProcess);
    int measured = cycles - warmup;
    printf(
        "%d cycles (%d measured, %llu ms): panel %zu -> %zu bytes (%+lld a cycle), "
        "watch %zu -> %zu bytes (%+lld a cycle)\n",
        cycles, measured, GetTickCount64() - start, panelBefore, panelAfter,
        ((long long)panelAfter - (long long)panelBefore) / measured, watchBefore, watchAfter,
        ((long long)watchAfter - (long long)watchBefore) / measured);
    ASSERT_GT(panelBefore, 0u);
    ASSERT_GT(watchBefore, 0u);
    // Two kilobytes kept a cycle would show as more than this over 100 cycles.
    EXPECT_LE(panelAfter, panelBefore + 160 * 1024);
    EXPECT_LE(watchAfter, watchBefore + 160 * 1024);
    EXPECT_EQ(panel.Cancel(), 0u);
    TerminateProcess(watch.hProcess, 0);
    WaitAndClose(watch);
}

// --- Resources -----------------------------------------------------------------------

const WORD kChineseTaiwan = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL);

struct Resources {
    HMODULE h = LoadLibraryExW((Widen(BUILD_BIN_DIR) + L"/Quenta.exe").c_str(), NULL,
                               LOAD_LIBRARY_AS_DATAFILE);
    ~Resources() { FreeLibrary(h); }
    // The bytes of one resource under the program's language, empty if absent.
    std::string Get(LPCWSTR type, LPCWSTR name, WORD lang = kChineseTaiwan)
    {
        HRSRC r = FindResourceExW(h, type, name, lang);
        if (!r) {
            return {};
        }
        const char* p = (const char*)LockResource(LoadResource(h, r));
        return std::string(p, SizeofResource(h, r));
    }
};

// Reads a standard dialog template field by field.
struct TemplateReader {
    const std::string& data;
    size_t pos = 0;
    WORD Word()
    {
        WORD w;
        memcpy(&w, data.data() + pos, 2);
        pos += 2;
        return w;
    }
    DWORD Dword()
    {
        DWORD d;
        memcpy(&d, data.data() + pos, 4);
        pos += 4;
        return d;
    }
    std::wstring String()
    {
        std::wstring s;
        for (WORD w; (w = Word()) != 0;) {
            s += (wchar_t)w;
        }
        return s;
    }
    // An ordinal (0xFFFF, then the value) as "#value", or a string.
    std::wstring OrdinalOrString()
    {
        WORD first;
        memcpy(&first, data.data() + pos, 2);
        if (first == 0xFFFF) {
            pos += 2;
            return L"#" + std::to_wstring(Word());
        }
        return String();
    }
    void AlignDword() { pos = (pos + 3) & ~(size_t)3; }
};

TEST(PanelResources, ControlDialogTemplateMatchesTheLayout)
{
    Resources res;
    ASSERT_NE(res.h, nullptr);
    std::string data = res.Get(RT_DIALOG, MAKEINTRESOURCEW(129));
    ASSERT_FALSE(data.empty());
    TemplateReader t{data};
    const DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFOREGROUND |
                               DS_SETFONT | DS_FIXEDSYS;
    EXPECT_EQ(t.Dword(), kDialogStyle);
    EXPECT_EQ(t.Dword(), 0u);  // extended style; a DLGTEMPLATEEX would start 0xFFFF0001
    WORD count = t.Word();
    EXPECT_EQ(count, 8);
    EXPECT_EQ(t.Word(), 0);
    EXPECT_EQ(t.Word(), 0);
    EXPECT_EQ(t.Word(), 156);
    EXPECT_EQ(t.Word(), 110);
    EXPECT_EQ(t.OrdinalOrString(), L"");  // no menu
    EXPECT_EQ(t.OrdinalOrString(), L"");  // no class
    EXPECT_EQ(t.String(), kCaption);
    EXPECT_EQ(t.Word(), 8);
    EXPECT_EQ(t.String(), L"MS Shell Dlg");

    const DWORD kButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
    const struct {
        WORD id;
        const wchar_t* cls;
        const wchar_t* text;
        short x, y, cx, cy;
        DWORD style;
    } kLayout[] = {
        {1000, L"#128", L"Turn on Wi-Fi", 7, 32, 53, 18, kButton},
        {1003, L"#128", L"Set Wi-Fi Regulatory", 76, 86, 73, 17,
         WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON},
        {1001, L"#128", L"Turn off Wi-Fi", 96, 32, 53, 17, kButton},
        {0xFFFF, L"#130", L"Setting Wi-Fi Regulatory Code:", 7, 61, 87, 16,
         WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT},
        {1002, L"#133", L"", 97, 63, 52, 45,
         WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST},
        {1004, L"#128", L"Hard Reset", 7, 86, 53, 17, kButton},
        {1005, L"#128", L"Init Wi-Fi", 7, 7, 53, 18, kButton},
        {1006, L"#128", L"Close Wi-Fi", 95, 7, 53, 18, kButton},
    };
    for (size_t i = 0; i < count && i < 8; i++) {
        SCOPED_TRACE(i + 1);
        t.AlignDword();
        EXPECT_EQ(t.Dword(), kLayout[i].style);
        EXPECT_EQ(t.Dword(), 0u);
        EXPECT_EQ((short)t.Word(), kLayout[i].x);
        EXPECT_EQ((short)t.Word(), kLayout[i].y);
        EXPECT_EQ((short)t.Word(), kLayout[i].cx);
        EXPECT_EQ((short)t.Word(), kLayout[i].cy);
        EXPECT_EQ(t.Word(), kLayout[i].id);
        EXPECT_EQ(t.OrdinalOrString(), kLayout[i].cls);
        EXPECT_EQ(t.OrdinalOrString(), kLayout[i].text);
        EXPECT_EQ(t.Word(), 0);  // no creation data
    }
    EXPECT_EQ((data.size() + 3) & ~(size_t)3, (t.pos + 3) & ~(size_t)3);
}

TEST(PanelResources, ShellResourcesAreThereUnderTheProgramsLanguage)
{
    Resources res;
    ASSERT_NE(res.h, nullptr);
    // Strings 1 and 2 are the first two of block 1.
    std::string block = res.Get(RT_STRING, MAKEINTRESOURCEW(1));
    ASSERT_GE(block.size(), 2u * 2 + 2 * 12);
    TemplateReader s{block};
    std::vector<std::wstring> strings;
    for (int i = 0; i < 3; i++) {
        WORD n = s.Word();
        strings.emplace_back((const wchar_t*)(block.data() + s.pos), n);
        s.pos += 2 * n;
    }
    EXPECT_EQ(strings, (std::vector<std::wstring>{L"", L"Quenta", L"Quenta"}));

    // Accelerators: Ctrl+A gives 40002, Ctrl+Q 40000, virtual keys, no highlight.
    std::string accel = res.Get(RT_ACCELERATOR, MAKEINTRESOURCEW(2));
    ASSERT_EQ(accel.size(), 16u);
    TemplateReader a{accel};
    const WORD kFlags = FVIRTKEY | FCONTROL | FNOINVERT;
    EXPECT_EQ(a.Word(), kFlags);
    EXPECT_EQ(a.Word(), 'A');
    EXPECT_EQ(a.Word(), 40002);
    a.Word();
    EXPECT_EQ(a.Word(), kFlags | 0x80);  // the last entry
    EXPECT_EQ(a.Word(), 'Q');
    EXPECT_EQ(a.Word(), 40000);

    // One icon image, 32 x 32 in 16 colours.
    std::string group = res.Get(RT_GROUP_ICON, MAKEINTRESOURCEW(130));
    ASSERT_EQ(group.size(), 6u + 14u);
    EXPECT_EQ((unsigned char)group[4], 1);  // count
    EXPECT_EQ((unsigned char)group[6], 32);
    EXPECT_EQ((unsigned char)group[7], 32);
    EXPECT_EQ((unsigned char)group[8], 16);
    EXPECT_EQ((unsigned char)group[12], 4);  // bits per pixel
    WORD iconId;
    memcpy(&iconId, group.data() + 18, 2);
    std::string image = res.Get(RT_ICON, MAKEINTRESOURCEW(iconId));
    ASSERT_GE(image.size(), 40u);
    BITMAPINFOHEADER bih;
    memcpy(&bih, image.data(), sizeof(bih));
    EXPECT_EQ(bih.biWidth, 32);
    EXPECT_EQ(bih.biBitCount, 4);

    std::string marker = res.Get(L"CEUX", L"HI_RES_AWARE");
    ASSERT_EQ(marker.size(), 2u);
    EXPECT_EQ(marker[0], 1);
    EXPECT_EQ(marker[1], 0);
}

// --- A picture of the real dialog ------------------------------------------------------

// A host path as this Wine prefix sees it (drive Z: is the host's root).
std::wstring HostPath(const std::string& unixPath)
{
    std::wstring path = L"Z:" + Widen(unixPath);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::string HostFileText(const std::string& unixPath)
{
    std::ifstream in(HostPath(unixPath).c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(PanelScreenshot, TheDialogIsDrawnOnAVirtualDisplay)
{
    // tools/screenshot names whatever it lacks (Xvfb, ImageMagick) in its log.
    // The picture is made on the host by tools/screenshot, in a prefix of its
    // own with a real window driver; this prefix stays headless.
    std::string bin = BUILD_BIN_DIR;
    std::string out = bin + "/panel_test_screenshot";
    std::string script = bin + "/../../tools/screenshot";
    std::wstring done = HostPath(out + ".rc");
    DeleteFileW(done.c_str());
    std::string command = "Z:\\bin\\sh -c \"'" + script + "' --build '" + bin + "/..' --out '" +
                          out + ".png' --ppm '" + out + ".ppm' >'" + out +
                          ".log' 2>&1; echo $? >'" + out + ".rc'\"";
    std::wstring wcommand = Widen(command);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(NULL, wcommand.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // A host process cannot be waited on from here: its result file says when it ended.
    std::string rc;
    for (int i = 0; i < 1800 && rc.empty(); i++) {
        ::Sleep(100);
        std::ifstream in(done.c_str());
        std::getline(in, rc);
    }
    ASSERT_EQ(rc, "0") << "tools/screenshot said:\n" << HostFileText(out + ".log");

    std::ifstream in(HostPath(out + ".ppm").c_str(), std::ios::binary);
    std::string magic;
    int width = 0, height = 0, maxval = 0;
    in >> magic >> width >> height >> maxval;
    in.get();
    ASSERT_EQ(magic, "P6");
    ASSERT_GT(width * height, 0);
    std::string pixels((size_t)width * height * 3, '\0');
    in.read(pixels.data(), (std::streamsize)pixels.size());
    ASSERT_EQ(in.gcount(), (std::streamsize)pixels.size());
    // Not blank: many colours (face, text, frame, caption), and a good share
    // of the picture differs from its most common colour.
    std::map<int, size_t> colours;
    for (size_t i = 0; i < pixels.size(); i += 3) {
        colours[((unsigned char)pixels[i] << 16) | ((unsigned char)pixels[i + 1] << 8) |
                (unsigned char)pixels[i + 2]]++;
    }
    size_t common = 0;
    for (const auto& c : colours) {
        common = std::max(common, c.second);
    }
    EXPECT_GE(colours.size(), 8u);
    EXPECT_LT(common, (size_t)width * height * 9 / 10);
}

}  // namespace
