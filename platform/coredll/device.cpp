// device.cpp - the simulated handheld as a named, persistent device: its name,
// where it lives on the host, its factory image, and how it starts, commits,
// resets and is deleted.
//
// What a device has committed is its image (image.cpp): made whole, durably,
// by every commit. The host registry holds the live device and is saved by
// the wineserver only now and then, so a start compares the two by their
// generation and takes the newer. A device exists once its first image does;
// a start never rebuilds one that has an image, and never deletes anything of
// its store. Making, committing, resetting and starting hold the device's
// lock, a mutex shared by every process of the prefix.
#include "image.h"
#include "sim.h"

#include <atomic>
#include <mutex>
#include <shlwapi.h>
#include <stdio.h>

// Lock order: g_openLock, then a device's lock, then g_deviceLock. Nothing
// that holds a device's lock may open a device.
static std::mutex g_openLock;        // one open or select at a time in this process
static std::mutex g_deviceLock;      // guards the three below
static std::wstring g_device;        // canonical name of the current device
static HKEY g_deviceHklm = NULL;     // its HKLM root, opened once
static std::wstring g_objectPrefix;  // names of the device's kernel objects begin so
// A device was made for this process alone ("@process"): read without a lock
// as the process ends.
static std::atomic<bool> g_hasOwnDevice{false};

#define HOST_ROOT L"C:\\Handheld"
#define GENERATION_VALUE L"Generation"
#define INCARNATION_VALUE L"Incarnation"
#define RESET_INTENT L"\\reset.pending"
#define OWNER_MARK L"\\owner"  // an own device's folder: "PID CREATED" of its process

struct FactoryValue {
    const wchar_t* key;   // below the device's HKLM
    const wchar_t* name;  // NULL: the key alone
    DWORD type;           // REG_DWORD or REG_SZ
    DWORD dword;
    const wchar_t* text;
};

// The factory image: a handheld with the Wi-Fi option fitted, OEM Wi-Fi
// switch on, English (US) locale, the PC card inserted and its driver
// running with the radio off, no regulatory domain stored, no status file.
static const FactoryValue g_factoryRegistry[] = {
    {L"SOFTWARE\\OEMGeneric", L"WIFI", REG_DWORD, 1, NULL},
    {L"Nls", L"SystemLCID", REG_DWORD, 0x0409, NULL},
    {L"Comm\\TRXD385L1", L"DisplayName", REG_SZ, 0, L"802.11g PC Card"},
    {L"Comm\\TRXD385L1\\Parms", L"BusType", REG_DWORD, 8, NULL},
    {L"System\\State\\Hardware", L"WiFi", REG_DWORD, 0x100, NULL},
    {L"Drivers\\PCMCIA\\VELMONT-TRX3850_802.11g_PC_Card-A103", L"Prefix", REG_SZ, 0, L"NDL"},
    {L"Drivers\\PCMCIA\\VELMONT-TRX3850_802.11g_PC_Card-A103", L"Index", REG_DWORD, 1, NULL},
    {L"Drivers\\PCMCIA\\VELMONT-TRX3850_802.11g_PC_Card-A103", L"Dll", REG_SZ, 0, L"trxd385.dll"},
};

// Simulation settings of a new device (see docs/handheld.md).
static const FactoryValue g_factorySettings[] = {
    {L"", L"CardInserted", REG_DWORD, 1, NULL},
    {L"", L"DriverActive", REG_DWORD, 1, NULL},
    {L"", L"StateStuck", REG_DWORD, 0, NULL},
    {L"", L"FailActivation", REG_DWORD, 0, NULL},
    {L"", L"RefuseColdReset", REG_DWORD, 0, NULL},
    {L"", L"RefuseClock", REG_DWORD, 0, NULL},
    {L"", L"PowerOnMs", REG_DWORD, SIM_POWER_ON_MS, NULL},
    {L"", L"PowerOffMs", REG_DWORD, SIM_POWER_OFF_MS, NULL},
};

bool SameName(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), (int)a.size(), b.c_str(), (int)b.size(), TRUE) ==
           CSTR_EQUAL;
}

// --- Names ---------------------------------------------------------------------------

// Why a name cannot be a device's, or NULL when it can. A device's name is a
// host folder and a part of object names, so it keeps to what every host file
// system holds as it is: Windows drops trailing dots, and reserves CON, NUL
// and the like (with any extension) for its own devices.
static const wchar_t* NameProblem(const wchar_t* p)
{
    if (p == NULL || *p == L'\0') {
        return L"a device name cannot be empty";
    }
    size_t n = wcslen(p);
    if (n > SIM_MAX_DEVICE_NAME) {
        return L"a device name has at most 40 characters";
    }
    for (size_t i = 0; i < n; i++) {
        wchar_t c = p[i];
        bool letterOrDigit =
            (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
        if (!letterOrDigit && c != L'-' && c != L'_' && c != L'.') {
            return L"a device name uses only letters, digits, '-', '_' and '.'";
        }
    }
    if (p[0] == L'.' || p[n - 1] == L'.') {
        return L"a device name cannot begin or end with '.'";
    }
    return IsReservedWindowsName(p)
               ? L"a device name cannot be a name Windows reserves (CON, "
                 L"PRN, AUX, NUL, COM0-9, LPT0-9, with or without an extension)"
               : NULL;
}

// One name is one device: names compare without case, and this is the form
// every host key, folder and object name is made from.
static std::wstring Canonical(const wchar_t* p)
{
    std::wstring name = p;
    for (wchar_t& c : name) {
        if (c >= L'A' && c <= L'Z') {
            c = (wchar_t)(c - L'A' + L'a');
        }
    }
    return name;
}

static std::wstring KeyPathOf(const std::wstring& name)
{
    return std::wstring(SIM_DEVICES_KEY) + L"\\" + name;
}

static std::wstring FolderOf(const std::wstring& name)
{
    return std::wstring(HOST_ROOT) + L"\\" + name;
}

// --- The device's lock -----------------------------------------------------------------

// An abandoned lock (its holder was killed) is ours now; what it was writing
// is either whole or not yet in place.
static HANDLE TakeDeviceLock(const std::wstring& name)
{
    HANDLE h = CreateMutexW(NULL, FALSE, (L"Handheld.Lock." + name).c_str());
    if (h) {
        WaitForSingleObject(h, INFINITE);
    }
    return h;
}

DeviceLock::DeviceLock(const std::wstring& name) : name_(name), h_(TakeDeviceLock(name)) {}

DeviceLock::~DeviceLock()
{
    FaultsMayHaveChanged(name_);
    if (h_) {
        ReleaseMutex(h_);
        CloseHandle(h_);
    }
}

// --- Folders and values ------------------------------------------------------------

static void WriteValues(HKEY hRoot, const FactoryValue* aValues, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        HKEY hKey;
        if (RegCreateKeyExW(hRoot, aValues[i].key, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey, NULL) !=
            ERROR_SUCCESS) {
            continue;
        }
        if (aValues[i].name && aValues[i].type == REG_DWORD) {
            RegSetValueExW(hKey, aValues[i].name, 0, REG_DWORD, (const BYTE*)&aValues[i].dword,
                           sizeof(DWORD));
        } else if (aValues[i].name) {
            RegSetValueExW(hKey, aValues[i].name, 0, REG_SZ, (const BYTE*)aValues[i].text,
                           (DWORD)((wcslen(aValues[i].text) + 1) * sizeof(wchar_t)));
        }
        RegCloseKey(hKey);
    }
}

// Makes whatever folders are missing; never removes anything.
static void MakeFolders(const std::wstring& folder)
{
    CreateDirectoryW(HOST_ROOT, NULL);
    CreateDirectoryW(folder.c_str(), NULL);
    CreateDirectoryW((folder + L"\\Store").c_str(), NULL);
    CreateDirectoryW((folder + L"\\Store\\Application Data").c_str(), NULL);
    CreateDirectoryW((folder + L"\\Store\\Windows").c_str(), NULL);
}

static void RemoveFolderTreeOnce(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring path = folder + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveFolderTreeOnce(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    RemoveDirectoryW(folder.c_str());
}

// A process of the device may append a log line while its folder goes (the
// logs are not under the device's lock): a file made between the walk and the
// folder's removal is taken on the next walk.
static void RemoveFolderTree(const std::wstring& folder)
{
    for (int pass = 0; pass < 5; pass++) {
        RemoveFolderTreeOnce(folder);
        if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
            return;
        }
    }
}

// The live device's stamp, kept beside its keys in the host registry.
static ImageStamp LiveStamp(HKEY hDevice)
{
    ImageStamp stamp;
    DWORD cb = sizeof(ULONGLONG);
    RegGetValueW(hDevice, NULL, INCARNATION_VALUE, RRF_RT_REG_QWORD, NULL, &stamp.incarnation, &cb);
    cb = sizeof(ULONGLONG);
    RegGetValueW(hDevice, NULL, GENERATION_VALUE, RRF_RT_REG_QWORD, NULL, &stamp.generation, &cb);
    return stamp;
}

static void SetLiveStamp(HKEY hDevice, const ImageStamp& stamp)
{
    RegSetValueExW(hDevice, INCARNATION_VALUE, 0, REG_QWORD, (const BYTE*)&stamp.incarnation,
                   sizeof(ULONGLONG));
    RegSetValueExW(hDevice, GENERATION_VALUE, 0, REG_QWORD, (const BYTE*)&stamp.generation,
                   sizeof(ULONGLONG));
}

// A number that no earlier making of a device of the same name has used: a
// device deleted and made again must not take an old save for its own.
static ULONGLONG NewIncarnation()
{
    static LONG s_counter = 0;
    LARGE_INTEGER counter;
    FILETIME now;
    QueryPerformanceCounter(&counter);
    GetSystemTimeAsFileTime(&now);
    ULONGLONG x = ((ULONGLONG)now.dwHighDateTime << 32 | now.dwLowDateTime) ^
                  ((ULONGLONG)GetCurrentProcessId() << 40) ^ (ULONGLONG)counter.QuadPart ^
                  (ULONGLONG)InterlockedIncrement(&s_counter) << 20;
    x += 0x9E3779B97F4A7C15ULL;  // splitmix64: spreads the bits
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// A device made before images existed carries this marker instead.
static bool HasOldMarker(HKEY hDevice)
{
    DWORD made = 0, cb = sizeof(made);
    return RegGetValueW(hDevice, NULL, L"Made", RRF_RT_REG_DWORD, NULL, &made, &cb) ==
               ERROR_SUCCESS &&
           made == 1;
}

// The host key of a device that exists, NULL when it does not: a process may
// still write after its device was deleted under it (at a test's end), and
// must not bring the device back.
static HKEY OpenExistingDeviceKey(const std::wstring& name)
{
    HKEY hDevice = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyPathOf(name).c_str(), 0, KEY_ALL_ACCESS, &hDevice) !=
        ERROR_SUCCESS) {
        return NULL;
    }
    return hDevice;
}

static HKEY OpenDeviceKey(const std::wstring& name)
{
    HKEY hDevice = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, KeyPathOf(name).c_str(), 0, NULL, 0, KEY_ALL_ACCESS,
                        NULL, &hDevice, NULL) != ERROR_SUCCESS) {
        return NULL;
    }
    return hDevice;
}

// --- Commit, make, reset, start (each with the device's lock held) -----------------

// The live generation is never behind the image's while the device runs: it is
// advanced first, and the image follows.
static bool CommitLocked(const std::wstring& name, HKEY hDevice)
{
    ImageStamp stamp = LiveStamp(hDevice);
    if (stamp.incarnation == 0) {
        stamp.incarnation = NewIncarnation();
    }
    stamp.generation++;
    SetLiveStamp(hDevice, stamp);
    return ImageWrite(FolderOf(name), hDevice);
}

static void WriteFactoryValues(HKEY hDevice)
{
    SHDeleteKeyW(hDevice, L"HKLM");
    SHDeleteKeyW(hDevice, L"Settings");
    HKEY hKey;
    if (RegCreateKeyExW(hDevice, L"HKLM", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey, NULL) ==
        ERROR_SUCCESS) {
        WriteValues(hKey, g_factoryRegistry,
                    sizeof(g_factoryRegistry) / sizeof(*g_factoryRegistry));
        RegCloseKey(hKey);
    }
    if (RegCreateKeyExW(hDevice, L"Settings", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey, NULL) ==
        ERROR_SUCCESS) {
        WriteValues(hKey, g_factorySettings,
                    sizeof(g_factorySettings) / sizeof(*g_factorySettings));
        WriteFactoryRadios(hKey);
        RegCloseKey(hKey);
    }
}

// Carries out a factory reset whose intent is on disk: from here on the reset
// happens whole, if need be at the next start after a power cut.
static void FinishResetLocked(const std::wstring& name, HKEY hDevice)
{
    std::wstring folder = FolderOf(name);
    WriteFactoryValues(hDevice);
    CommitLocked(name, hDevice);
    RemoveFolderTree(folder + L"\\Store");
    DeleteFileW((folder + L"\\journal.log").c_str());
    DeleteFileW((folder + L"\\debug.log").c_str());
    MakeFolders(folder);
    DeleteFileW((folder + RESET_INTENT).c_str());
}

static bool WriteResetIntent(const std::wstring& folder)
{
    HANDLE h = CreateFileW((folder + RESET_INTENT).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = FlushFileBuffers(h) != FALSE;
    CloseHandle(h);
    return ok;
}

// Brings the device to its newest committed state, making it when it has
// none. Returns the device's host key (caller closes), NULL on failure.
static HKEY StartLocked(const std::wstring& name)
{
    std::wstring folder = FolderOf(name);
    MakeFolders(folder);
    HKEY hDevice = OpenDeviceKey(name);
    if (hDevice == NULL) {
        return NULL;
    }
    if (GetFileAttributesW((folder + RESET_INTENT).c_str()) != INVALID_FILE_ATTRIBUTES) {
        FinishResetLocked(name, hDevice);
    }
    ImageRemoveUnfinished(folder);
    ImageStamp image = ImageStampOf(folder);
    ImageStamp live = LiveStamp(hDevice);
    if (image.generation == 0 && (live.generation > 0 || HasOldMarker(hDevice))) {
        CommitLocked(name, hDevice);  // its image was lost, or it predates images
    } else if (image.generation == 0) {
        WriteFactoryValues(hDevice);  // new: it exists once this first commit is in place
        SetLiveStamp(hDevice, ImageStamp{NewIncarnation(), 0});
        CommitLocked(name, hDevice);
    } else if ((image.incarnation != live.incarnation || image.generation > live.generation) &&
               ImageRestore(folder, hDevice)) {
        // The host lost what was committed since its last save, or what it
        // saved is of an earlier device of this name.
        SetLiveStamp(hDevice, image);
    }
    return hDevice;
}

static bool DeleteLocked(const std::wstring& name)
{
    LONG r = SHDeleteKeyW(HKEY_CURRENT_USER, KeyPathOf(name).c_str());
    RemoveFolderTree(FolderOf(name));
    return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}

// "p" and a process id: the name "@process" gives a process's own device.
static bool IsOwnDeviceName(const std::wstring& name)
{
    return name.size() > 1 && name[0] == L'p' &&
           name.find_first_not_of(L"0123456789", 1) == std::wstring::npos;
}

static std::wstring OwnDeviceName()
{
    return L"p" + std::to_wstring(GetCurrentProcessId());
}

// Marks an own device's folder with the process it belongs to: the device
// lives exactly as long as that process runs.
static void WriteOwnerMark(const std::wstring& folder)
{
    char mark[64];
    int n = snprintf(mark, sizeof(mark), "%lu %llu\n", (unsigned long)GetCurrentProcessId(),
                     (unsigned long long)ProcessCreationTime(GetCurrentProcess()));
    HANDLE h = CreateFileW((folder + OWNER_MARK).c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(h, mark, (DWORD)n, &written, NULL);
        CloseHandle(h);
    }
}

// Whether a folder is an own device's whose process has ended; false for a
// folder without a mark.
static bool OwnerEnded(const std::wstring& folder)
{
    HANDLE h = CreateFileW((folder + OWNER_MARK).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    char mark[64] = "";
    DWORD n = 0;
    ReadFile(h, mark, sizeof(mark) - 1, &n, NULL);
    CloseHandle(h);
    mark[n] = '\0';
    unsigned long pid = 0;
    unsigned long long created = 0;
    return sscanf(mark, "%lu %llu", &pid, &created) == 2 && !ProcessRuns(pid, created);
}

// Removes what is left of processes' own devices that are gone. An own
// device goes with its process: its keys as the process ends; its folder,
// which the end leaves alone (a thread the end cut short may still hold a
// file of it), here, once the process named in its mark no longer runs. A
// folder without a mark (an own device made before marks, or a device a user
// named so) goes only with neither the device's keys nor its image: a device
// exists while its image does, and the host may have lost its keys.
static void SweepOwnDeviceLeftovers()
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW(HOST_ROOT L"\\p*", &fd);
    if (hFind == INVALID_HANDLE_VALUE) {
        return;
    }
    std::vector<std::wstring> names;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsOwnDeviceName(fd.cFileName)) {
            names.push_back(fd.cFileName);
        }
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
    for (const std::wstring& name : names) {
        DeviceLock lock(name);
        std::wstring folder = FolderOf(name);
        if (OwnerEnded(folder)) {
            DeleteLocked(name);
            continue;
        }
        HKEY hDevice = OpenExistingDeviceKey(name);
        if (hDevice != NULL) {
            RegCloseKey(hDevice);  // a device: someone's, running or not
            continue;
        }
        if (GetFileAttributesW((folder + OWNER_MARK).c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesW(ImagePath(folder).c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesW((folder + RESET_INTENT).c_str()) == INVALID_FILE_ATTRIBUTES) {
            RemoveFolderTree(folder);
        }
    }
}

// --- The current device ---------------------------------------------------------------

// Starts the device and makes it this process's current one.
static bool OpenDevice(const std::wstring& name)
{
    ULONGLONG incarnation = 0;
    {
        DeviceLock lock(name);
        HKEY hDevice = StartLocked(name);
        if (hDevice == NULL) {
            return false;
        }
        incarnation = LiveStamp(hDevice).incarnation;
        RegCloseKey(hDevice);
    }
    // The device's events and mutexes live under a name no one finds from
    // the device's name alone: they are reached through the device.
    wchar_t prefix[48];
    swprintf(prefix, 48, L"Handheld.%016llX.", (unsigned long long)incarnation);
    HKEY hHklm;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (KeyPathOf(name) + L"\\HKLM").c_str(), 0, NULL, 0,
                        KEY_ALL_ACCESS, NULL, &hHklm, NULL) != ERROR_SUCCESS) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(g_deviceLock);
        if (g_deviceHklm) {
            RegCloseKey(g_deviceHklm);
        }
        g_deviceHklm = hHklm;
        g_device = name;
        g_objectPrefix = prefix;
    }
    AdapterOpened();
    return true;
}

static bool HaveDevice()
{
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return !g_device.empty();
}

// The device HANDHELD_DEVICE names. A name that cannot be a device's is an
// error of the environment, not a reason to work on some other device: the
// process ends with exit code 2 and says why.
void EnsureDevice()
{
    if (HaveDevice()) {
        return;
    }
    std::lock_guard<std::mutex> open(g_openLock);
    if (HaveDevice()) {
        return;
    }
    wchar_t szName[SIM_MAX_DEVICE_NAME + 2] = L"";
    DWORD n = GetEnvironmentVariableW(L"HANDHELD_DEVICE", szName, SIM_MAX_DEVICE_NAME + 2);
    std::wstring name = L"default";
    if (n > 0 && wcscmp(szName, L"@process") == 0) {
        // A device of this process's own (test programs run side by side). It
        // is new with the process: whatever an earlier process of the same id
        // left on a device of that name is gone.
        SweepOwnDeviceLeftovers();
        name = OwnDeviceName();
        DeviceLock lock(name);
        DeleteLocked(name);
        MakeFolders(FolderOf(name));
        WriteOwnerMark(FolderOf(name));
        g_hasOwnDevice = true;
    } else if (n > 0) {
        std::wstring given(szName, n <= SIM_MAX_DEVICE_NAME ? n : SIM_MAX_DEVICE_NAME + 1);
        const wchar_t* problem = n > SIM_MAX_DEVICE_NAME
                                     ? L"a device name has at most 40 characters"
                                     : NameProblem(given.c_str());
        if (problem) {
            fwprintf(stderr, L"handheld: HANDHELD_DEVICE=\"%ls%ls\" is not a device name: %ls\n",
                     given.c_str(), n > SIM_MAX_DEVICE_NAME ? L"..." : L"", problem);
            fflush(stderr);
            ExitProcess(2);
        }
        name = Canonical(given.c_str());
    }
    if (!OpenDevice(name)) {
        fwprintf(stderr, L"handheld: cannot open device \"%ls\" (error %lu)\n", name.c_str(),
                 GetLastError());
        fflush(stderr);
        ExitProcess(2);
    }
    ProcessJoinDevice(name);
}

// The process is ending: its record goes, and so do the keys of a device
// made for it alone (its folder is swept by the next process that makes
// one). Only registry calls here, and no lock another thread of this process
// may hold: the end has cut those threads short wherever they were, a lock
// of theirs held for ever, a file of theirs half-used under Wine.
void DeviceProcessEnds()
{
    ProcessLeaveDevice();
    if (g_hasOwnDevice.load()) {
        std::wstring own = OwnDeviceName();
        HANDLE hLock = TakeDeviceLock(own);
        SHDeleteKeyW(HKEY_CURRENT_USER, KeyPathOf(own).c_str());
        if (hLock) {
            ReleaseMutex(hLock);
            CloseHandle(hLock);
        }
    }
}

std::wstring DeviceName()
{
    EnsureDevice();
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return g_device;
}

std::wstring DeviceObjectName(const wchar_t* pszName)
{
    EnsureDevice();
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return g_objectPrefix + pszName;
}

std::wstring DeviceKeyPath()
{
    return KeyPathOf(DeviceName());
}

std::wstring DeviceFolder()
{
    return FolderOf(DeviceName());
}

bool DeviceKeysExist()
{
    HKEY hDevice = OpenExistingDeviceKey(DeviceName());
    if (hDevice != NULL) {
        RegCloseKey(hDevice);
    }
    return hDevice != NULL;
}

HKEY DeviceRegistryRoot()
{
    EnsureDevice();
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return g_deviceHklm;
}

// Another process restored the device's registry (a reset, a power cut): the
// cached root names a deleted key. Opens the device's root again.
HKEY DeviceReopenRoot()
{
    std::wstring name = DeviceName();
    HKEY hHklm = CreateDeviceSubkey(L"HKLM");  // a deleted device stays deleted
    if (hHklm == NULL) {
        return DeviceRegistryRoot();
    }
    std::lock_guard<std::mutex> lock(g_deviceLock);
    if (g_device != name) {  // moved to another device meanwhile
        RegCloseKey(hHklm);
        return g_deviceHklm;
    }
    if (g_deviceHklm) {
        RegCloseKey(g_deviceHklm);
    }
    g_deviceHklm = hHklm;
    return g_deviceHklm;
}

HKEY CreateDeviceSubkey(const wchar_t* pszSubkey)
{
    HKEY hDevice = OpenExistingDeviceKey(DeviceName());
    if (hDevice == NULL) {
        return NULL;
    }
    HKEY hKey = NULL;
    LONG r = RegCreateKeyExW(hDevice, pszSubkey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey, NULL);
    RegCloseKey(hDevice);
    return r == ERROR_SUCCESS ? hKey : NULL;
}

HKEY OpenSettingsKey(BOOL create)
{
    if (create) {
        return CreateDeviceSubkey(L"Settings");
    }
    HKEY hKey = NULL;
    std::wstring path = DeviceKeyPath() + L"\\Settings";
    LONG r = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &hKey);
    return r == ERROR_SUCCESS ? hKey : NULL;
}

bool DeviceCommit()
{
    std::wstring name = DeviceName();
    DeviceLock lock(name);
    HKEY hDevice = OpenExistingDeviceKey(name);
    if (hDevice == NULL) {
        return false;
    }
    bool ok = CommitLocked(name, hDevice);
    RegCloseKey(hDevice);
    return ok;
}

// With the device's lock held: the registry as last committed.
bool DeviceRestoreCommitted(const std::wstring& name)
{
    HKEY hDevice = OpenExistingDeviceKey(name);
    if (hDevice == NULL) {
        return false;
    }
    std::wstring folder = FolderOf(name);
    bool ok = ImageRestore(folder, hDevice);
    if (ok) {
        SetLiveStamp(hDevice, ImageStampOf(folder));
    }
    RegCloseKey(hDevice);
    return ok;
}

void SetSetting(const wchar_t* pszName, DWORD dwValue)
{
    HKEY hKey = OpenSettingsKey(TRUE);
    if (hKey) {
        RegSetValueExW(hKey, pszName, 0, REG_DWORD, (const BYTE*)&dwValue, sizeof(dwValue));
        RegCloseKey(hKey);
    }
}

// Opens (or creates) a key of the device's registry for the harness; a root
// that another process's reset or power cut made anew is opened again.
static LONG OpenHarnessKey(LPCWSTR pszKey, bool create, HKEY* phKey)
{
    LONG r = ERROR_KEY_DELETED;
    for (int attempt = 0; attempt < 2 && r == ERROR_KEY_DELETED; attempt++) {
        HKEY hRoot = attempt == 0 ? DeviceRegistryRoot() : DeviceReopenRoot();
        r = create ? RegCreateKeyExW(hRoot, pszKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, phKey, NULL)
                   : RegOpenKeyExW(hRoot, pszKey, 0, KEY_ALL_ACCESS, phKey);
    }
    return r;
}

extern "C" {

SIM_API LPCWSTR WINAPI SimDeviceNameProblem(LPCWSTR pszName)
{
    return NameProblem(pszName);
}

SIM_API BOOL WINAPI SimSelectDevice(LPCWSTR pszName)
{
    if (NameProblem(pszName)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    std::wstring name = Canonical(pszName);
    std::lock_guard<std::mutex> open(g_openLock);
    if (!OpenDevice(name)) {
        return FALSE;
    }
    ProcessJoinDevice(name);
    return TRUE;
}

SIM_API LPCWSTR WINAPI SimDeviceName(void)
{
    EnsureDevice();
    std::lock_guard<std::mutex> lock(g_deviceLock);
    return g_device.c_str();
}

SIM_API BOOL WINAPI SimResetDevice(void)
{
    std::wstring name = DeviceName();
    {
        DeviceLock lock(name);
        HKEY hDevice = OpenDeviceKey(name);
        if (hDevice == NULL || !WriteResetIntent(FolderOf(name))) {
            if (hDevice) {
                RegCloseKey(hDevice);
            }
            return FALSE;
        }
        FinishResetLocked(name, hDevice);
        RegCloseKey(hDevice);
    }
    DeviceReopenRoot();
    return TRUE;
}

SIM_API BOOL WINAPI SimDeleteDevice(LPCWSTR pszName)
{
    if (NameProblem(pszName)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    std::wstring name = Canonical(pszName);
    DeviceLock lock(name);
    return DeleteLocked(name) ? TRUE : FALSE;
}

SIM_API DWORD WINAPI SimDeviceFolder(LPWSTR pszBuffer, DWORD cch)
{
    std::wstring folder = DeviceFolder();
    if (pszBuffer && cch > folder.size()) {
        wcscpy(pszBuffer, folder.c_str());
    }
    return (DWORD)folder.size();
}

SIM_API ULONGLONG WINAPI SimCommittedGeneration(void)
{
    return ImageStampOf(DeviceFolder()).generation;
}

SIM_API DWORD WINAPI SimGetSetting(LPCWSTR pszName, DWORD dwDefault)
{
    DWORD value = dwDefault, cb = sizeof(value);
    std::wstring path = DeviceKeyPath() + L"\\Settings";
    if (RegGetValueW(HKEY_CURRENT_USER, path.c_str(), pszName, RRF_RT_REG_DWORD, NULL, &value,
                     &cb) != ERROR_SUCCESS) {
        return dwDefault;
    }
    return value;
}

// A setting is the harness's word about the device's world (the card is out,
// the state sticks): it is committed at once, so a power cut keeps it.
SIM_API BOOL WINAPI SimSetSetting(LPCWSTR pszName, DWORD dwValue)
{
    HKEY hKey = OpenSettingsKey(TRUE);
    if (!hKey) {
        return FALSE;
    }
    LONG r = RegSetValueExW(hKey, pszName, 0, REG_DWORD, (const BYTE*)&dwValue, sizeof(dwValue));
    RegCloseKey(hKey);
    return r == ERROR_SUCCESS && DeviceCommit();
}

SIM_API BOOL WINAPI SimRegGetDword(LPCWSTR pszKey, LPCWSTR pszValue, DWORD* pdwValue)
{
    DWORD value = 0, cb = sizeof(value), type = 0;
    HKEY hKey;
    if (OpenHarnessKey(pszKey, false, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    LONG r = RegQueryValueExW(hKey, pszValue, NULL, &type, (LPBYTE)&value, &cb);
    RegCloseKey(hKey);
    if (r != ERROR_SUCCESS || cb != sizeof(DWORD)) {
        return FALSE;
    }
    *pdwValue = value;
    return TRUE;
}

// The harness's own writes of the device's registry are committed at once.
SIM_API BOOL WINAPI SimRegSetRaw(LPCWSTR pszKey, LPCWSTR pszValue, DWORD dwType, const void* pData,
                                 DWORD cbData)
{
    HKEY hKey;
    if (OpenHarnessKey(pszKey, true, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    LONG r = RegSetValueExW(hKey, pszValue, 0, dwType, (const BYTE*)pData, cbData);
    RegCloseKey(hKey);
    NotifyPoke(pszKey);
    return r == ERROR_SUCCESS && DeviceCommit();
}

SIM_API BOOL WINAPI SimRegSetDword(LPCWSTR pszKey, LPCWSTR pszValue, DWORD dwValue)
{
    return SimRegSetRaw(pszKey, pszValue, REG_DWORD, &dwValue, sizeof(dwValue));
}

SIM_API BOOL WINAPI SimRegDeleteValue(LPCWSTR pszKey, LPCWSTR pszValue)
{
    HKEY hKey;
    if (OpenHarnessKey(pszKey, false, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    LONG r = RegDeleteValueW(hKey, pszValue);
    RegCloseKey(hKey);
    NotifyPoke(pszKey);
    return r == ERROR_SUCCESS && DeviceCommit();
}

SIM_API BOOL WINAPI SimRegDeleteKey(LPCWSTR pszKey)
{
    BOOL ok = SHDeleteKeyW(DeviceRegistryRoot(), pszKey) == ERROR_SUCCESS;
    NotifyPoke(pszKey);
    return ok && DeviceCommit();
}

SIM_API BOOL WINAPI SimRegKeyExists(LPCWSTR pszKey)
{
    HKEY hKey;
    if (OpenHarnessKey(pszKey, false, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    RegCloseKey(hKey);
    return TRUE;
}

}  // extern "C"
