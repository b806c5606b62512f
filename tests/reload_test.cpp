// The reload worker: each signal of the reload event asks the user, then
// re-applies the Wi-Fi configuration by switch-off and switch-on passes.
#include "testing.h"

#include <string>

namespace {

class Reload : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        m_hEvent = Core<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)>(
            "CreateEventW")(NULL, FALSE, FALSE, L"Olbrin_ReloadWiFi");
        ASSERT_NE(m_hEvent, nullptr);
    }
    void TearDown() override
    {
        CloseHandle(m_hEvent);
        DeviceTest::TearDown();
    }

    template <typename F>
    static F Core(const char* name)
    {
        return reinterpret_cast<F>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"coredll.dll"), name)));
    }

    // Sets the shared event as any other process would.
    void Signal() { Core<BOOL(WINAPI*)(HANDLE, DWORD)>("EventModify")(m_hEvent, 3); }

    HANDLE m_hEvent = NULL;
};

// What the worker thread did: the journal entries made on its thread.
std::vector<std::wstring> WorkerEntries(const std::wstring& prefix)
{
    DWORD worker = 0;
    std::vector<std::wstring> found;
    DWORD count = SimJournalCount();
    for (DWORD i = 0; i < count; i++) {
        std::wstring text(SimJournalEntry(i, NULL, 0), L'\0');
        SimJournalEntry(i, text.data(), (DWORD)text.size() + 1);
        if (text.rfind(L"Wait|Olbrin_ReloadWiFi|", 0) == 0) {
            worker = SimJournalThread(i);
        }
        if (worker != 0 && SimJournalThread(i) == worker && text.rfind(prefix, 0) == 0) {
            found.push_back(text);
        }
    }
    return found;
}

std::vector<DWORD> WorkerSleeps()
{
    std::vector<DWORD> sleeps;
    for (const std::wstring& e : WorkerEntries(L"Sleep|")) {
        sleeps.push_back((DWORD)wcstoul(e.c_str() + 6, NULL, 10));
    }
    return sleeps;
}

// The Wi-Fi radio's power, as the simulated device holds it.
DWORD WiFiRadioPower()
{
    std::wstring key =
        std::wstring(L"Software\\Handheld\\Devices\\") + SimDeviceName() + L"\\Settings\\Radios\\1";
    DWORD power = 99, cb = sizeof(power);
    RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Power", RRF_RT_REG_DWORD, NULL, &power, &cb);
    return power;
}

// A domain is stored and the stack started, so state changes are followed.
void StartStack()
{
    SetRegDword(ADAPTER_KEY, L"Domain", 0x10);
    InitWiFi();
}

TEST_F(Reload, YesSwitchesOffThenOnAndLeavesTheFlagAlone)
{
    StartStack();
    TurnOnWiFiModule();
    ASSERT_EQ(WiFiRadioPower(), 1u);
    ASSERT_EQ(IfWiFiRegulatorySet(), 0);
    SimJournalClear();
    SimQueueAnswer(IDYES);
    Signal();
    ASSERT_TRUE(WaitForWorkerIdle(1));

    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), 1u);
    EXPECT_EQ(WiFiRadioPower(), 1u);
    EXPECT_EQ(IfWiFiRegulatorySet(), 0);  // a No would have set it; Yes leaves it
    std::vector<std::wstring> radio = WorkerEntries(L"ChangeRadioState|");
    ASSERT_EQ(radio.size(), 2u);
    EXPECT_NE(radio[0].find(L"|0|2"), std::wstring::npos) << Narrow(radio[0]);
    EXPECT_NE(radio[1].find(L"|1|1"), std::wstring::npos) << Narrow(radio[1]);
    std::vector<DWORD> sleeps = WorkerSleeps();
    // Off pass (steps of 500 until the state drops, 800 settle), 500, on pass (one
    // 4500 wait while the radio settles, 800 settle).
    ASSERT_GE(sleeps.size(), 5u);
    EXPECT_EQ(sleeps[sleeps.size() - 1], 800u);
    EXPECT_EQ(sleeps[sleeps.size() - 2], 4500u);
    EXPECT_EQ(sleeps[sleeps.size() - 3], 500u);
    EXPECT_EQ(sleeps[sleeps.size() - 4], 800u);
}

TEST_F(Reload, NoSwitchesOffOnceAndSetsTheFlag)
{
    TurnOnWiFiModule();  // refused: no domain; the radio stays off
    SetRegDword(ADAPTER_KEY, L"Domain", 0x10);
    TurnOnWiFiModule();
    ASSERT_EQ(WiFiRadioPower(), 1u);
    ASSERT_EQ(IfWiFiRegulatorySet(), 0);
    SimJournalClear();
    SimQueueAnswer(IDNO);
    Signal();
    ASSERT_TRUE(WaitForWorkerIdle(1));

    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), 0u);
    EXPECT_EQ(WiFiRadioPower(), 0u);
    EXPECT_EQ(IfWiFiRegulatorySet(), 1);
    EXPECT_EQ(WorkerEntries(L"ChangeRadioState|").size(), 1u);
    // Without a notification the state word stays 0: no step, only the settle.
    EXPECT_EQ(WorkerSleeps(), std::vector<DWORD>{800});
    EXPECT_EQ(WorkerEntries(L"SetCursor|"),
              (std::vector<std::wstring>{L"SetCursor|wait", L"SetCursor|none"}));
}

TEST_F(Reload, SwitchOffPassThatNeverSeesZeroStopsAfterThirtySteps)
{
    StartStack();
    TurnOnWiFiModule();
    SimSetSetting(L"StateStuck", 1);  // the state word never reaches 0
    SimJournalClear();
    SimQueueAnswer(IDNO);
    Signal();
    ASSERT_TRUE(WaitForWorkerIdle(1));
    std::vector<DWORD> expected(30, 500);
    expected.push_back(800);
    EXPECT_EQ(WorkerSleeps(), expected);
    EXPECT_EQ(WorkerEntries(L"PeekMessageW").size(), 0u);  // pumping is not journaled
}

TEST_F(Reload, SwitchOnPassWithTheBitStuckReadsTenTimes)
{
    SimSetSetting(L"StateStuck", 1);
    SimQueueAnswer(IDYES);
    Signal();
    ASSERT_TRUE(WaitForWorkerIdle(1));
    std::vector<DWORD> sleeps = WorkerSleeps();
    // Off pass: no step (no notification open), settle; the gap; ten 4500s; settle.
    std::vector<DWORD> expected = {800, 500};
    expected.insert(expected.end(), 10, 4500);
    expected.push_back(800);
    EXPECT_EQ(sleeps, expected);
    EXPECT_EQ(WorkerEntries(L"RegQueryValueExW|System\\State\\Hardware\\WiFi").size(), 10u);
}

TEST_F(Reload, SwitchOnPassWhoseFirstReadIsClearDoesNotSleep)
{
    // The card is out: no adapter to switch, and the state reads 0 at once.
    SimSetSetting(L"CardInserted", 0);
    SetRegDword(STATE_KEY, L"WiFi", 0);
    SimQueueAnswer(IDYES);
    Signal();
    ASSERT_TRUE(WaitForWorkerIdle(1));
    EXPECT_EQ(WorkerSleeps(), (std::vector<DWORD>{800, 500, 800}));
}

TEST_F(Reload, AnUnwritableParameterGivesASwitchOnPass)
{
    SimSetFault(L"RegSetValueExW", ADAPTER_KEY L"\\WIFI", ERROR_ACCESS_DENIED, FALSE);
    SimQueueAnswer(IDNO);
    Signal();
    ASSERT_TRUE(WaitForWorkerIdle(1));
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), std::nullopt);
    std::vector<std::wstring> radio = WorkerEntries(L"ChangeRadioState|");
    ASSERT_EQ(radio.size(), 1u);
    EXPECT_NE(radio[0].find(L"|1|1"), std::wstring::npos) << Narrow(radio[0]);
}

TEST_F(Reload, QuestionBeforeAnyInitIsEmptyAndAfterInitIsLocalized)
{
    Signal();
    ASSERT_TRUE(WaitForWorkerIdle(1));
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"");
    EXPECT_EQ(boxes[0].caption, L"");
    EXPECT_EQ(boxes[0].flags, 0x44u);

    StartStack();
    Signal();
    ASSERT_TRUE(WaitForWorkerIdle(2));
    boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    HMODULE strings = LoadLibraryExW(L"RDIOSTR0409.dll", NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(strings, nullptr);
    wchar_t text[50] = L"", caption[10] = L"";
    LoadStringW(strings, 15, text, 50);
    LoadStringW(strings, 16, caption, 10);
    FreeLibrary(strings);
    EXPECT_NE(std::wstring(text), L"");
    EXPECT_EQ(boxes[1].text, text);
    EXPECT_EQ(boxes[1].caption, caption);
}

// The question stays open until the test lets the user answer.
struct HeldQuestion {
    HANDLE shown = CreateEventW(NULL, TRUE, FALSE, NULL);
    HANDLE answer = CreateEventW(NULL, TRUE, FALSE, NULL);
    LONG asked = 0;
    ~HeldQuestion()
    {
        CloseHandle(shown);
        CloseHandle(answer);
    }
    static int WINAPI Hook(HWND, LPCWSTR, LPCWSTR, UINT, void* context)
    {
        auto* self = static_cast<HeldQuestion*>(context);
        InterlockedIncrement(&self->asked);
        SetEvent(self->shown);
        WaitForSingleObject(self->answer, 20000);
        return IDNO;
    }
};

TEST_F(Reload, SetsWhileTheQuestionIsOpenCollapseIntoOneMoreQuestion)
{
    HeldQuestion held;
    SimSetMessageBoxHook(HeldQuestion::Hook, &held);
    Signal();
    ASSERT_EQ(WaitForSingleObject(held.shown, 10000), WAIT_OBJECT_0);
    Signal();
    Signal();
    Signal();
    SetEvent(held.answer);
    ASSERT_TRUE(WaitForWorkerIdle(2));
    EXPECT_FALSE(SimJournalWaitFor(L"Wait|Olbrin_ReloadWiFi|0", 3, 300));
    EXPECT_EQ(held.asked, 2);
}

TEST_F(Reload, CloseWhileTheQuestionIsOpenStillCarriesOutTheAnswerThenEnds)
{
    StartStack();
    HeldQuestion held;
    SimSetMessageBoxHook(HeldQuestion::Hook, &held);
    Signal();
    ASSERT_EQ(WaitForSingleObject(held.shown, 10000), WAIT_OBJECT_0);
    EXPECT_NE(CloseWiFi(), 0);
    EXPECT_EQ(CloseWiFi(), 0);
    SetEvent(held.answer);
    ASSERT_TRUE(SimJournalWaitFor(L"SetCursor|none", 1, 10000));
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), 0u);  // the No was carried out
    // The worker ended: it does not wait again, and later sets go unserved here.
    EXPECT_FALSE(WaitForWorkerIdle(1, 500));
    Signal();
    EXPECT_FALSE(SimJournalWaitFor(L"Wait|Olbrin_ReloadWiFi|0", 2, 500));
    EXPECT_EQ(held.asked, 1);
}

// A held wait lets go of the event: the signal stays for whoever waits next,
// here the same worker once it is released.
TEST_F(Reload, AHeldWorkerLeavesTheSignalUntilReleased)
{
    SimHoldEventWaits(TRUE);
    ASSERT_TRUE(SimJournalWaitFor(L"Wait|Olbrin_ReloadWiFi|held", 1, 10000));
    Signal();
    EXPECT_FALSE(SimJournalWaitFor(L"Wait|Olbrin_ReloadWiFi|0", 1, 300));
    EXPECT_EQ(CountJournal(L"MessageBoxW|"), 0u);
    SimHoldEventWaits(FALSE);
    ASSERT_TRUE(WaitForWorkerIdle(2));  // woke at once, served, waits again
    EXPECT_EQ(CountJournal(L"Wait|Olbrin_ReloadWiFi|0"), 1u);
    EXPECT_EQ(CountJournal(L"MessageBoxW|"), 1u);
}

// Runs this program again as a second process on the same device, with the
// journal mirrored so that this test can read what that process did.
DWORD RunSelf(const std::wstring& filter)
{
    PROCESS_INFORMATION pi = StartSelf(filter);
    return WaitAndClose(pi);
}

// Second process: its library loads while the device refuses the reload event.
TEST(ReloadChild, DISABLED_WorkerWithoutAnEventEndsAndUsesNoTime)
{
    ASSERT_TRUE(SimJournalWaitFor(L"Debug|ReloadThreadProc", 1, 10000));
    FILETIME created, exited, kernel0, user0, kernel1, user1;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel0, &user0);
    ::Sleep(1000);
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel1, &user1);
    auto ticks = [](const FILETIME& f) {
        return (ULONGLONG(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10000;  // ms
    };
    EXPECT_LT(ticks(kernel1) + ticks(user1) - ticks(kernel0) - ticks(user0), 100u);
    EXPECT_EQ(CountJournal(L"Wait|?|4294967295"), 1u);  // one failed wait, no spinning
}

TEST_F(Reload, WithoutTheEventTheWorkerEndsInsteadOfSpinning)
{
    SimSetFault(L"CreateEventW", L"Olbrin_ReloadWiFi", ERROR_ACCESS_DENIED, FALSE);
    EXPECT_EQ(RunSelf(L"ReloadChild.DISABLED_WorkerWithoutAnEventEndsAndUsesNoTime"), 0u);
    std::string log = DeviceJournalLog();
    EXPECT_EQ(Occurrences(log, "CreateEventW|Olbrin_ReloadWiFi|failed"), 1u);
    EXPECT_EQ(Occurrences(log, "ReloadThreadProc: cannot wait on the reload event"), 1u);
}

// Second process: a worker that serves what reaches it until told to stop.
TEST(ReloadChild, DISABLED_ServeForTwoSeconds)
{
    ASSERT_TRUE(SimJournalWaitFor(L"Wait|Olbrin_ReloadWiFi|begin", 1, 10000));
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE,
                                (std::wstring(L"ReloadTestReady.") + SimDeviceName()).c_str());
    SetEvent(ready);
    ::Sleep(2000);
    CloseHandle(ready);
}

// The second process, run from a thread of this one; its exit code is the thread's.
DWORD WINAPI RunServingChild(LPVOID)
{
    return RunSelf(L"ReloadChild.DISABLED_ServeForTwoSeconds");
}

TEST_F(Reload, TwoProcessesShareOneEventAndOneSetWakesOneWorker)
{
    HANDLE ready = CreateEventW(NULL, TRUE, FALSE,
                                (std::wstring(L"ReloadTestReady.") + SimDeviceName()).c_str());
    HANDLE child = CreateThread(NULL, 0, RunServingChild, NULL, 0, NULL);
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    Signal();
    ASSERT_EQ(WaitForSingleObject(child, 60000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(child, &code);
    EXPECT_EQ(code, 0u);
    size_t questions =
        CountJournal(L"MessageBoxW|") + Occurrences(DeviceJournalLog(), "MessageBoxW|");
    EXPECT_EQ(questions, 1u);
    CloseHandle(child);
    CloseHandle(ready);
}

}  // namespace
