// Hard reset: the three kernel requests HardReset sends, and how the
// simulated kernel answers them. Under the virtual clock the reboot is
// recorded and returns, so the device can be looked at afterwards.
#include "testing.h"

#include <handheld_radio.h>
#define WINCE_HOST_CRT
#include <wince.h>

namespace {

#define COLD_RESET SIM_J_KERNEL L"|0x8003200C|"
#define INIT_RTC SIM_J_KERNEL L"|0x01010038|"
#define REBOOT SIM_J_KERNEL L"|0x0101003C|"

// The codes as unsigned words (the cold reset's sets the top bit).
const DWORD kColdReset = (DWORD)IOCTL_OEM_COLDRESET;

// The kernel's record outlives a factory reset, so each test counts from its start.
class HardResetTest : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        for (const wchar_t* name : kCounters) {
            before_.push_back(SimKernelCounter(name));
        }
    }
    DWORD Count(const wchar_t* name)
    {
        for (size_t i = 0; i < before_.size(); i++) {
            if (wcscmp(kCounters[i], name) == 0) {
                return SimKernelCounter(name) - before_[i];
            }
        }
        ADD_FAILURE() << "no counter " << Narrow(name);
        return 0;
    }
    static constexpr const wchar_t* kCounters[] = {L"ColdResets", L"ColdResetsRefused",
                                                   L"ClockSets",  L"ClockRefused",
                                                   L"Reboots",    L"Restarts"};
    std::vector<DWORD> before_;
};

ULONGLONG Ticks(const SYSTEMTIME& st)
{
    FILETIME ft = {};
    SystemTimeToFileTime(&st, &ft);
    return ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

// The journal entry of a clock request that carried this time, in
// SYSTEMTIME order, and how the kernel answered it.
std::wstring ClockEntry(const SYSTEMTIME& st, const wchar_t* answer)
{
    wchar_t fields[96];
    swprintf(fields, 96, L"%u,%u,%u,%u,%u,%u,%u,%u", st.wYear, st.wMonth, st.wDayOfWeek, st.wDay,
             st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return std::wstring(INIT_RTC) + std::to_wstring(sizeof(SYSTEMTIME)) + L"|" + fields + L"|" +
           answer;
}

TEST_F(HardResetTest, SendsColdResetClockAndRebootInOrderOnce)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    HardReset();

    SYSTEMTIME sent;
    ASSERT_TRUE(SimKernelLastClock(&sent));
    EXPECT_EQ(JournalMatching(SIM_J_KERNEL L"|"),
              (std::vector<std::wstring>{COLD_RESET L"4|1|accepted", ClockEntry(sent, L"accepted"),
                                         REBOOT L"0|-|accepted"}));
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_EQ(CountJournal(L"Device|reboot|cold|recorded"), 1u);

    EXPECT_EQ(Count(L"ColdResets"), 1u);
    EXPECT_EQ(Count(L"ClockSets"), 1u);
    EXPECT_EQ(Count(L"Reboots"), 1u);
    EXPECT_EQ(Count(L"Restarts"), 0u);
    // Recorded only: the device keeps what it held.
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x10u);
}

TEST_F(HardResetTest, ClockCarriesTheDevicesCurrentTime)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    HardReset();
    SYSTEMTIME sent;
    ASSERT_TRUE(SimKernelLastClock(&sent));
    // The journal shows the same fields the kernel kept.
    EXPECT_EQ(JournalMatching(INIT_RTC), std::vector<std::wstring>{ClockEntry(sent, L"accepted")});
    // The device's clock started with this process: within a minute of the host's.
    LONGLONG diff = (LONGLONG)(Ticks(sent) - Ticks(before));
    EXPECT_LT(diff < 0 ? -diff : diff, 60LL * 10000000LL);
}

TEST_F(HardResetTest, RefusedColdResetStopsAfterItsMessage)
{
    SimSetSetting(SIM_SETTING_REFUSE_COLD_RESET, 1);
    HardReset();

    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              L"HardReset() : Calling KernelIoControl() with IOCTL_OEM_COLDRESET fails!");
    EXPECT_EQ(boxes[0].caption, L"Error !");
    EXPECT_EQ(boxes[0].flags, 0x10010u);
    EXPECT_EQ(JournalMatching(SIM_J_KERNEL L"|"),
              std::vector<std::wstring>{COLD_RESET L"4|1|refused:5"});
    EXPECT_EQ(Count(L"ColdResetsRefused"), 1u);
    EXPECT_EQ(Count(L"ColdResets"), 0u);
    EXPECT_EQ(Count(L"Reboots"), 0u);
    EXPECT_EQ(CountJournal(L"Device|reboot"), 0u);
}

TEST_F(HardResetTest, RefusedClockIsStillFollowedByTheReboot)
{
    SimSetSetting(SIM_SETTING_REFUSE_CLOCK, 1);
    HardReset();
    std::vector<std::wstring> requests = JournalMatching(SIM_J_KERNEL L"|");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0], COLD_RESET L"4|1|accepted");
    EXPECT_EQ(requests[1].compare(0, wcslen(INIT_RTC), INIT_RTC), 0);
    EXPECT_NE(requests[1].find(L"|refused:5"), std::wstring::npos) << Narrow(requests[1]);
    EXPECT_EQ(requests[2], REBOOT L"0|-|accepted");
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_EQ(Count(L"ClockRefused"), 1u);
    EXPECT_EQ(Count(L"ClockSets"), 0u);
    EXPECT_EQ(Count(L"Reboots"), 1u);
}

TEST_F(HardResetTest, EachCallSendsEachRequestOnce)
{
    HardReset();
    HardReset();
    std::vector<std::wstring> requests = JournalMatching(SIM_J_KERNEL L"|");
    ASSERT_EQ(requests.size(), 6u);
    const wchar_t* order[] = {COLD_RESET, INIT_RTC, REBOOT};
    for (size_t i = 0; i < requests.size(); i++) {
        EXPECT_EQ(requests[i].compare(0, wcslen(order[i % 3]), order[i % 3]), 0) << i;
    }
    EXPECT_EQ(Count(L"Reboots"), 2u);
}

// The simulated kernel checks what it is given.
TEST_F(HardResetTest, KernelRefusesMalformedRequests)
{
    DWORD one = 1, two = 2;
    SYSTEMTIME st = {2024, 5, 3, 1, 12, 30, 0, 0};
    SYSTEMTIME garbage;
    memset(&garbage, 0xCD, sizeof(garbage));
    const struct {
        DWORD code;
        void* in;
        DWORD size;
        void* out;
        DWORD outSize;
        DWORD error;
    } cases[] = {
        {kColdReset, &one, 2, NULL, 0, ERROR_INVALID_PARAMETER},
        {kColdReset, NULL, 4, NULL, 0, ERROR_INVALID_PARAMETER},
        {kColdReset, &two, 4, NULL, 0, ERROR_INVALID_PARAMETER},
        {kColdReset, &one, 4, &two, 4, ERROR_INVALID_PARAMETER},
        {IOCTL_HAL_INIT_RTC, &st, 12, NULL, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_HAL_INIT_RTC, &garbage, 16, NULL, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_HAL_REBOOT, &one, 4, NULL, 0, ERROR_INVALID_PARAMETER},
        {0x01010040, NULL, 0, NULL, 0, ERROR_NOT_SUPPORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << " size " << c.size);
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(KernelIoControl(c.code, c.in, c.size, c.out, c.outSize, NULL));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(Count(L"ColdResets"), 0u);
    EXPECT_EQ(Count(L"ClockSets"), 0u);
    EXPECT_EQ(Count(L"Reboots"), 0u);

    // A well-formed clock request is taken and kept as sent.
    DWORD returned = 0xDEADBEEF;
    SYSTEMTIME good = {2024, 5, 3, 1, 12, 30, 0, 0};
    EXPECT_TRUE(KernelIoControl(IOCTL_HAL_INIT_RTC, &good, sizeof(good), NULL, 0, &returned));
    EXPECT_EQ(returned, 0u);
    SYSTEMTIME kept;
    ASSERT_TRUE(SimKernelLastClock(&kept));
    EXPECT_EQ(memcmp(&kept, &good, sizeof(good)), 0);
    EXPECT_EQ(CountJournal(INIT_RTC L"16|2024,5,3,1,12,30,0,0|accepted"), 1u);
}

TEST_F(HardResetTest, RebootWithoutColdResetIsWarm)
{
    EXPECT_TRUE(KernelIoControl(IOCTL_HAL_REBOOT, NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(CountJournal(L"Device|reboot|warm|recorded"), 1u);
    EXPECT_EQ(Count(L"Reboots"), 1u);
}

}  // namespace
