// notify.cpp - simulated: registry value notifications
// (RegistryNotifyCallback, RegistryCloseNotification), the device's
// notification service of the OS services. Each registration keeps a
// host handle of the watched key, the value's contents as last delivered and
// a host change notification on the key. One platform thread per process
// compares the contents after each change and calls back when they differ,
// whichever process made the change.
//
// When deliveries happen:
//  - real or scaled clock: as soon as the host registry reports a change, or
//    this process writes the device registry (NotifyPoke);
//  - virtual clock: a change this process made is delivered when the device
//    clock moves (Sleep, through NotifyDeliverNow) or SimDeliverNotifications
//    asks, so that tests see one order of events; a change made by another
//    process is delivered on its own, as it would be on the device.
// Changes made between two deliveries are coalesced: the callback gets the
// newest contents. See docs/notifications.md.
#include "ossvcs.h"

#include <handheld_service.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// What a value holds; a missing value is not present.
struct Contents {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const Contents& o) const
    {
        return present == o.present && type == o.type && data == o.data;
    }
    bool operator!=(const Contents& o) const { return !(*this == o); }
};

struct Registration {
    HANDLE hNotify = NULL;    // the HREGNOTIFY handed out; the caller closes it
    HKEY hKey = NULL;         // our own handle of the watched key
    std::wstring devicePath;  // the key below the device's HKLM, "" if unknown
    std::wstring valueName;
    REGISTRYNOTIFYCALLBACK pfn = NULL;
    DWORD userData = 0;
    bool hasCondition = false;
    NOTIFICATIONCONDITION condition{};
    HANDLE hChanged = NULL;  // signalled by the host registry
    // Touched only by the notification thread once the registration is published.
    Contents last;
    bool armed = false;
    std::atomic<bool> closed{false};

    std::wstring Target() const { return devicePath + L"\\" + valueName; }
    ~Registration()
    {
        if (hKey) {
            RegCloseKey(hKey);
        }
        if (hChanged) {
            CloseHandle(hChanged);
        }
    }
};

typedef std::shared_ptr<Registration> RegistrationPtr;

std::mutex g_lock;
std::condition_variable g_changed;             // deliveries finished, requests served
std::vector<RegistrationPtr> g_registrations;  // open registrations of this process
const Registration* g_delivering = NULL;       // whose callback runs now
ULONGLONG g_requested = 0;                     // deliver-now requests made
ULONGLONG g_completed = 0;                     // of those, served
HANDLE g_wake = NULL;                          // wakes the notification thread
DWORD g_threadId = 0;
std::atomic<ULONG> g_pokes{0};   // writes of the device registry by this process
std::atomic<bool> g_any{false};  // some registration is open
// A poke's wake of the notification thread not yet taken: further pokes
// need not wake it again, as its coming scan reads what they wrote.
std::atomic<bool> g_wakePending{false};

#define DELIVER_NOW_LIMIT_MS 30000  // a callback that never returns must not hang Sleep
#define LOCAL_WRITE_GRACE_MS 50     // time for a local writer's poke to follow its write

typedef LONG(NTAPI* NTQUERYKEY)(HANDLE, int, PVOID, ULONG, PULONG);
#define KEY_NAME_INFORMATION_CLASS 3

// The path below the device's HKLM of a host key, from the key's full name.
std::wstring DevicePathOf(HKEY hKey)
{
    static NTQUERYKEY pfnQuery =
        (NTQUERYKEY)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey");
    if (pfnQuery == NULL) {
        return L"";
    }
    struct {
        ULONG cbName;
        WCHAR szName[1024];
    } info;
    ULONG cb = 0;
    if (pfnQuery(hKey, KEY_NAME_INFORMATION_CLASS, &info, sizeof(info), &cb) != 0) {
        return L"";
    }
    std::wstring full(info.szName, info.cbName / sizeof(WCHAR));
    std::wstring root = std::wstring(L"\\") + SIM_DEVICES_KEY + L"\\" + SimDeviceName() + L"\\HKLM";
    std::wstring upperFull = full, upperRoot = root;
    CharUpperBuffW(&upperFull[0], (DWORD)upperFull.size());
    CharUpperBuffW(&upperRoot[0], (DWORD)upperRoot.size());
    size_t at = upperFull.find(upperRoot);
    if (at == std::wstring::npos) {
        return L"";
    }
    std::wstring rest = full.substr(at + root.size());
    return rest.empty() ? rest : rest.substr(1);
}

// Reads the watched value. A key deleted under us is looked up again by its
// path, so a key that is made anew is watched again. One query reads a value
// of the usual size (a DWORD): each query is a round trip to the wineserver
// on the way to the callback.
Contents ReadContents(Registration& reg)
{
    Contents c;
    for (int attempt = 0; attempt < 2; attempt++) {
        DWORD type = 0;
        BYTE small[64];
        DWORD cb = sizeof(small);
        LONG r = reg.hKey
                     ? RegQueryValueExW(reg.hKey, reg.valueName.c_str(), NULL, &type, small, &cb)
                     : ERROR_KEY_DELETED;
        if (r == ERROR_SUCCESS) {
            c.data.assign(small, small + cb);
        }
        while (r == ERROR_MORE_DATA) {
            c.data.resize(cb);
            r = RegQueryValueExW(reg.hKey, reg.valueName.c_str(), NULL, &type, c.data.data(), &cb);
            if (r == ERROR_SUCCESS) {
                c.data.resize(cb);
            }
        }
        if (r == ERROR_SUCCESS) {
            c.present = true;
            c.type = type;
            return c;
        }
        if (r != ERROR_KEY_DELETED && r != ERROR_INVALID_HANDLE) {
            break;
        }
        if (reg.devicePath.empty() && reg.hKey) {
            break;
        }
        HKEY hAgain;
        if (RegOpenKeyExW(SimDeviceRegistryRoot(), reg.devicePath.c_str(), 0, KEY_READ, &hAgain) !=
            ERROR_SUCCESS) {
            break;
        }
        if (reg.hKey) {
            RegCloseKey(reg.hKey);
        }
        reg.hKey = hAgain;
        reg.armed = false;
    }
    c.data.clear();
    return c;
}

// Only DWORD conditions are supported; see SimRegistryNotifyCallback.
bool ConditionHolds(const Registration& reg, const Contents& c)
{
    if (!reg.hasCondition) {
        return true;
    }
    if (!c.present || c.data.size() != sizeof(DWORD)) {
        return false;
    }
    DWORD value = *(const DWORD*)c.data.data() & reg.condition.dwMask;
    DWORD target = reg.condition.TargetValue.dw & reg.condition.dwMask;
    switch (reg.condition.ctComparisonType) {
    case REG_CT_EQUAL:
        return value == target;
    case REG_CT_NOT_EQUAL:
        return value != target;
    case REG_CT_GREATER:
        return value > target;
    case REG_CT_GREATER_OR_EQUAL:
        return value >= target;
    case REG_CT_LESS:
        return value < target;
    case REG_CT_LESS_OR_EQUAL:
        return value <= target;
    default:
        return true;
    }
}

// Asks the host to signal the registration's next change; true when it asked
// anew (a change since the last scan may then have gone unsignalled).
bool Arm(Registration& reg)
{
    if (reg.closed.load() || reg.hKey == NULL) {
        return false;
    }
    if (reg.armed && WaitForSingleObject(reg.hChanged, 0) != WAIT_OBJECT_0) {
        return false;
    }
    reg.armed = RegNotifyChangeKeyValue(reg.hKey, FALSE,
                                        REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME,
                                        reg.hChanged, TRUE) == ERROR_SUCCESS;
    return true;
}

std::wstring Describe(const Contents& c)
{
    if (!c.present) {
        return L"missing";
    }
    wchar_t sz[32];
    if (c.data.size() == sizeof(DWORD)) {
        swprintf(sz, 32, L"0x%lX", (unsigned long)*(const DWORD*)c.data.data());
    } else {
        swprintf(sz, 32, L"%u bytes", (unsigned)c.data.size());
    }
    return sz;
}

// Calls back for every registration whose value differs from what it last got.
// Those whose host notification fired (no longer armed) are read first: their
// change is the one known to wait, and each read is a round trip.
void Scan(std::vector<RegistrationPtr> snapshot)
{
    std::stable_partition(snapshot.begin(), snapshot.end(),
                          [](const RegistrationPtr& reg) { return !reg->armed; });
    for (const RegistrationPtr& reg : snapshot) {
        if (reg->closed.load()) {
            continue;
        }
        Contents now = ReadContents(*reg);
        if (now == reg->last) {
            continue;
        }
        reg->last = now;
        if (!ConditionHolds(*reg, now)) {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(g_lock);
            if (reg->closed.load()) {
                continue;
            }
            g_delivering = reg.get();
        }
        // The callback gets a buffer of its own, never shorter than one byte.
        std::vector<BYTE> buffer(std::max<size_t>(now.data.size(), 1));
        std::copy(now.data.begin(), now.data.end(), buffer.begin());
        Note(SIM_J_NOTIFY L"|%ls|%p|%ls", reg->Target().c_str(), (void*)reg->hNotify,
             Describe(now).c_str());
        reg->pfn((HREGNOTIFY)reg->hNotify, reg->userData, now.present ? buffer.data() : NULL,
                 now.present ? (UINT)now.data.size() : 0);
        {
            std::lock_guard<std::mutex> lock(g_lock);
            g_delivering = NULL;
        }
        g_changed.notify_all();
    }
}

DWORD WINAPI NotifyThread(LPVOID)
{
    bool scan = true;
    ULONG pokesAtScan = 0;
    for (;;) {
        std::vector<RegistrationPtr> snapshot;
        ULONGLONG serving;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            snapshot = g_registrations;
            serving = g_requested;
            scan = scan || serving > g_completed;
        }
        // Under the real clock: deliver first and arm after, so that arming
        // the host's notification is not on the way to the callback; a change
        // made between the scan and the arming is caught by a second scan.
        // Under the virtual clock a change of this process (a callback's own)
        // waits for the clock, so no second scan: arm first, as the order of
        // events is what counts there, not the latency.
        bool deliverFirst = SimClockMode() != SIM_CLOCK_VIRTUAL;
        if (!deliverFirst) {
            for (const RegistrationPtr& reg : snapshot) {
                Arm(*reg);
            }
        }
        if (scan) {
            pokesAtScan = g_pokes.load();
            Scan(snapshot);
        }
        if (deliverFirst) {
            bool armed = false;
            for (const RegistrationPtr& reg : snapshot) {
                armed = Arm(*reg) || armed;
            }
            if (scan && armed) {
                Scan(snapshot);
            }
        }
        scan = false;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            g_completed = std::max(g_completed, serving);
            if (g_requested > serving) {
                continue;
            }
        }
        g_changed.notify_all();

        std::vector<HANDLE> handles{g_wake};
        std::vector<Registration*> watched{NULL};
        for (const RegistrationPtr& reg : snapshot) {
            if (reg->armed && !reg->closed.load() && handles.size() < MAXIMUM_WAIT_OBJECTS) {
                handles.push_back(reg->hChanged);
                watched.push_back(reg.get());
            }
        }
        DWORD r = WaitForMultipleObjects((DWORD)handles.size(), handles.data(), FALSE, INFINITE);
        if (r == WAIT_OBJECT_0) {
            g_wakePending = false;
            // Requests are seen at the top; under the real clock so are pokes.
            scan = !(SimClockMode() == SIM_CLOCK_VIRTUAL);
        } else if (r > WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + handles.size()) {
            watched[r - WAIT_OBJECT_0]->armed = false;
            scan = true;
            if ((SimClockMode() == SIM_CLOCK_VIRTUAL)) {
                // A change of our own waits for our clock; only another
                // process's change is delivered on its own. A request to
                // deliver now ends the grace at once (it is served above).
                if (WaitForSingleObject(g_wake, LOCAL_WRITE_GRACE_MS) == WAIT_OBJECT_0) {
                    g_wakePending = false;  // a wake taken here is taken all the same
                }
                scan = g_pokes.load() == pokesAtScan;
            }
        } else {
            ::Sleep(10);  // a handle went bad under us: look again
        }
    }
}

// Takes a registration out of service; its callback has finished when this
// returns, unless it is the callback itself that closes it.
RegistrationPtr Withdraw(HANDLE h)
{
    std::unique_lock<std::mutex> lock(g_lock);
    auto it = std::find_if(g_registrations.begin(), g_registrations.end(),
                           [h](const RegistrationPtr& r) { return r->hNotify == h; });
    if (it == g_registrations.end()) {
        return NULL;
    }
    RegistrationPtr reg = *it;
    reg->closed = true;
    g_registrations.erase(it);
    g_any = !g_registrations.empty();
    if (GetCurrentThreadId() != g_threadId) {
        g_changed.wait(lock, [&] { return g_delivering != reg.get(); });
    }
    lock.unlock();
    SetEvent(g_wake);  // the thread lets go of the key
    return reg;
}

// Whether a write of the key at pszKeyPath (NULL: not known) may change what
// a registration watches: its own key, or a key above it (deleted with its
// subtree). A registration whose path is not known is always concerned.
bool Concerns(LPCWSTR pszKeyPath)
{
    if (pszKeyPath == NULL) {
        return true;
    }
    size_t n = wcslen(pszKeyPath);
    std::lock_guard<std::mutex> lock(g_lock);
    for (const RegistrationPtr& reg : g_registrations) {
        const std::wstring& path = reg->devicePath;
        if (path.empty() || n == 0 ||
            (path.size() >= n && _wcsnicmp(path.c_str(), pszKeyPath, n) == 0 &&
             (path.size() == n || path[n] == L'\\'))) {
            return true;
        }
    }
    return false;
}

// Under the real clock a write of this process is delivered at once: the
// thread is woken, unless a wake is pending already or no registration
// watches the key written (the host signals the keys that are watched; the
// wake covers a watched key made anew, whose host handle no longer sees it).
void WINAPI NotifyPoke(LPCWSTR pszKeyPath)
{
    g_pokes++;
    if (g_any.load() && !(SimClockMode() == SIM_CLOCK_VIRTUAL) && Concerns(pszKeyPath) &&
        !g_wakePending.exchange(true)) {
        SetEvent(g_wake);
    }
}

void WINAPI NotifyDeliverNow()
{
    ULONGLONG target;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        // The notification thread itself (a callback that sleeps) cannot wait
        // for its own scan; the changes are delivered when the callback returns.
        if (g_registrations.empty() || GetCurrentThreadId() == g_threadId) {
            return;
        }
        target = ++g_requested;
    }
    SetEvent(g_wake);
    std::unique_lock<std::mutex> lock(g_lock);
    if (!g_changed.wait_for(lock, std::chrono::milliseconds(DELIVER_NOW_LIMIT_MS),
                            [&] { return g_completed >= target; })) {
        lock.unlock();
        Note(SIM_J_NOTIFY L"|deliver|timed out");
    }
}

void WINAPI NotifyForgetHandle(HANDLE h)
{
    if (!g_any.load()) {
        return;
    }
    RegistrationPtr reg = Withdraw(h);
    if (reg) {
        Note(SIM_J_NOTIFY_CLOSE L"|%ls|%p|by CloseHandle", reg->Target().c_str(), (void*)h);
    }
}

const SIMNOTIFYSERVICE g_serviceHooks = {NotifyPoke, NotifyDeliverNow, NotifyForgetHandle};

}  // namespace

// The service is the core library's to call once this library is loaded.
void NotifyServiceStart()
{
    SimSetNotifyService(&g_serviceHooks);
}

void NotifyServiceStop()
{
    SimSetNotifyService(NULL);
}

extern "C" {

// Conditions: REG_CT_ANYCHANGE and the numeric comparisons on DWORD values
// are supported; the string comparisons are refused with E_NOTIMPL.
HRESULT WINAPI SimRegistryNotifyCallback(HKEY hKey, LPCWSTR pszSubKey, LPCWSTR pszValueName,
                                         REGISTRYNOTIFYCALLBACK pfnCallback, DWORD dwUserData,
                                         NOTIFICATIONCONDITION* pCondition, HREGNOTIFY* phNotify)
{
    if (phNotify == NULL || pfnCallback == NULL || hKey == NULL) {
        Note(SIM_J_NOTIFY_OPEN L"|?|invalid");
        return E_INVALIDARG;
    }
    *phNotify = NULL;
    if (pCondition && pCondition->ctComparisonType >= REG_CT_CONTAINS) {
        Note(SIM_J_NOTIFY_OPEN L"|?|string condition");
        return E_NOTIMPL;
    }
    HKEY hBase = hKey == HKEY_LOCAL_MACHINE ? SimDeviceRegistryRoot() : hKey;
    auto reg = std::make_shared<Registration>();
    LONG r = RegOpenKeyExW(hBase, pszSubKey ? pszSubKey : L"", 0, KEY_READ, &reg->hKey);
    reg->valueName = pszValueName ? pszValueName : L"";
    if (r != ERROR_SUCCESS) {
        reg->hKey = NULL;
        Note(SIM_J_NOTIFY_OPEN L"|%ls|failed %ld", reg->valueName.c_str(), r);
        return HRESULT_FROM_WIN32(r);
    }
    reg->devicePath = DevicePathOf(reg->hKey);
    DWORD fault = SimFaultFor(L"RegistryNotifyCallback", reg->Target().c_str());
    if (fault) {
        Note(SIM_J_NOTIFY_OPEN L"|%ls|failed %lu", reg->Target().c_str(), fault);
        return HRESULT_FROM_WIN32(fault);
    }
    reg->pfn = pfnCallback;
    reg->userData = dwUserData;
    if (pCondition && pCondition->ctComparisonType != REG_CT_ANYCHANGE) {
        reg->hasCondition = true;
        reg->condition = *pCondition;
    }
    reg->last = ReadContents(*reg);
    reg->hChanged = CreateEventW(NULL, FALSE, FALSE, NULL);
    reg->hNotify = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (reg->hChanged == NULL || reg->hNotify == NULL) {
        if (reg->hNotify) {
            CloseHandle(reg->hNotify);
        }
        Note(SIM_J_NOTIFY_OPEN L"|%ls|failed %lu", reg->Target().c_str(), GetLastError());
        return E_OUTOFMEMORY;
    }
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_wake == NULL) {
            g_wake = CreateEventW(NULL, FALSE, FALSE, NULL);
            HANDLE hThread = CreateThread(NULL, 0, NotifyThread, NULL, 0, &g_threadId);
            if (hThread) {
                CloseHandle(hThread);
            }
        }
        g_registrations.push_back(reg);
        g_any = true;
    }
    SetEvent(g_wake);
    *phNotify = (HREGNOTIFY)reg->hNotify;
    Note(SIM_J_NOTIFY_OPEN L"|%ls|%p|ok", reg->Target().c_str(), (void*)reg->hNotify);
    return S_OK;
}

HRESULT WINAPI SimRegistryCloseNotification(HREGNOTIFY hNotify)
{
    RegistrationPtr reg = hNotify ? Withdraw((HANDLE)hNotify) : NULL;
    if (!reg) {
        Note(SIM_J_NOTIFY_CLOSE L"|?|%p|unknown", (void*)hNotify);
        return E_INVALIDARG;
    }
    Note(SIM_J_NOTIFY_CLOSE L"|%ls|%p|ok", reg->Target().c_str(), (void*)hNotify);
    return S_OK;
}

void WINAPI SimDeliverNotifications(void)
{
    NotifyDeliverNow();
}

DWORD WINAPI SimOpenNotifications(void)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return (DWORD)g_registrations.size();
}

}  // extern "C"
