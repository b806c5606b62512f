// The platform layer's device behaviour, as the library relies on it.
#include "testing.h"

#include <shlwapi.h>

#include <fstream>

namespace {

class Platform : public DeviceTest {};

TEST_F(Platform, FactoryImage)
{
    EXPECT_EQ(RegDword(REG_OEM_KEY, REG_WIFI_VALUE), 1u);
    EXPECT_EQ(RegDword(REG_LOCALE_KEY, REG_LCID_VALUE), 0x0409u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), (DWORD)SIM_STATE_ADAPTER);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), std::nullopt);
    EXPECT_EQ(SimGetSetting(SIM_SETTING_CARD_INSERTED, 0), 1u);
}

TEST_F(Platform, RegistryFollowsTheDevicesRules)
{
    auto open = CoreFunction<decltype(&RegOpenKeyExW)>("RegOpenKeyExW");
    auto query = CoreFunction<decltype(&RegQueryValueExW)>("RegQueryValueExW");
    auto create = CoreFunction<decltype(&RegCreateKeyExW)>("RegCreateKeyExW");
    auto set = CoreFunction<decltype(&RegSetValueExW)>("RegSetValueExW");
    auto flush = CoreFunction<decltype(&RegFlushKey)>("RegFlushKey");
    auto close = CoreFunction<decltype(&RegCloseKey)>("RegCloseKey");

    // A key opened with access 0 can be read; the three spellings are one value.
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0x123);
    HKEY hKey;
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, L"system\\STATE\\hardware", 0, 0, &hKey), ERROR_SUCCESS);
    for (const wchar_t* name : {L"WIFI", REG_STATE_VALUE, L"Wifi"}) {
        DWORD value = 0xCCCC, cb = sizeof(value);
        EXPECT_EQ(query(hKey, name, NULL, NULL, (LPBYTE)&value, &cb), ERROR_SUCCESS) << name;
        EXPECT_EQ(value, 0x123u) << name;
    }
    close(hKey);

    // Writes land in this device only, and a flushed key is committed.
    ASSERT_EQ(
        create(HKEY_LOCAL_MACHINE, L"Comm\\Test", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey, NULL),
        ERROR_SUCCESS);
    DWORD seven = 7;
    EXPECT_EQ(set(hKey, L"Seven", 0, REG_DWORD, (const BYTE*)&seven, 4), ERROR_SUCCESS);
    EXPECT_EQ(flush(hKey), ERROR_SUCCESS);
    close(hKey);
    EXPECT_EQ(RegDword(L"Comm\\Test", L"Seven"), 7u);
    HKEY hHost;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Comm\\Test", 0, KEY_READ, &hHost), ERROR_SUCCESS);

    // A reset restores the factory image.
    SimResetDevice();
    EXPECT_FALSE(SimRegKeyExists(L"Comm\\Test"));
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), (DWORD)SIM_STATE_ADAPTER);
}

// Another process restoring the factory image deletes and remakes the
// device's keys; this process's registry calls must find the new ones.
TEST_F(Platform, RegistryFollowsAResetMadeByAnotherProcess)
{
    auto open = CoreFunction<decltype(&RegOpenKeyExW)>("RegOpenKeyExW");
    std::wstring hklm = HostKey() + L"\\HKLM";
    ASSERT_EQ(SHDeleteKeyW(HKEY_CURRENT_USER, hklm.c_str()), ERROR_SUCCESS);
    HKEY hKey;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (hklm + L"\\Nls").c_str(), 0, NULL, 0,
                              KEY_ALL_ACCESS, NULL, &hKey, NULL),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, L"Nls", 0, KEY_READ, &hKey), ERROR_SUCCESS);
    RegCloseKey(hKey);
}

TEST_F(Platform, FaultsFailTheNamedOperationOnceOrUntilCleared)
{
    auto open = CoreFunction<decltype(&RegOpenKeyExW)>("RegOpenKeyExW");
    HKEY hKey;
    ASSERT_TRUE(SimSetFault(L"RegOpenKeyExW", L"Nls", ERROR_ACCESS_DENIED, TRUE));
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, L"NLS", 0, KEY_READ, &hKey), ERROR_ACCESS_DENIED);
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, L"Nls", 0, KEY_READ, &hKey), ERROR_SUCCESS);
    RegCloseKey(hKey);

    ASSERT_TRUE(SimSetFault(L"RegOpenKeyExW", L"*", ERROR_FILE_NOT_FOUND, FALSE));
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, L"Nls", 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open(HKEY_LOCAL_MACHINE, L"Comm", 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
    SimClearFaults();
    ASSERT_EQ(open(HKEY_LOCAL_MACHINE, L"Comm", 0, KEY_READ, &hKey), ERROR_SUCCESS);
    RegCloseKey(hKey);
}

TEST_F(Platform, DevicePathsLiveInTheFileStoreAndNeverLeaveIt)
{
    using OpenFn = FILE* (*)(const wchar_t*, const wchar_t*);
    auto wfopen = CoreFunction<OpenFn>("_wfopen");
    auto wprint = CoreFunction<int (*)(FILE*, const wchar_t*, ...)>("fwprintf");
    auto wscan = CoreFunction<int (*)(FILE*, const wchar_t*, ...)>("fwscanf");
    auto fclose_ = CoreFunction<int (*)(FILE*)>("fclose");

    FILE* f = wfopen(L"\\Application Data\\note.txt", L"wt");
    ASSERT_NE(f, nullptr);
    wprint(f, L"%d", 42);
    fclose_(f);
    EXPECT_EQ(ReadDeviceFile(L"\\Application Data\\note.txt"), "42");
    f = wfopen(L"\\Application Data\\note.txt", L"rt");
    ASSERT_NE(f, nullptr);
    int value = 0;
    EXPECT_EQ(wscan(f, L"%d", &value), 1);
    EXPECT_EQ(value, 42);
    fclose_(f);

    EXPECT_EQ(wfopen(L"\\Application Data\\..\\..\\escape.txt", L"wt"), nullptr);
    EXPECT_EQ(wfopen(L"\\No Such Folder\\x.txt", L"wt"), nullptr);
}

// A timer that notes the device time at which it ran.
std::vector<ULONGLONG> g_fired;
void WINAPI NoteFiring(void*)
{
    g_fired.push_back(SimNow());
}

TEST_F(Platform, VirtualSleepAdvancesDeviceTimeAtOnceAndRunsDueTimers)
{
    auto sleep = CoreFunction<decltype(&Sleep)>("Sleep");
    g_fired.clear();
    ULONGLONG start = SimNow();
    SimScheduleAt(start + 2500, NoteFiring, nullptr);
    SimScheduleAt(start + 1000, NoteFiring, nullptr);
    DWORD host = GetTickCount();
    sleep(4000);
    EXPECT_LT(GetTickCount() - host, 1000u);
    EXPECT_EQ(SimNow() - start, 4000u);
    EXPECT_EQ(g_fired, (std::vector<ULONGLONG>{start + 1000, start + 2500}));
}

TEST_F(Platform, NamedEventsBelongToTheDevice)
{
    // This program does not import the library: load it, as a client would.
    ASSERT_NE(LoadLibraryW(L"Rendak.dll"), nullptr);
    ASSERT_TRUE(WaitForWorkerIdle(1, 10000));
    SimJournalClear();
    auto create = CoreFunction<decltype(&CreateEventW)>("CreateEventW");
    auto modify = CoreFunction<BOOL(WINAPI*)(HANDLE, DWORD)>("EventModify");
    HANDLE mine = create(NULL, FALSE, FALSE, RELOAD_EVENT_NAME);  // the library's event
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    // The desktop's namespace does not hold it under its plain name.
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, RELOAD_EVENT_NAME), nullptr);
    EXPECT_TRUE(modify(mine, 3));
    ASSERT_TRUE(WaitForWorkerIdle(1));
    CloseHandle(mine);
}

TEST_F(Platform, ScriptedUserRecordsEachBoxAndAnswersFromTheQueueThenByDefault)
{
    auto box = CoreFunction<decltype(&MessageBoxW)>("MessageBoxW");
    SimQueueAnswer(IDYES);
    EXPECT_EQ(box(NULL, L"first", L"Q", MB_YESNO), IDYES);
    EXPECT_EQ(box(NULL, L"second", L"Q", MB_YESNO), IDNO);
    EXPECT_EQ(box(NULL, L"third", L"Msg", MB_OK), IDOK);
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2].text, L"third");
    EXPECT_EQ(boxes[2].caption, L"Msg");
    EXPECT_EQ(boxes[0].flags, (unsigned)MB_YESNO);
}

TEST_F(Platform, DebugOutputReachesTheJournalAndTheDevicesLog)
{
    auto print = CoreFunction<void(WINAPIV*)(LPCWSTR, ...)>("NKDbgPrintfW");
    print(L"value=%d text=%s\n", 17, L"wide");
    EXPECT_EQ(CountJournal(L"Debug|value=17 text=wide\n"), 1u);
    std::wstring folder(SimDeviceFolder(NULL, 0), L'\0');
    SimDeviceFolder(folder.data(), (DWORD)folder.size() + 1);
    std::ifstream log((folder + L"\\debug.log").c_str());
    std::string content((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find("value=17 text=wide"), std::string::npos);
}

// A program of the handheld that crashes says which, how and where, and
// ends with the exception's code, as it would have without a word.
TEST_F(Platform, AProgramThatCrashesSaysHowAndEndsWithItsCode)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    RunningProgram child(self, L"--gtest_filter=PlatformChild.Crashes");
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.Wait(30000));
    EXPECT_EQ(child.exitCode(), (DWORD)EXCEPTION_ACCESS_VIOLATION);
    EXPECT_NE(child.err().find("handheld: platform_tests.exe crashed: exception 0xC0000005 (an "
                               "access violation) at "),
              std::string::npos)
        << child.err();
    EXPECT_NE(child.err().find("(platform_tests.exe+0x"), std::string::npos) << child.err();
}

TEST(PlatformChild, Crashes)
{
    *static_cast<volatile int*>(nullptr) = 1;
}

// Ends in the middle of its test with exit code 0, as a process ended from
// outside or cut short in its start would: the runner must not count it
// passed.
TEST(PlatformChild, EndsWithZeroBeforeItsEnd)
{
    fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 0);
}

}  // namespace
