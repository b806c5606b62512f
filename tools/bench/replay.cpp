// replay.cpp - doing once more, directly through the platform, the operations
// that an export's journal shows: the work that the export must do anyway.
#include "bench.h"

#include <map>

static std::vector<std::wstring> Fields(const std::wstring& entry)
{
    std::vector<std::wstring> f;
    size_t start = 0;
    for (size_t bar; (bar = entry.find(L'|', start)) != std::wstring::npos; start = bar + 1) {
        f.push_back(entry.substr(start, bar - start));
    }
    f.push_back(entry.substr(start));
    return f;
}

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

size_t Replay(const std::vector<std::wstring>& entries)
{
    std::multimap<std::wstring, HKEY> keys;  // open keys by path
    RDD* pList = NULL;
    std::vector<HREGNOTIFY> notifications;
    size_t done = 0;
    auto keyOf = [&](const std::wstring& path) {
        auto it = keys.find(path);
        return it == keys.end() ? (HKEY)NULL : it->second;
    };
    for (const std::wstring& e : entries) {
        std::vector<std::wstring> f = Fields(e);
        const std::wstring& op = f[0];
        std::wstring key, value;
        if ((op == L"RegOpenKeyExW" || op == L"RegCreateKeyExW") && f.size() >= 3) {
            HKEY h = NULL;
            REGSAM access = wcstoul(f[2].c_str(), NULL, 16);
            LONG r = op == L"RegOpenKeyExW"
                         ? RegOpenKeyExW(HKEY_LOCAL_MACHINE, f[1].c_str(), 0, access, &h)
                         : RegCreateKeyExW(HKEY_LOCAL_MACHINE, f[1].c_str(), 0, NULL, 0, access,
                                           NULL, &h, NULL);
            if (r == ERROR_SUCCESS) {
                keys.emplace(f[1], h);
            }
        } else if (op == L"RegQueryValueExW") {
            SplitValue(f[1], &key, &value);
            DWORD data = 0, cb = sizeof(data);
            RegQueryValueExW(keyOf(key), value.c_str(), NULL, NULL, (LPBYTE)&data, &cb);
        } else if (op == L"RegSetValueExW" && f.size() >= 3) {
            SplitValue(f[1], &key, &value);
            DWORD data = wcstoul(f[2].c_str(), NULL, 16);
            RegSetValueExW(keyOf(key), value.c_str(), 0, REG_DWORD, (const BYTE*)&data, 4);
        } else if (op == L"RegFlushKey") {
            RegFlushKey(keyOf(f[1]));
        } else if (op == L"RegCloseKey") {
            auto it = keys.find(f[1]);
            if (it != keys.end()) {
                RegCloseKey(it->second);
                keys.erase(it);
            }
        } else if (op == L"EventModify" && f.size() >= 3) {
            // Setting an event that no worker waits on costs what the set costs.
            static HANDLE s_hEvent =
                Core<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)>("CreateEventW")(
                    NULL, FALSE, FALSE, L"rendak-bench.replay");
            static auto s_modify = Core<BOOL(WINAPI*)(HANDLE, DWORD)>("EventModify");
            s_modify(s_hEvent, (DWORD)_wtoi(f[2].c_str()));
        } else if (op == L"_wfopen" && f.size() >= 4 && f[3] == L"ok") {
            static auto s_open = Core<FILE*(__cdecl*)(const wchar_t*, const wchar_t*)>("_wfopen");
            static auto s_print = Core<int(__cdecl*)(FILE*, const wchar_t*, ...)>("fwprintf");
            static auto s_scan = Core<int(__cdecl*)(FILE*, const wchar_t*, ...)>("fwscanf");
            static auto s_close = Core<int(__cdecl*)(FILE*)>("fclose");
            FILE* file = s_open(f[1].c_str(), f[2].c_str());
            if (file) {
                int n = 1;
                if (f[2][0] == L'w') {
                    s_print(file, L"%d", n);
                } else {
                    s_scan(file, L"%d", &n);
                }
                s_close(file);
            }
        } else if (op == L"GetWirelessDevices") {
            GetWirelessDevices(&pList, 0);
        } else if (op == L"ChangeRadioState" && f.size() >= 4) {
            for (RDD* p = pList; p != NULL; p = p->pNext) {
                if (f[1] == p->pszDeviceName) {
                    ChangeRadioState(p, wcstoul(f[2].c_str(), NULL, 10),
                                     (SAVEACTION)wcstoul(f[3].c_str(), NULL, 10));
                    break;
                }
            }
        } else if (op == L"FreeDeviceList") {
            FreeDeviceList(pList);
            pList = NULL;
        } else if (op == L"KernelIoControl" && f.size() >= 3) {
            DWORD code = wcstoul(f[1].c_str(), NULL, 16);
            DWORD request = 1;
            SYSTEMTIME st;
            GetLocalTime(&st);
            DWORD size = wcstoul(f[2].c_str(), NULL, 10);
            void* input = size == sizeof(DWORD) ? (void*)&request : size ? (void*)&st : NULL;
            KernelIoControl(code, input, size, NULL, 0, NULL);
        } else if (op == L"RegistryNotifyCallback" && f.size() >= 4 && f[3] == L"ok") {
            SplitValue(f[1], &key, &value);
            HKEY h = NULL;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &h) == ERROR_SUCCESS) {
                HREGNOTIFY hNotify = NULL;
                RegistryNotifyCallback(h, NULL, value.c_str(), NoteChange, 0, NULL, &hNotify);
                RegCloseKey(h);
                if (hNotify) {
                    notifications.push_back(hNotify);
                }
            }
        } else if (op == L"RegistryCloseNotification" && !notifications.empty()) {
            RegistryCloseNotification(notifications.back());
            CloseHandle((HANDLE)notifications.back());
            notifications.pop_back();
        } else if (op == L"LoadLibraryW" && f.size() >= 3 && f[2] == L"loaded") {
            HMODULE h = LoadLibraryW(f[1].c_str());
            WCHAR text[50];
            LoadStringW(h, 15, text, 50);
            LoadStringW(h, 16, text, 10);
            FreeLibrary(h);
        } else if (op == L"Debug" && f.size() >= 2) {
            // The library's diagnostic lines are required output too.
            OutputDebugStringW(e.c_str() + 6);
        } else {
            continue;  // not an operation the export must make
        }
        done++;
    }
    for (auto& k : keys) {
        RegCloseKey(k.second);
    }
    for (HREGNOTIFY h : notifications) {
        RegistryCloseNotification(h);
        CloseHandle((HANDLE)h);
    }
    return done;
}
