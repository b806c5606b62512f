// The device console: the real handheld-console.exe runs as a process of its
// own on the test's device. The test changes the device from this process and
// reads what the console shows through window messages (WM_GETTEXT,
// LB_GETTEXT), and presses the console's controls with WM_COMMAND to see that
// each has the effect on the device that it says.
#include "testing.h"

#include <console.h>
#include <handheld_devmgr.h>
#include <handheld_radio.h>
#include <rendak_store.h>

#include <algorithm>
#include <fstream>
#include <sstream>

// This program watches the device as the console does: a power cut that a
// test makes ends the device's programs, not the test.
extern "C" __declspec(dllexport) const int HandheldObserver = 1;

namespace {

// How long the console may take to follow a change: it is told by the host
// registry's notifications, or by its 400 ms timer for the log and the clock.
const DWORD kFollowMs = 15000;

class Console {
public:
    Console()
    {
        pi_ = StartProgram(L"handheld-console.exe", L"--device " + std::wstring(SimDeviceName()));
        started_ = pi_.hProcess != NULL;
        for (int i = 0; started_ && i < 600 && !window_; i++) {
            HWND h = NULL;
            while ((h = FindWindowExW(NULL, h, CONSOLE_CLASS, NULL)) != NULL) {
                DWORD owner = 0;
                GetWindowThreadProcessId(h, &owner);
                if (owner == pi_.dwProcessId) {
                    window_ = h;
                }
            }
            if (!window_) {
                ::Sleep(50);
            }
        }
        // The window is found while it makes its controls; ready once it shows the device.
        for (int i = 0; window_ && i < 600 && Text(IDC_DEVICE).empty(); i++) {
            ::Sleep(50);
        }
    }
    ~Console()
    {
        if (started_) {
            if (Running()) {
                TerminateProcess(pi_.hProcess, 99);
                WaitForSingleObject(pi_.hProcess, 10000);
            }
            CloseHandle(pi_.hProcess);
            CloseHandle(pi_.hThread);
        }
    }

    HWND window() const { return window_; }
    bool Running() const { return WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }
    HWND Item(int id) const { return GetDlgItem(window_, id); }

    std::wstring Text(int id) const
    {
        wchar_t text[1024] = L"";
        DWORD_PTR got = 0;
        SendMessageTimeoutW(Item(id), WM_GETTEXT, 1024, (LPARAM)text, SMTO_NORMAL, 10000, &got);
        return text;
    }
    std::vector<std::wstring> Lines(int id) const
    {
        std::vector<std::wstring> lines;
        LRESULT count = SendMessageW(Item(id), LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; i++) {
            std::wstring line(SendMessageW(Item(id), LB_GETTEXTLEN, i, 0) + 1, L'\0');
            line.resize(SendMessageW(Item(id), LB_GETTEXT, i, (LPARAM)line.data()));
            lines.push_back(line);
        }
        return lines;
    }
    bool Checked(int id) const { return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

    // Waits until the view's text holds `part`; the text it has at the end.
    std::wstring WaitText(int id, const std::wstring& part) const
    {
        std::wstring text;
        for (DWORD start = GetTickCount(); GetTickCount() - start < kFollowMs; ::Sleep(50)) {
            text = Text(id);
            if (text.find(part) != std::wstring::npos) {
                break;
            }
        }
        return text;
    }
    // Waits until a line of the list holds `part`.
    bool WaitLine(int id, const std::wstring& part) const
    {
        for (DWORD start = GetTickCount(); GetTickCount() - start < kFollowMs; ::Sleep(50)) {
            for (const std::wstring& line : Lines(id)) {
                if (line.find(part) != std::wstring::npos) {
                    return true;
                }
            }
        }
        return false;
    }

    // Presses a control; its action is done when this returns.
    void Press(int id, Caller at = Caller()) { Notify(id, BN_CLICKED, at); }
    void Choose(int list, int index, Caller at = Caller())
    {
        if (SendMessageW(Item(list), CB_SETCURSEL, index, 0) != index) {
            FAIL_AT(at) << "list " << list << " has no entry " << index;
        }
    }
    // Tells the console what a control did, as the control itself would.
    void Notify(int id, int code, Caller at = Caller())
    {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(window_, WM_COMMAND, MAKEWPARAM(id, code), (LPARAM)Item(id),
                                SMTO_NORMAL, 60000, &result) == 0) {
            FAIL_AT(at) << "control " << id << " (code " << code << ") was not taken";
        }
    }
    // Types into a combo box's field, or chooses the entry with this text.
    void Type(int combo, const std::wstring& text, Caller at = Caller())
    {
        SendMessageW(Item(combo), WM_SETTEXT, 0, (LPARAM)text.c_str());
        Notify(combo, CBN_EDITCHANGE, at);
    }
    void ChooseText(int combo, const std::wstring& text, Caller at = Caller())
    {
        LRESULT count = SendMessageW(Item(combo), CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; i++) {
            wchar_t entry[64] = L"";
            if (SendMessageW(Item(combo), CB_GETLBTEXTLEN, i, 0) < 64) {
                SendMessageW(Item(combo), CB_GETLBTEXT, i, (LPARAM)entry);
            }
            if (text == entry) {
                Choose(combo, (int)i, at);
                Notify(combo, CBN_SELCHANGE, at);
                return;
            }
        }
        FAIL_AT(at) << "no entry " << Narrow(text);
    }

private:
    bool started_ = false;
    PROCESS_INFORMATION pi_ = {};
    HWND window_ = NULL;
};

// The text is taken once: a program's output is not asked for again to report it.
#define HAS(text, part)                                                           \
    do {                                                                          \
        const auto& has_text_ = (text);                                           \
        EXPECT_NE(has_text_.find(part), std::wstring::npos) << Narrow(has_text_); \
    } while (0)

DWORD ColdReset()
{
    DWORD one = 1;
    SetLastError(0xDEAD);
    return KernelIoControl(IOCTL_OEM_COLDRESET, &one, sizeof(one), NULL, 0, NULL) ? 0
                                                                                  : GetLastError();
}

// Activates the driver after the card was put back without it; 0 or the error.
DWORD ActivateDriver()
{
    SetLastError(0xDEAD);
    HANDLE h = ActivateDeviceEx(PCCARD_DRIVER_KEY, NULL, 0, NULL);
    return h ? 0 : GetLastError();
}

class ConsoleTest : public DeviceTest {};

TEST_F(ConsoleTest, ShowsTheFactoryDeviceWithItsNumbersNamed)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    EXPECT_EQ(console.WaitText(IDC_STATE, L"0x100: 0x100 adapter"), L"0x100: 0x100 adapter");
    EXPECT_EQ(console.Text(IDC_OEM), L"1 (on)");
    EXPECT_EQ(console.Text(IDC_LOCALE), L"0x0409 (English, United States)");
    EXPECT_EQ(console.Text(IDC_STATUS_FILE), L"no file");
    EXPECT_EQ(console.Text(IDC_DOMAIN), L"not set");
    EXPECT_EQ(console.Text(IDC_WIFI_PARAM), L"not set");
    EXPECT_EQ(console.Text(IDC_CHANNELS), L"not set");
    EXPECT_EQ(console.Text(IDC_FAULTS), L"none");
    HAS(console.Text(IDC_CARD), L"inserted; driver trxd385.dll loaded as NDL1: (instance 0)");
    HAS(console.Text(IDC_KERNEL),
        L"cold resets " + std::to_wstring(SimKernelCounter(L"ColdResets")) + L" (refused");
    std::vector<std::wstring> radios = console.Lines(IDC_RADIOS);
    ASSERT_EQ(radios.size(), 3u);
    EXPECT_EQ(radios[0], L"Phone (CELL1, phone): on");
    EXPECT_EQ(radios[1], L"Wi-Fi (TRXD385L1, managed): off, the Wi-Fi adapter");
    EXPECT_EQ(radios[2], L"Bluetooth (BTH1, Bluetooth): off");
}

// The library, in this process, sets a domain and turns Wi-Fi on; the
// console follows each step without being told.
TEST_F(ConsoleTest, FollowsTheLibraryAndTheDeviceInAnotherProcess)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);  // no reload question on the way
    EXPECT_EQ(console.WaitText(IDC_OEM, L"0 (off)"), L"0 (off)");

    ChangeWiFiRegulatory(4);
    EXPECT_EQ(console.WaitText(IDC_DOMAIN, L"France"), L"0x32 (France)");
    EXPECT_EQ(console.WaitText(IDC_CHANNELS, L"0x1E00"), L"0x1E00: 10 11 12 13");

    TurnOnWiFiModule();
    EXPECT_EQ(console.WaitText(IDC_STATE, L"powered"), L"0x101: 0x100 adapter, 0x001 powered");
    EXPECT_EQ(console.WaitText(IDC_WIFI_PARAM, L"1"), L"1 (switched on)");
    EXPECT_EQ(console.WaitText(IDC_STATUS_FILE, L"was on"), L"\"1\" (was on)");
    EXPECT_TRUE(console.WaitLine(IDC_RADIOS, L"Wi-Fi (TRXD385L1, managed): on"));

    SetRegDword(REG_LOCALE_KEY, REG_LCID_VALUE, 0x0404);
    EXPECT_EQ(console.WaitText(IDC_LOCALE, L"Taiwan"), L"0x0404 (Chinese, Taiwan)");

    SimEjectCard();
    EXPECT_EQ(console.WaitText(IDC_STATE, L"no driver"), L"0x000: 0 (no driver loaded)");
    HAS(console.WaitText(IDC_CARD, L"ejected"), L"ejected");
    EXPECT_TRUE(console.WaitLine(IDC_RADIOS, L"the Wi-Fi adapter, not listed"));
}

TEST_F(ConsoleTest, FollowsTheDebugOutputAndTheKernel)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    NKDbgPrintfW(L"console test line %d\n", 42);
    EXPECT_TRUE(console.WaitLine(IDC_LOG, L"console test line 42"));

    // The kernel's record outlives a device's reset: counts are relative.
    std::wstring resets = L"cold resets " + std::to_wstring(SimKernelCounter(L"ColdResets") + 1);
    ASSERT_EQ(ColdReset(), 0u);
    HAS(console.WaitText(IDC_KERNEL, resets), resets);
}

// A cold reboot made by another program restores the factory image and ends
// every process tied to the device's boot; the console lives on, even after
// it has ejected the card, and follows the restored device.
TEST_F(ConsoleTest, SurvivesAColdRebootAndFollowsTheRestoredDevice)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    console.Press(IDC_EJECT);
    console.Press(IDC_OEM_OFF);
    HAS(console.WaitText(IDC_CARD, L"ejected"), L"ejected");

    DWORD restarts = SimKernelCounter(L"Restarts");
    std::wstring boot = L"(boot " + std::to_wstring(SimKernelCounter(L"Boot") + 1) + L")";
    SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"real");
    RunResult reboot = RunProgram(L"rendakctl.exe", L"--yes hard-reset");
    SetEnvironmentVariableW(L"HANDHELD_CLOCK", NULL);
    ASSERT_EQ(SimKernelCounter(L"Restarts"), restarts + 1) << reboot.out << reboot.err;
    HAS(console.WaitText(IDC_DEVICE, boot), boot);
    EXPECT_TRUE(console.Running());
    EXPECT_EQ(console.WaitText(IDC_OEM, L"1 (on)"), L"1 (on)");
    HAS(console.WaitText(IDC_CARD, L"inserted"), L"inserted; driver");
    EXPECT_TRUE(console.WaitLine(IDC_LOG, L"the device restarted " + boot));

    // Still watching the keys made anew, and still able to act on them.
    std::wstring device = SimDeviceName();
    SimSelectDevice(device.c_str());
    SetRegDword(REG_LOCALE_KEY, REG_LCID_VALUE, 0x0410);
    EXPECT_EQ(console.WaitText(IDC_LOCALE, L"Italian"), L"0x0410 (Italian, Italy)");
    console.Press(IDC_OEM_OFF);
    EXPECT_EQ(RegDword(REG_OEM_KEY, REG_WIFI_VALUE), 0u);
}

TEST_F(ConsoleTest, CardOemSwitchAndLocaleControls)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    console.Press(IDC_EJECT);
    EXPECT_EQ(SimAdapterState(), 0u);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_CARD_INSERTED, 1), 0u);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0u);
    EXPECT_EQ(console.Text(IDC_MESSAGE), L"card ejected");
    console.Press(IDC_INSERT);
    EXPECT_EQ(SimAdapterState(), 0x100u);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0x100u);
    EXPECT_EQ(SimDriverActivations(), 1u);  // the bus loaded a new instance

    console.Press(IDC_OEM_OFF);
    EXPECT_EQ(RegDword(REG_OEM_KEY, REG_WIFI_VALUE), 0u);
    console.Press(IDC_OEM_ON);
    EXPECT_EQ(RegDword(REG_OEM_KEY, REG_WIFI_VALUE), 1u);

    console.Choose(IDC_LOCALE_LIST, 2);
    console.Press(IDC_LOCALE_SET);
    EXPECT_EQ(RegDword(REG_LOCALE_KEY, REG_LCID_VALUE), 0x0410u);
    console.Choose(IDC_LOCALE_LIST, 4);  // "none": the value deleted
    console.Press(IDC_LOCALE_SET);
    EXPECT_EQ(RegDword(REG_LOCALE_KEY, REG_LCID_VALUE), std::nullopt);
}

TEST_F(ConsoleTest, ActivationFaultsFailTheDriverActivation)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    SimEjectCard();
    SimInsertCard(FALSE);

    console.Press(IDC_FAIL_NEXT_ACT);
    HAS(console.WaitText(IDC_FAULTS, L"ActivateDeviceEx"), L"once");
    EXPECT_EQ(ActivateDriver(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(ActivateDriver(), 0u) << "only the next activation fails";
    EXPECT_EQ(SimAdapterState(), 0x100u);

    SimEjectCard();
    SimInsertCard(FALSE);
    console.Press(IDC_FAIL_ACT);
    EXPECT_TRUE(console.Checked(IDC_FAIL_ACT));
    EXPECT_EQ(ActivateDriver(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(ActivateDriver(), (DWORD)ERROR_GEN_FAILURE);
    console.Press(IDC_FAIL_ACT);
    EXPECT_FALSE(console.Checked(IDC_FAIL_ACT));
    EXPECT_EQ(ActivateDriver(), 0u);
}

TEST_F(ConsoleTest, RefuseColdResetAndStuckStateControls)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    console.Press(IDC_REFUSE_RESET);
    EXPECT_TRUE(console.Checked(IDC_REFUSE_RESET));
    EXPECT_EQ(ColdReset(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_NE(console.WaitText(IDC_FAULTS, L"refuses"), L"none");
    console.Press(IDC_REFUSE_RESET);
    EXPECT_EQ(ColdReset(), 0u);

    console.Press(IDC_STUCK);
    EXPECT_TRUE(console.Checked(IDC_STUCK));
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0x102u);  // published at once
    HAS(console.WaitText(IDC_STATE, L"switching"), L"0x002 switching");
    // Switching on and waiting out the settling time leaves the bit set.
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);  // no reload question on the way
    ChangeWiFiRegulatory(1);
    TurnOnWiFiModule();
    EXPECT_EQ(SimAdapterState(), 0x103u);
    console.Press(IDC_STUCK);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0x101u);
}

TEST_F(ConsoleTest, SignalReloadWakesTheWorkerOfAnotherProcess)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    console.Press(IDC_SIGNAL);
    EXPECT_EQ(console.Text(IDC_MESSAGE), RELOAD_EVENT_NAME L" signalled");
    // This process's library holds the event: its worker asks the question.
    ASSERT_TRUE(WaitForWorkerIdle(1));
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].flags, 0x44u);
}

TEST_F(ConsoleTest, ClockAndFactoryControls)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    console.Choose(IDC_CLOCK_LIST, 2);
    console.Press(IDC_CLOCK_SET);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_CLOCK_MODE, 99), (DWORD)SIM_CLOCK_SCALED);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_CLOCK_SCALE, 99), 10u);
    HAS(console.WaitText(IDC_CLOCK, L"scaled x10"), L"programs started now: scaled x10");

    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x32);
    SimSetSetting(SIM_SETTING_STATE_STUCK, 1);
    SimSetFault(L"LoadLibraryW", L"RDIOSTR0409.dll", ERROR_MOD_NOT_FOUND, FALSE);
    console.Press(IDC_FACTORY);
    // The reset made the device's keys anew: this process opens them again.
    std::wstring device = SimDeviceName();
    SimSelectDevice(device.c_str());
    EXPECT_EQ(RegDword(REG_OEM_KEY, REG_WIFI_VALUE), 1u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_STATE_STUCK, 1), 0u);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_CLOCK_MODE, 99), 99u);
    EXPECT_EQ(console.WaitText(IDC_FAULTS, L"none"), L"none");
}

}  // namespace

// --- the console's command line -----------------------------------------------------------

namespace {

RunResult Console_(const std::wstring& args)
{
    return RunProgram(L"handheld-console.exe",
                      L"--device " + std::wstring(SimDeviceName()) + L" " + args);
}

BOOL CALLBACK CollectButton(HWND hChild, LPARAM lParam)
{
    wchar_t cls[16] = L"", text[64] = L"";
    GetClassNameW(hChild, cls, 16);
    GetWindowTextW(hChild, text, 64);
    if (_wcsicmp(cls, L"Button") == 0) {
        reinterpret_cast<std::vector<std::wstring>*>(lParam)->push_back(text);
    }
    return TRUE;
}

// The action names --help lists, in its order.
std::vector<std::string> HelpActions(const std::string& help)
{
    std::vector<std::string> names;
    size_t at = help.find("actions (ACTION");
    std::istringstream in(at == std::string::npos ? "" : help.substr(at));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (line.size() > 2 && line[0] == ' ' && line[1] == ' ') {
            names.push_back(line.substr(2, line.find(' ', 2) - 2));
        }
    }
    return names;
}

TEST_F(ConsoleTest, HelpListsAnActionForEveryControlAndRefusesWhatItDoesNotKnow)
{
    RunResult help = Console_(L"--help");
    EXPECT_EQ(help.exitCode, 0u);
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    std::vector<std::wstring> buttons;
    EnumChildWindows(console.window(), CollectButton, (LPARAM)&buttons);
    EXPECT_EQ(buttons.size(), 14u);  // the window's controls, combo boxes aside
    for (const std::wstring& b : buttons) {
        EXPECT_NE(help.out.find(Narrow(b)), std::string::npos) << "no action for " << Narrow(b);
    }
    RunResult frob = Console_(L"--act frob");
    EXPECT_EQ(frob.exitCode, 2u);
    EXPECT_NE(frob.err.find("unknown action \"frob\""), std::string::npos) << frob.err;
    EXPECT_NE(frob.err.find("stuck-off"), std::string::npos);
    RunResult bad = Console_(L"--loud");
    EXPECT_EQ(bad.exitCode, 2u);
    EXPECT_NE(bad.err.find("unknown argument \"--loud\""), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("--act ACTION"), std::string::npos);
}

DWORD g_cutsBefore = 0;  // the kernel's count of power cuts before an action

TEST_F(ConsoleTest, EveryActionDoesWhatItsControlDoes)
{
    struct Case {
        const char* act;
        bool (*check)();
    } cases[] = {
        {"eject",
         [] {
             return SimGetSetting(SIM_SETTING_CARD_INSERTED, 1) == 0 &&
                    RegDword(REG_STATE_KEY, REG_STATE_VALUE) == 0u;
         }},
        {"insert", [] { return RegDword(REG_STATE_KEY, REG_STATE_VALUE) == 0x100u; }},
        {"oem-off", [] { return RegDword(REG_OEM_KEY, REG_WIFI_VALUE) == 0u; }},
        {"oem-on", [] { return RegDword(REG_OEM_KEY, REG_WIFI_VALUE) == 1u; }},
        {"refuse-reset", [] { return ColdReset() == (DWORD)ERROR_ACCESS_DENIED; }},
        {"accept-reset", [] { return ColdReset() == 0u; }},
        {"activation-fails",
         [] {
             SimEjectCard();
             SimInsertCard(FALSE);
             return ActivateDriver() == (DWORD)ERROR_GEN_FAILURE;
         }},
        {"activation-ok", [] { return ActivateDriver() == 0u; }},
        {"fail-next-activation",
         [] {
             SimEjectCard();
             SimInsertCard(FALSE);
             return ActivateDriver() == (DWORD)ERROR_GEN_FAILURE && ActivateDriver() == 0u;
         }},
        {"clear-faults",
         [] {
             SimEjectCard();
             SimInsertCard(FALSE);
             return ActivateDriver() == 0u;  // the fault armed just before is gone
         }},
        {"stuck-on", [] { return RegDword(REG_STATE_KEY, REG_STATE_VALUE) == 0x102u; }},
        {"stuck-off", [] { return RegDword(REG_STATE_KEY, REG_STATE_VALUE) == 0x100u; }},
        {"locale-0404", [] { return RegDword(REG_LOCALE_KEY, REG_LCID_VALUE) == 0x0404u; }},
        {"locale-0410", [] { return RegDword(REG_LOCALE_KEY, REG_LCID_VALUE) == 0x0410u; }},
        {"locale-0407", [] { return RegDword(REG_LOCALE_KEY, REG_LCID_VALUE) == 0x0407u; }},
        {"locale-none", [] { return RegDword(REG_LOCALE_KEY, REG_LCID_VALUE) == std::nullopt; }},
        {"locale-0409", [] { return RegDword(REG_LOCALE_KEY, REG_LCID_VALUE) == 0x0409u; }},
        {"clock-x2", [] { return SimGetSetting(SIM_SETTING_CLOCK_SCALE, 0) == 2u; }},
        {"clock-x60", [] { return SimGetSetting(SIM_SETTING_CLOCK_SCALE, 0) == 60u; }},
        {"clock-x10",
         [] {
             return SimGetSetting(SIM_SETTING_CLOCK_MODE, 9) == (DWORD)SIM_CLOCK_SCALED &&
                    SimGetSetting(SIM_SETTING_CLOCK_SCALE, 0) == 10u;
         }},
        {"clock-virtual",
         [] { return SimGetSetting(SIM_SETTING_CLOCK_MODE, 9) == (DWORD)SIM_CLOCK_VIRTUAL; }},
        {"clock-real",
         [] { return SimGetSetting(SIM_SETTING_CLOCK_MODE, 9) == (DWORD)SIM_CLOCK_REAL; }},
        {"signal", [] { return WaitForWorkerIdle(1) && MessageBoxes().size() == 1; }},
        {"factory",
         [] {
             SimSelectDevice(SimDeviceName());
             return SimGetSetting(SIM_SETTING_CLOCK_MODE, 9) == 9u &&
                    RegDword(REG_OEM_KEY, REG_WIFI_VALUE) == 1u;
         }},
        // The phone, on in the factory state, is off after the device starts again.
        {"power-cut",
         [] {
             SimSelectDevice(SimDeviceName());
             DWORD power = 9;
             return SimKernelCounter(L"PowerCuts") == g_cutsBefore + 1 &&
                    SimGetRadioPower(L"CELL1", &power) && power == 0u;
         }},
        {"country-de", [] { return true; }},  // it shows; ConsoleTest.CountryField* checks what
    };
    std::vector<std::string> tested;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.act);
        if (std::string(c.act) == "clear-faults") {
            SimSetFault(L"ActivateDeviceEx", PCCARD_DRIVER_KEY, ERROR_GEN_FAILURE, TRUE);
        }
        g_cutsBefore = SimKernelCounter(L"PowerCuts");
        RunResult r = Console_(L"--act " + Widen(c.act));
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_FALSE(r.out.empty()) << "it says nothing";
        EXPECT_TRUE(c.check());
        // The country action takes the country in its name, as help writes it.
        tested.push_back(std::string(c.act).rfind("country-", 0) == 0 ? "country-CC" : c.act);
    }
    std::vector<std::string> listed = HelpActions(Console_(L"--help").out);
    std::sort(listed.begin(), listed.end());
    std::sort(tested.begin(), tested.end());
    EXPECT_EQ(listed, tested);
}

int Selected(const Console& console, int id)
{
    return (int)SendMessageW(console.Item(id), CB_GETCURSEL, 0, 0);
}

int WaitSelected(const Console& console, int id, int index)
{
    int now = -2;
    for (DWORD start = GetTickCount(); GetTickCount() - start < kFollowMs; ::Sleep(50)) {
        if ((now = Selected(console, id)) == index) {
            break;
        }
    }
    return now;
}

TEST_F(ConsoleTest, SelectorsShowTheDevicesSettingsAndKeepAChoiceNotYetApplied)
{
    SetRegDword(REG_LOCALE_KEY, REG_LCID_VALUE, 0x0410);
    SimSetSetting(SIM_SETTING_CLOCK_MODE, SIM_CLOCK_SCALED);
    SimSetSetting(SIM_SETTING_CLOCK_SCALE, 60);
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    EXPECT_EQ(WaitSelected(console, IDC_LOCALE_LIST, 2), 2);  // Italian
    EXPECT_EQ(WaitSelected(console, IDC_CLOCK_LIST, 3), 3);   // scaled x60

    SetRegDword(REG_LOCALE_KEY, REG_LCID_VALUE, 0x0404);
    EXPECT_EQ(WaitSelected(console, IDC_LOCALE_LIST, 1), 1);
    SimRegDeleteValue(REG_LOCALE_KEY, REG_LCID_VALUE);
    EXPECT_EQ(WaitSelected(console, IDC_LOCALE_LIST, 4), 4);  // none

    // A choice the user has made stays while other things change.
    console.Choose(IDC_CLOCK_LIST, 4);
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    EXPECT_EQ(console.WaitText(IDC_OEM, L"0 (off)"), L"0 (off)");
    console.Press(IDC_LOCALE_SET);  // another control, and a refresh
    EXPECT_EQ(Selected(console, IDC_CLOCK_LIST), 4);
}

LRESULT CALLBACK TargetProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

TEST_F(ConsoleTest, StandsBesideTheWindowItWasToldOf)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = TargetProc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"BesideTarget";
    RegisterClassW(&wc);
    std::wstring title = L"Stand beside " + std::wstring(SimDeviceName());
    HWND hTarget =
        CreateWindowExW(0, L"BesideTarget", title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 40,
                        240, 180, NULL, NULL, wc.hInstance, NULL);
    ASSERT_NE(hTarget, (HWND)NULL);
    PROCESS_INFORMATION pi =
        StartProgram(L"handheld-console.exe", L"--device " + std::wstring(SimDeviceName()) +
                                                  L" --beside \"" + title + L"\"");
    RECT target = {}, self = {}, overlap;
    bool beside = false;
    for (DWORD start = GetTickCount(); !beside && GetTickCount() - start < kFollowMs;) {
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {  // the console may move this window
            DispatchMessageW(&msg);
        }
        ::Sleep(50);
        HWND hConsole = NULL;
        while ((hConsole = FindWindowExW(NULL, hConsole, CONSOLE_CLASS, NULL)) != NULL) {
            DWORD owner = 0;
            GetWindowThreadProcessId(hConsole, &owner);
            if (owner == pi.dwProcessId) {
                break;
            }
        }
        if (hConsole) {
            GetWindowRect(hTarget, &target);
            GetWindowRect(hConsole, &self);
            beside = !IntersectRect(&overlap, &target, &self) && self.top == target.top;
        }
    }
    EXPECT_TRUE(beside) << "console at " << self.left << "," << self.top << ", window at "
                        << target.left << "," << target.top << "-" << target.right;
    TerminateProcess(pi.hProcess, 0);
    WaitAndClose(pi, 10000);
    DestroyWindow(hTarget);
}

// --- the country field -------------------------------------------------------------------

TEST_F(ConsoleTest, CountryFieldShowsTheSuggestionAndWhetherTheStoredRowIsLawfulThere)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    EXPECT_EQ(console.Text(IDC_COUNTRY_RULES),
              L"type or choose a country: two letters, ISO 3166 alpha-2");
    EXPECT_EQ(console.Text(IDC_COUNTRY_SUGGESTION), L"");

    console.Type(IDC_COUNTRY_LIST, L"fr");
    HAS(console.Text(IDC_COUNTRY_RULES), L"allows 1-13; 20 dBm on 1-13 (wireless-regdb ");
    EXPECT_EQ(console.Text(IDC_COUNTRY_SUGGESTION),
              L"3 \"Europe ETSI\": lawful; leaves out nothing; against 4 \"France\", the row "
              L"named for FR: gains 1-9, loses nothing");
    EXPECT_EQ(console.Text(IDC_COUNTRY_STORED),
              L"nothing (read as 0 \"None\"): lawful; leaves out 1-13");

    // The stored row follows the device: the library here stores Japan MKK.
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);  // no reload question on the way
    ChangeWiFiRegulatory(6);
    // Waited for whole: between the library's two stores the view shows the
    // code with no mask yet, and says so.
    const std::wstring japan = L"6 \"Japan MKK\": not lawful: 14 not allowed; leaves out nothing";
    EXPECT_EQ(console.WaitText(IDC_COUNTRY_STORED, japan), japan);

    // Japan, chosen from the list: the row is lawful there, 14 marked.
    console.ChooseText(IDC_COUNTRY_LIST, L"JP");
    HAS(console.Text(IDC_COUNTRY_RULES), L"allows 1-13, and 14 for 802.11b only");
    EXPECT_EQ(console.Text(IDC_COUNTRY_SUGGESTION),
              L"6 \"Japan MKK\": lawful, 14 for 802.11b only; leaves out nothing; it is the row "
              L"named for JP");
    EXPECT_EQ(console.Text(IDC_COUNTRY_STORED),
              L"6 \"Japan MKK\": lawful, 14 for 802.11b only; leaves out nothing");
    console.Type(IDC_COUNTRY_LIST, L"US");
    HAS(console.Text(IDC_COUNTRY_SUGGESTION),
        L"as many: 2 \"Canada IC\"; it is the row named for US");

    // Codes that are none, or that the database lacks: nothing to suggest.
    console.Type(IDC_COUNTRY_LIST, L"ZZ");
    HAS(console.Text(IDC_COUNTRY_RULES), L"ZZ is not in the regulatory database (wireless-regdb ");
    EXPECT_EQ(console.Text(IDC_COUNTRY_SUGGESTION), L"");
    EXPECT_EQ(console.Text(IDC_COUNTRY_STORED), L"");
    console.Type(IDC_COUNTRY_LIST, L"F1");
    HAS(console.Text(IDC_COUNTRY_RULES), L"\"F1\" is not a country code");
}

TEST_F(ConsoleTest, CountryActionShowsWhatTheFieldShows)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    ChangeWiFiRegulatory(6);
    RunResult us = Console_(L"--act country-us");
    EXPECT_EQ(us.exitCode, 0u) << us.err;
    std::vector<std::string> lines;
    std::istringstream in(us.out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line.substr(0, line.find_last_not_of("\r") + 1));
    }
    ASSERT_EQ(lines.size(), 3u) << us.out;
    EXPECT_EQ(lines[0].rfind("US allows 1-11; 30 dBm on 1-11 (wireless-regdb ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1],
              "suggested: 1 \"USA, FCC\": lawful; leaves out nothing; as many: 2 \"Canada IC\"; "
              "it is the row named for US");
    EXPECT_EQ(lines[2],
              "stored: 6 \"Japan MKK\": not lawful: 12-14 not allowed; leaves out nothing");

    for (const wchar_t* bad : {L"country-zz", L"country-fra", L"country-"}) {
        SCOPED_TRACE(Narrow(bad));
        RunResult r = Console_(std::wstring(L"--act ") + bad);
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find("unknown action"), std::string::npos) << r.err;
    }
    EXPECT_NE(Console_(L"--act country-zz").err.find("ZZ is not in the regulatory database"),
              std::string::npos);
}

// --- the power cut ---------------------------------------------------------------------------

// A power cut ends every program of the device (rendakctl's watch and the
// runner it started) with 137, and the device starts again; the console, an
// observer, lives on and shows the cut.
TEST_F(ConsoleTest, APowerCutEndsTheDevicesProgramsButNotTheConsole)
{
    Console console;
    ASSERT_NE(console.window(), (HWND)NULL);
    ASSERT_TRUE(SimRadioSwitch(L"TRXD385L1", 1) == S_OK);
    DeviceSleep(5000);
    DWORD cuts = SimKernelCounter(L"PowerCuts");
    PROCESS_INFORMATION watch =
        StartProgram(L"rendakctl.exe", L"--device " + std::wstring(SimDeviceName()) + L" watch");
    for (DWORD start = GetTickCount();
         SimDeviceProcesses(NULL, 0) < 1 && GetTickCount() - start < kFollowMs; ::Sleep(50)) {
    }
    // watch's runner is the device's; its supervisor watches from outside.
    ASSERT_EQ(SimDeviceProcesses(NULL, 0), 1u);

    RunResult cut = Console_(L"--act power-cut");
    EXPECT_EQ(cut.exitCode, 0u) << cut.err;
    EXPECT_EQ(cut.out.rfind("power cut: 1 process(es) of the device ended", 0), 0u) << cut.out;
    EXPECT_EQ(WaitAndClose(watch, 10000), (DWORD)SIM_EXIT_POWER_CUT);
    EXPECT_EQ(SimDeviceProcesses(NULL, 0), 0u);
    EXPECT_EQ(SimKernelCounter(L"PowerCuts"), cuts + 1);
    std::wstring device = SimDeviceName();
    SimSelectDevice(device.c_str());  // the device started again from what it had committed
    DWORD power = 9;
    EXPECT_TRUE(SimGetRadioPower(L"TRXD385L1", &power));
    EXPECT_EQ(power, 0u);

    EXPECT_TRUE(console.Running());
    EXPECT_TRUE(console.WaitLine(IDC_LOG, L"Power cut: 1 process(es) ended"));
    std::wstring count = L"power cuts " + std::to_wstring(cuts + 1);
    HAS(console.WaitText(IDC_KERNEL, count), count);
    EXPECT_TRUE(console.WaitLine(IDC_RADIOS, L"Wi-Fi (TRXD385L1, managed): off"));

    // The button does it in a helper process; the console says what it did.
    console.Press(IDC_POWER_CUT);
    EXPECT_EQ(console.Text(IDC_MESSAGE),
              L"power cut: 0 process(es) of the device ended; it started again from what it had "
              L"committed");
    EXPECT_TRUE(console.Running());
    EXPECT_EQ(SimKernelCounter(L"PowerCuts"), cuts + 2);
}

}  // namespace
