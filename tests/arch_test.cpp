// What the build's architecture decides, read from the built binaries and the
// headers as this build compiles them: which DLL each platform call binds to,
// the names our DLLs export and Quenta imports, and the layout of the records
// that cross between the library and the platform. The 32-bit build has the
// device's layout; the 64-bit build shows where a 64-bit one differs.
//
// The binaries' checks read files only, so each runs on this build's binaries
// and on the other architecture's build too: a machine that cannot run the
// other build's programs still checks its PE files here.
#include "pe_image.h"
#include "testing.h"

#include <wince.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>

namespace {

const bool k32Bit = sizeof(void*) == 4;

// A build whose binaries are read: this one, or the other architecture's.
struct Build {
    const char* arch;  // i686 or x86_64
    std::wstring bin;
    bool is32Bit;
    bool own;  // this test program's build: its binaries can also be loaded
};

const Build kBuilds[] = {
    {k32Bit ? "i686" : "x86_64", Widen(BUILD_BIN_DIR), k32Bit, true},
    {k32Bit ? "x86_64" : "i686", Widen(OTHER_BUILD_BIN_DIR), !k32Bit, false},
};

// The binaries' checks, one instance per build ("Build/Binding.X/i686").
class Binaries : public ::testing::TestWithParam<Build> {
protected:
    void SetUp() override
    {
        const Build& b = GetParam();
        if (!b.own &&
            GetFileAttributesW((b.bin + L"/coredll.dll").c_str()) == INVALID_FILE_ATTRIBUTES) {
            GTEST_SKIP() << "the " << b.arch << " build is not built (" << Narrow(b.bin)
                         << "): tools/setup builds both";
        }
    }

    std::wstring Bin(const std::wstring& name) const { return GetParam().bin + L"/" + name; }

    PeImage Read(const std::wstring& name) const
    {
        PeImage pe = ReadPeImage(Bin(name));
        EXPECT_TRUE(pe.valid) << Narrow(Bin(name)) << " could not be read";
        return pe;
    }
};
class Images : public Binaries {};
class Binding : public Binaries {};
class Exports : public Binaries {};

std::string BuildName(const ::testing::TestParamInfo<Build>& info)
{
    return info.param.arch;
}

// A build as test names and messages show it.
void PrintTo(const Build& build, std::ostream* os)
{
    *os << build.arch << " build";
}

const char* const kPlatformLibraries[] = {"coredll.dll", "ossvcs.dll", "aygshell.dll"};

bool IsPlatformLibrary(const std::string& module)
{
    for (const char* m : kPlatformLibraries) {
        if (module == m) {
            return true;
        }
    }
    return false;
}

// --- The binaries ------------------------------------------------------------------

TEST_P(Images, EveryBinaryIsOfItsBuildsArchitecture)
{
    WIN32_FIND_DATAW found;
    HANDLE hFind = FindFirstFileW(Bin(L"*").c_str(), &found);
    ASSERT_NE(hFind, INVALID_HANDLE_VALUE);
    size_t checked = 0;
    do {
        std::wstring name = found.cFileName;
        size_t dot = name.rfind(L'.');
        std::wstring ext = dot == std::wstring::npos ? L"" : name.substr(dot);
        if (ext != L".dll" && ext != L".exe") {
            continue;
        }
        PeImage pe = Read(name);
        bool is32Bit = GetParam().is32Bit;
        EXPECT_EQ(pe.machine, is32Bit ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64)
            << Narrow(name);
        EXPECT_EQ(pe.pe32plus, !is32Bit) << Narrow(name);
        checked++;
    } while (FindNextFileW(hFind, &found));
    FindClose(hFind);
    EXPECT_GE(checked, 10u);  // the deliverables, the platform, the tools, the tests
}

// --- Binding --------------------------------------------------------------------------

TEST_P(Binding, LibraryBindsItsPlatformCallsToThePlatformLibraries)
{
    PeImage pe = Read(L"Rendak.dll");
    for (const char* name : {"RegOpenKeyExW",
                             "RegCreateKeyExW",
                             "RegQueryValueExW",
                             "RegSetValueExW",
                             "RegFlushKey",
                             "RegCloseKey",
                             "CreateEventW",
                             "EventModify",
                             "WaitForSingleObject",
                             "CreateThread",
                             "Sleep",
                             "PeekMessageW",
                             "TranslateMessage",
                             "DispatchMessageW",
                             "CreateFileW",
                             "GetDeviceInformationByFileHandle",
                             "DeactivateDevice",
                             "ActivateDeviceEx",
                             "CloseHandle",
                             "KernelIoControl",
                             "NKDbgPrintfW",
                             "OutputDebugStringW",
                             "_wfopen",
                             "fwprintf",
                             "fwscanf",
                             "fclose",
                             "LoadLibraryW",
                             "LoadStringW",
                             "FreeLibrary",
                             "MessageBoxW",
                             "GetForegroundWindow",
                             "LoadCursorW",
                             "SetCursor",
                             "wsprintfW"}) {
        EXPECT_EQ(pe.imports["coredll.dll"].count(name), 1u) << name;
    }
    for (const char* name : {"GetWirelessDevices", "ChangeRadioState", "FreeDeviceList",
                             "RegistryNotifyCallback", "RegistryCloseNotification"}) {
        EXPECT_EQ(pe.imports["ossvcs.dll"].count(name), 1u) << name;
    }
}

// The desktop functions that the C runtime's own start-up and locking code
// imports by itself, whatever our code binds to. The platform forwards each to
// the very same function, so binding them elsewhere changes nothing.
const char* const kCRuntimeOwn[] = {"DeleteCriticalSection",
                                    "EnterCriticalSection",
                                    "InitializeCriticalSection",
                                    "LeaveCriticalSection",
                                    "GetCurrentThreadId",
                                    "GetLastError",
                                    "SetLastError",
                                    "memcpy",
                                    "memset"};

// Every binary that binds to the platform ahead of the desktop (the two
// deliverables and the benchmark, which replays their platform calls) reaches
// the layer with each platform call it makes: no name that the platform
// libraries export is bound to another DLL, but for the C runtime's own.
TEST_P(Binding, NoPlatformCallIsBoundElsewhere)
{
    std::map<std::string, std::string> platform;  // export -> its forwarder, or ""
    for (const char* library : kPlatformLibraries) {
        PeImage pe = Read(Widen(library));
        for (const PeExport& e : pe.exports) {
            platform[e.name] = e.forwarder;
        }
    }
    ASSERT_GT(platform.size(), 100u);
    for (const wchar_t* binary : {L"Rendak.dll", L"Quenta.exe", L"rendak-bench.exe"}) {
        PeImage pe = Read(binary);
        size_t bound = 0;
        for (const auto& [module, names] : pe.imports) {
            for (const std::string& name : names) {
                if (IsPlatformLibrary(module)) {
                    bound++;
                    continue;
                }
                auto it = platform.find(name);
                if (it == platform.end()) {
                    continue;  // not a platform call
                }
                std::string dll = module.substr(0, module.rfind('.'));
                bool sameFunction = _stricmp(it->second.c_str(), (dll + "." + name).c_str()) == 0;
                bool runtimeOwn = std::find(std::begin(kCRuntimeOwn), std::end(kCRuntimeOwn),
                                            name) != std::end(kCRuntimeOwn);
                EXPECT_TRUE(sameFunction && runtimeOwn)
                    << Narrow(binary) << " binds " << name << " to " << module;
            }
        }
        EXPECT_GT(bound, 0u) << Narrow(binary) << " binds nothing to the platform";
    }
}

// On 32-bit Windows the pointer-sized window-data calls are macros for the
// 32-bit ones: the device has no SetWindowLongPtrW. Quenta imports the form of
// its architecture, from the core library, and eight of the library's exports
// by name (InitWiFi and ChangeWiFiRegulatory it looks up when it uses them).
TEST_P(Binding, PanelImportsTheFormsOfItsArchitecture)
{
    PeImage pe = Read(L"Quenta.exe");
    bool is32Bit = GetParam().is32Bit;
    const char* own = is32Bit ? "SetWindowLongW" : "SetWindowLongPtrW";
    const char* other = is32Bit ? "SetWindowLongPtrW" : "SetWindowLongW";
    EXPECT_EQ(pe.imports["coredll.dll"].count(own), 1u) << own;
    for (const auto& [module, names] : pe.imports) {
        EXPECT_EQ(names.count(other), 0u) << other << " from " << module;
        if (is32Bit) {
            for (const std::string& name : names) {
                EXPECT_EQ(name.find("LongPtr"), std::string::npos) << name << " from " << module;
            }
        }
    }
    EXPECT_EQ(
        pe.imports["rendak.dll"],
        (std::set<std::string>{"CloseWiFi", "DirectlyTurnOnWiFi", "GetLastWiFiRegulatoryIndex",
                               "HardReset", "IfWiFiHasTurnedOn", "IfWiFiRegulatorySet",
                               "TurnOffWiFiModule", "TurnOnWiFiModule"}));
}

// --- Exports --------------------------------------------------------------------------

TEST_P(Exports, LibraryExportsExactlyTheTenPlainNamesAtOrdinalsOneToTen)
{
    PeImage pe = Read(L"Rendak.dll");
    std::vector<std::pair<DWORD, std::string>> exports;
    for (const PeExport& e : pe.exports) {
        exports.emplace_back(e.ordinal, e.name);
        EXPECT_EQ(e.forwarder, "") << e.name;
    }
    EXPECT_EQ(exports,
              (std::vector<std::pair<DWORD, std::string>>{{1, "ChangeWiFiRegulatory"},
                                                          {2, "CloseWiFi"},
                                                          {3, "DirectlyTurnOnWiFi"},
                                                          {4, "GetLastWiFiRegulatoryIndex"},
                                                          {5, "HardReset"},
                                                          {6, "IfWiFiHasTurnedOn"},
                                                          {7, "IfWiFiRegulatorySet"},
                                                          {8, "InitWiFi"},
                                                          {9, "TurnOffWiFiModule"},
                                                          {10, "TurnOnWiFiModule"}}));
}

// Platform calls and the Sim functions alike go by their plain C names (the
// libraries' own forwarders name them so), and every export, forwarders
// included, leads to a function of this architecture's desktop or our own (a
// look-up only this build's program can make).
TEST_P(Exports, PlatformLibrariesExportPlainNamesThatAllResolve)
{
    for (const char* library : kPlatformLibraries) {
        PeImage pe = Read(Widen(library));
        HMODULE hModule = GetParam().own ? LoadLibraryA(library) : NULL;
        ASSERT_TRUE(hModule != NULL || !GetParam().own) << library;
        EXPECT_GT(pe.exports.size(), 2u) << library;
        for (const PeExport& e : pe.exports) {
            ASSERT_FALSE(e.name.empty()) << library << " #" << e.ordinal;
            EXPECT_EQ(
                e.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789_"),
                std::string::npos)
                << library << ": " << e.name;
            EXPECT_NE(e.name.rfind("_Z", 0), 0u) << library << ": " << e.name;
            if (hModule != NULL) {
                EXPECT_NE(GetProcAddress(hModule, e.name.c_str()), nullptr)
                    << library << ": " << e.name << " -> " << e.forwarder;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Build, Images, ::testing::ValuesIn(kBuilds), BuildName);
INSTANTIATE_TEST_SUITE_P(Build, Binding, ::testing::ValuesIn(kBuilds), BuildName);
INSTANTIATE_TEST_SUITE_P(Build, Exports, ::testing::ValuesIn(kBuilds), BuildName);

// --- Layout ---------------------------------------------------------------------------

struct Field {
    const char* name;
    size_t offset;
    size_t offset32;  // on the device
    size_t offset64;
};

struct Record {
    const char* name;
    size_t size;
    size_t size32;  // on the device
    size_t size64;
    std::vector<Field> fields;
};

#define FIELD(type, field, at32, at64)            \
    {                                             \
#field, offsetof(type, field), at32, at64 \
    }

TEST(Layout, RecordsHaveTheDevicesLayoutOn32Bit)
{
    const Record records[] = {
        {"DEVMGR_DEVICE_INFORMATION",
         sizeof(DEVMGR_DEVICE_INFORMATION),
         1584,
         1600,
         {FIELD(DEVMGR_DEVICE_INFORMATION, hDevice, 4, 8),
          FIELD(DEVMGR_DEVICE_INFORMATION, hParentDevice, 8, 16),
          FIELD(DEVMGR_DEVICE_INFORMATION, szLegacyName, 12, 24),
          FIELD(DEVMGR_DEVICE_INFORMATION, szDeviceKey, 24, 36),
          FIELD(DEVMGR_DEVICE_INFORMATION, szDeviceName, 544, 556),
          FIELD(DEVMGR_DEVICE_INFORMATION, szBusName, 1064, 1076)}},
        {"RDD",
         sizeof(RDD),
         24,
         40,
         {FIELD(RDD, pszDisplayName, 4, 8), FIELD(RDD, dwState, 8, 16),
          FIELD(RDD, dwDesired, 12, 20), FIELD(RDD, DeviceType, 16, 24),
          FIELD(RDD, pNext, 20, 32)}},
        {"REGINI",
         sizeof(REGINI),
         16,
         24,
         {FIELD(REGINI, pData, 4, 8), FIELD(REGINI, dwLen, 8, 16), FIELD(REGINI, dwType, 12, 20)}},
        {"NOTIFICATIONCONDITION",
         sizeof(NOTIFICATIONCONDITION),
         12,
         16,
         {FIELD(NOTIFICATIONCONDITION, dwMask, 4, 4),
          FIELD(NOTIFICATIONCONDITION, TargetValue, 8, 8)}},
        {"SHACTIVATEINFO",
         sizeof(SHACTIVATEINFO),
         12,
         24,
         {FIELD(SHACTIVATEINFO, hwndLastFocus, 4, 8)}},
    };
    for (const Record& r : records) {
        EXPECT_EQ(r.size, k32Bit ? r.size32 : r.size64) << r.name;
        for (const Field& f : r.fields) {
            EXPECT_EQ(f.offset, k32Bit ? f.offset32 : f.offset64) << r.name << "." << f.name;
        }
    }
}

}  // namespace
