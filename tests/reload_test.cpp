// The reload worker: each signal of the reload event asks the user, then
// re-applies the Wi-Fi configuration by switch-off and switch-on passes.
#include "testing.h"

#include <string>

namespace {

const std::wstring kBegin = handheld::WaitBeginEntry(RELOAD_EVENT_NAME);
const std::wstring kWoken = handheld::WaitWokenEntry(RELOAD_EVENT_NAME);
const std::wstring kHeld = std::wstring(SIM_J_WAIT) + L"|" RELOAD_EVENT_NAME L"|" SIM_J_WAIT_HELD;

class Reload : public DeviceTest {
protected:
    // Sets the shared event as any other process would; reported at the test's line.
    void Signal(Caller at = Caller()) { SignalReloadEvent(at); }
    // The user will answer the question with `answer`; the event is set and
    // the worker has served it, its first wake, when this returns true.
    bool Answered(int answer, Caller at = Caller())
    {
        SimQueueAnswer(answer);
        Signal(at);
        return WaitForWorkerIdle(1);
    }
};

std::vector<std::wstring> WorkerEntries(const std::wstring& prefix)
{
    std::vector<std::wstring> texts;
    for (const handheld::JournalEntry& e : WorkerJournal(prefix)) {
        texts.push_back(e.text);
    }
    return texts;
}

std::vector<DWORD> WorkerSleeps()
{
    return SleepsOf(WorkerJournal());
}

// A domain is stored and the stack started, so state changes are followed.
void StartStack()
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    InitWiFi();
}

TEST_F(Reload, YesSwitchesOffThenOnAndLeavesTheFlagAlone)
{
    StartStack();
    TurnOnWiFiModule();
    ASSERT_EQ(RadioPower(), 1u);
    ASSERT_EQ(IfWiFiRegulatorySet(), 0);
    SimJournalClear();
    ASSERT_TRUE(Answered(IDYES));

    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 1u);
    EXPECT_EQ(RadioPower(), 1u);
    EXPECT_EQ(IfWiFiRegulatorySet(), 0);  // a No would have set it; Yes leaves it
    std::vector<std::wstring> radio = WorkerEntries(L"ChangeRadioState|");
    ASSERT_EQ(radio.size(), 2u);
    EXPECT_NE(radio[0].find(L"|0|2"), std::wstring::npos) << Narrow(radio[0]);
    EXPECT_NE(radio[1].find(L"|1|1"), std::wstring::npos) << Narrow(radio[1]);
    std::vector<DWORD> sleeps = WorkerSleeps();
    // Off pass (steps of 500 until the state drops, 800 settle), 500, on pass (one
    // 4500 wait while the radio settles, 800 settle).
    ASSERT_GE(sleeps.size(), 5u);
    EXPECT_EQ(std::vector<DWORD>(sleeps.end() - 4, sleeps.end()),
              (std::vector<DWORD>{800, 500, 4500, 800}));
}

TEST_F(Reload, NoSwitchesOffOnceAndSetsTheFlag)
{
    TurnOnWiFiModule();  // refused: no domain; the radio stays off
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    TurnOnWiFiModule();
    ASSERT_EQ(RadioPower(), 1u);
    ASSERT_EQ(IfWiFiRegulatorySet(), 0);
    SimJournalClear();
    ASSERT_TRUE(Answered(IDNO));

    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 0u);
    EXPECT_EQ(RadioPower(), 0u);
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
    SimSetSetting(SIM_SETTING_STATE_STUCK, 1);  // the state word never reaches 0
    SimJournalClear();
    ASSERT_TRUE(Answered(IDNO));
    std::vector<DWORD> expected(30, 500);
    expected.push_back(800);
    EXPECT_EQ(WorkerSleeps(), expected);
    EXPECT_EQ(WorkerEntries(L"PeekMessageW").size(), 0u);  // pumping is not journaled
}

TEST_F(Reload, SwitchOnPassWithTheBitStuckReadsTenTimes)
{
    SimSetSetting(SIM_SETTING_STATE_STUCK, 1);
    ASSERT_TRUE(Answered(IDYES));
    std::vector<DWORD> sleeps = WorkerSleeps();
    // Off pass: no step (no notification open), settle; the gap; ten 4500s; settle.
    std::vector<DWORD> expected = {800, 500};
    expected.insert(expected.end(), 10, 4500);
    expected.push_back(800);
    EXPECT_EQ(sleeps, expected);
    EXPECT_EQ(WorkerEntries(L"RegQueryValueExW|" REG_STATE_KEY L"\\" REG_STATE_VALUE).size(), 10u);
}

TEST_F(Reload, SwitchOnPassWhoseFirstReadIsClearDoesNotSleep)
{
    // The card is out: no adapter to switch, and the state reads 0 at once.
    SimSetSetting(SIM_SETTING_CARD_INSERTED, 0);
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0);
    ASSERT_TRUE(Answered(IDYES));
    EXPECT_EQ(WorkerSleeps(), (std::vector<DWORD>{800, 500, 800}));
}

TEST_F(Reload, AnUnwritableParameterGivesASwitchOnPass)
{
    SimSetFault(L"RegSetValueExW", REG_ADAPTER_KEY L"\\" REG_WIFI_VALUE, ERROR_ACCESS_DENIED,
                FALSE);
    ASSERT_TRUE(Answered(IDNO));
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), std::nullopt);
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
    // Holding the waits ends the worker's wait where it stands: it lets go
    // of a clear event, and wakes if a set was left over.
    SimHoldEventWaits(TRUE);
    ASSERT_TRUE(WaitUntil([] { return CountJournal(kHeld) + CountJournal(kWoken) > 2; }));
    EXPECT_EQ(CountJournal(kHeld), 1u);
    EXPECT_EQ(CountJournal(kWoken), 2u);
    EXPECT_EQ(held.asked, 2);
    SimHoldEventWaits(FALSE);
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
    DWORD worker = ReloadWorkerThread();
    ASSERT_NE(worker, 0u);
    ASSERT_TRUE(WaitForThreadEnd(worker));
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 0u);  // the No was carried out
    EXPECT_EQ(CountJournal(L"SetCursor|none"), 1u);
    // The worker ended without waiting again; a later set finds no one here.
    EXPECT_EQ(CountJournal(kBegin), 0u);
    Signal();
    EXPECT_EQ(ReloadWaits().dwWaiting, 0u);
    EXPECT_EQ(CountJournal(kWoken), 1u);
    EXPECT_EQ(held.asked, 1);
}

// A held wait lets go of the event: the signal stays for whoever waits next,
// here the same worker once it is released.
TEST_F(Reload, AHeldWorkerLeavesTheSignalUntilReleased)
{
    SimHoldEventWaits(TRUE);
    ASSERT_TRUE(SimJournalWaitFor(kHeld.c_str(), 1, 10000));
    Signal();
    // Held, the worker waits on nothing, so nothing can take the set.
    EXPECT_EQ(ReloadWaits().dwWaiting, 0u);
    EXPECT_EQ(CountJournal(kWoken), 0u);
    EXPECT_EQ(CountJournal(L"MessageBoxW|"), 0u);
    SimHoldEventWaits(FALSE);
    ASSERT_TRUE(WaitForWorkerIdle(2));  // woke at once, served, waits again
    EXPECT_EQ(CountJournal(kWoken), 1u);
    EXPECT_EQ(CountJournal(L"MessageBoxW|"), 1u);
}

// Second process: its library loads while the device refuses the reload event.
TEST(ReloadChild, DISABLED_WorkerWithoutAnEventEnds)
{
    ASSERT_TRUE(SimJournalWaitFor(L"Debug|ReloadThreadProc", 1, 10000));
    DWORD worker = 0;
    for (const handheld::JournalEntry& e : Journal()) {
        worker = e.StartsWith(L"Debug|ReloadThreadProc") ? e.thread : worker;
    }
    // The worker said so on its own thread; that thread ends rather than spin.
    ASSERT_NE(worker, 0u);
    EXPECT_TRUE(WaitForThreadEnd(worker, 10000));
    EXPECT_EQ(CountJournal(std::wstring(SIM_J_WAIT) + L"|?|" + std::to_wstring(WAIT_FAILED)), 1u);
}

TEST_F(Reload, WithoutTheEventTheWorkerEndsInsteadOfSpinning)
{
    SimSetFault(L"CreateEventW", RELOAD_EVENT_NAME, ERROR_ACCESS_DENIED, FALSE);
    PROCESS_INFORMATION child = StartSelf(L"ReloadChild.DISABLED_WorkerWithoutAnEventEnds");
    EXPECT_EQ(WaitAndClose(child), 0u);
    EXPECT_EQ(
        CountDeviceJournal(std::wstring(SIM_J_CREATE_EVENT) + L"|" RELOAD_EVENT_NAME L"|failed"),
        1u);
    EXPECT_EQ(CountDeviceJournal(L"Debug|ReloadThreadProc: cannot wait on the reload event"), 1u);
}

// Second process: a worker that serves what reaches it until told to stop,
// and lets it finish what it took.
TEST(ReloadChild, DISABLED_ServeUntilStopped)
{
    ASSERT_TRUE(WaitForWorkerIdle(1, 10000));
    HANDLE ready = DeviceEvent(L"ReloadTestReady");
    HANDLE stop = DeviceEvent(L"ReloadTestStop");
    SetEvent(ready);
    EXPECT_EQ(WaitForSingleObject(stop, 60000), WAIT_OBJECT_0);
    if (CountJournal(kWoken) > 0) {
        EXPECT_TRUE(WaitForWorkerIdle(2));
    }
    CloseHandle(ready);
    CloseHandle(stop);
}

TEST_F(Reload, TwoProcessesShareOneEventAndOneSetWakesOneWorker)
{
    HANDLE ready = DeviceEvent(L"ReloadTestReady");
    HANDLE stop = DeviceEvent(L"ReloadTestStop");
    PROCESS_INFORMATION child = StartSelf(L"ReloadChild.DISABLED_ServeUntilStopped");
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    Signal();
    // The set goes to the first worker that wakes; once one has woken, no
    // other can take it.
    auto wakes = [] { return CountJournal(kWoken) + CountDeviceJournal(kWoken); };
    EXPECT_TRUE(WaitUntil([&] { return wakes() > 0; }));
    SetEvent(stop);
    EXPECT_EQ(WaitAndClose(child), 0u);
    if (CountJournal(kWoken) > 0) {
        EXPECT_TRUE(WaitForWorkerIdle(1));
    }
    EXPECT_EQ(wakes(), 1u);
    EXPECT_EQ(CountJournal(L"MessageBoxW|") + CountDeviceJournal(L"MessageBoxW|"), 1u);
    CloseHandle(ready);
    CloseHandle(stop);
}

}  // namespace
