// replay.cpp - doing once more, directly through the platform, the operations
// that an export's journal shows: the work that the export must do anyway.
#include "bench.h"

#include <map>

static void SplitValue(const std::wstring& target, std::wstring* key, std::wstring* value)
{
    size_t slash = target.rfind(L'\\');
    *key = slash == std::wstring::npos ? L"" : target.substr(0, slash);
    *value = slash == std::wstring::npos ? target : target.substr(slash + 1);
}

// The device's stream functions, as the library binds them.
template <typename F>
static F Core(const char* name)
{
    return (F)(void*)GetProcAddress(GetModuleHandleW(L"coredll.dll"), name);
}

static void NoteChange(HREGNOTIFY, DWORD, const PBYTE, const UINT) {}

// A registration of the value PATH\VALUE, made as the library makes one.
static HREGNOTIFY OpenNotification(const std::wstring& target)
{
    std::wstring key, value;
    SplitValue(target, &key, &value);
    HKEY h = NULL;
    HREGNOTIFY hNotify = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &h) == ERROR_SUCCESS) {
        RegistryNotifyCallback(h, NULL, value.c_str(), NoteChange, 0, NULL, &hNotify);
        RegCloseKey(h);
    }
    return hNotify;
}

static void CloseNotification(HREGNOTIFY h)
{
    RegistryCloseNotification(h);
    CloseHandle((HANDLE)h);
}

std::vector<handheld::JournalEntry> EntriesOfThread(
    const std::vector<handheld::JournalEntry>& entries, DWORD thread)
{
    std::vector<handheld::JournalEntry> own;
    for (const handheld::JournalEntry& e : entries) {
        if (e.thread == thread) {
            own.push_back(e);
        }
    }
    return own;
}

std::vector<HREGNOTIFY> PrepareReplay(const std::vector<handheld::JournalEntry>& entries)
{
    std::vector<HREGNOTIFY> prepared;
    int open = 0;
    for (const handheld::JournalEntry& e : entries) {
        if (e.Is(SIM_J_NOTIFY_OPEN) && e.Field(2) == L"ok") {
            open++;
        } else if (e.Is(SIM_J_NOTIFY_CLOSE) && e.Field(2) == L"ok" && open-- <= 0) {
            open = 0;
            HREGNOTIFY h = OpenNotification(e.Field(0));
            if (h) {
                prepared.insert(prepared.begin(), h);
            }
        }
    }
    return prepared;
}

void FinishReplay(std::vector<HREGNOTIFY>* pNotifications)
{
    for (HREGNOTIFY h : *pNotifications) {
        CloseNotification(h);
    }
    pNotifications->clear();
}

size_t Replay(const std::vector<handheld::JournalEntry>& entries,
              std::vector<HREGNOTIFY>* pNotifications)
{
    std::multimap<std::wstring, HKEY> keys;  // open keys by path
    RDD* pList = NULL;
    std::vector<HREGNOTIFY>& notifications = *pNotifications;
    size_t done = 0;
    auto keyOf = [&](const std::wstring& path) {
        auto it = keys.find(path);
        return it == keys.end() ? (HKEY)NULL : it->second;
    };
    for (const handheld::JournalEntry& e : entries) {
        const std::vector<std::wstring>& f = e.fields;
        std::wstring key, value;
        if ((e.Is(SIM_J_REG_OPEN) || e.Is(SIM_J_REG_CREATE)) && f.size() >= 2) {
            HKEY h = NULL;
            REGSAM access = wcstoul(f[1].c_str(), NULL, 16);
            LONG r = e.Is(SIM_J_REG_OPEN)
                         ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, f[0].c_str(), 0, access, &h)
                         : RegCreateKeyExW(HKEY_LOCAL_MACHINE, f[0].c_str(), 0, NULL, 0, access,
                                           NULL, &h, NULL);
            if (r == ERROR_SUCCESS) {
                keys.emplace(f[0], h);
            }
        } else if (e.Is(SIM_J_REG_QUERY)) {
            SplitValue(e.Field(0), &key, &value);
            DWORD data = 0, cb = sizeof(data);
            RegQueryValueExW(keyOf(key), value.c_str(), NULL, NULL, (LPBYTE)&data, &cb);
        } else if (e.Is(SIM_J_REG_SET) && f.size() >= 2) {
            SplitValue(f[0], &key, &value);
            DWORD data = wcstoul(f[1].c_str(), NULL, 16);
            RegSetValueExW(keyOf(key), value.c_str(), 0, REG_DWORD, (const BYTE*)&data, 4);
        } else if (e.Is(SIM_J_REG_FLUSH)) {
            RegFlushKey(keyOf(e.Field(0)));
        } else if (e.Is(SIM_J_REG_CLOSE)) {
            auto it = keys.find(e.Field(0));
            if (it != keys.end()) {
                RegCloseKey(it->second);
                keys.erase(it);
            }
        } else if (e.Is(SIM_J_EVENT_MODIFY) && f.size() >= 2) {
            // Setting an event that no worker waits on costs what the set costs.
            static HANDLE s_hEvent =
                Core<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)>("CreateEventW")(
                    NULL, FALSE, FALSE, L"rendak-bench.replay");
            static auto s_modify = Core<BOOL(WINAPI*)(HANDLE, DWORD)>("EventModify");
            s_modify(s_hEvent, (DWORD)_wtoi(f[1].c_str()));
        } else if (e.Is(SIM_J_WFOPEN) && f.size() >= 3 && f[2] == L"ok") {
            static auto s_open = Core<FILE*(__cdecl*)(const wchar_t*, const wchar_t*)>("_wfopen");
            static auto s_print = Core<int(__cdecl*)(FILE*, const wchar_t*, ...)>("fwprintf");
            static auto s_scan = Core<int(__cdecl*)(FILE*, const wchar_t*, ...)>("fwscanf");
            static auto s_close = Core<int(__cdecl*)(FILE*)>("fclose");
            FILE* file = s_open(f[0].c_str(), f[1].c_str());
            if (file) {
                int n = 1;
                if (f[1][0] == L'w') {
                    s_print(file, L"%d", n);
                } else {
                    s_scan(file, L"%d", &n);
                }
                s_close(file);
            }
        } else if (e.Is(SIM_J_GET_WIRELESS)) {
            GetWirelessDevices(&pList, 0);
        } else if (e.Is(SIM_J_CHANGE_RADIO) && f.size() >= 3) {
            for (RDD* p = pList; p != NULL; p = p->pNext) {
                if (f[0] == p->pszDeviceName) {
                    ChangeRadioState(p, wcstoul(f[1].c_str(), NULL, 10),
                                     (SAVEACTION)wcstoul(f[2].c_str(), NULL, 10));
                    break;
                }
            }
        } else if (e.Is(SIM_J_FREE_LIST)) {
            FreeDeviceList(pList);
            pList = NULL;
        } else if (e.Is(SIM_J_KERNEL) && f.size() >= 2) {
            DWORD code = wcstoul(f[0].c_str(), NULL, 16);
            DWORD request = 1;
            SYSTEMTIME st;
            GetLocalTime(&st);
            DWORD size = wcstoul(f[1].c_str(), NULL, 10);
            void* input = size == sizeof(DWORD) ? (void*)&request : size ? (void*)&st : NULL;
            KernelIoControl(code, input, size, NULL, 0, NULL);
        } else if (e.Is(SIM_J_NOTIFY_OPEN) && f.size() >= 3 && f[2] == L"ok") {
            HREGNOTIFY hNotify = OpenNotification(f[0]);
            if (hNotify) {
                notifications.push_back(hNotify);
            }
        } else if (e.Is(SIM_J_NOTIFY_CLOSE) && !notifications.empty()) {
            CloseNotification(notifications.front());
            notifications.erase(notifications.begin());
        } else if (e.Is(SIM_J_LOAD_LIBRARY) && f.size() >= 2) {
            // A library that is not there is looked for all the same.
            HMODULE h = LoadLibraryW(f[0].c_str());
            if (h) {
                WCHAR text[50];
                LoadStringW(h, 15, text, 50);
                LoadStringW(h, 16, text, 10);
                FreeLibrary(h);
            }
        } else if (e.Is(SIM_J_DEBUG)) {
            // The library's diagnostic lines are required output too.
            OutputDebugStringW(e.Field(0).c_str());
        } else {
            continue;  // not an operation the export must make
        }
        done++;
    }
    for (auto& k : keys) {
        RegCloseKey(k.second);
    }
    return done;
}
