// handheld_journal.h - the journal's entries, declared once: each kind and
// its fields, for the platform that writes them and the tools and tests that
// read them. An entry is "Kind|field|field..."; the last field of a kind
// marked "(rest)" holds everything after the bar before it, bars included.
// Product code never includes this header.
#pragma once

#include <handheld.h>

// --- Kinds and their fields ------------------------------------------------------
// Registry (paths below the device's HKLM; RESULT: the call's decimal result)
#define SIM_J_REG_OPEN L"RegOpenKeyExW"      // PATH|0xACCESS|RESULT
#define SIM_J_REG_CREATE L"RegCreateKeyExW"  // PATH|0xACCESS|RESULT
#define SIM_J_REG_QUERY L"RegQueryValueExW"  // PATH\VALUE|RESULT
#define SIM_J_REG_SET L"RegSetValueExW"      // PATH\VALUE|0xDWORD or "type T, N bytes"|RESULT
#define SIM_J_REG_DELETE L"RegDeleteValueW"  // PATH\VALUE|RESULT
#define SIM_J_REG_FLUSH L"RegFlushKey"       // PATH|RESULT
#define SIM_J_REG_CLOSE L"RegCloseKey"       // PATH|RESULT
// Named objects, waits and the clock
#define SIM_J_CREATE_EVENT L"CreateEventW"  // NAME|created, opened or failed
#define SIM_J_OPEN_EVENT L"OpenEventW"      // NAME|opened or failed
#define SIM_J_CREATE_MUTEX L"CreateMutexW"  // NAME|created, opened or failed
#define SIM_J_EVENT_MODIFY L"EventModify"   // NAME|FUNC (3 set)|OK (1 or 0)
#define SIM_J_WAIT L"Wait"                  // NAME|begin, NAME|held, NAME|RESULT; *|hold, *|release
#define SIM_J_SLEEP L"Sleep"                // MILLISECONDS
// The user, the cursor, modules
#define SIM_J_MESSAGE_BOX L"MessageBoxW"                // OWNER|0xFLAGS|CAPTION|TEXT (rest)
#define SIM_J_MESSAGE_BOX_ANSWER L"MessageBoxW.answer"  // ANSWER (IDOK 1, IDYES 6, IDNO 7, ...)
#define SIM_J_LOAD_CURSOR L"LoadCursorW"                // ID
#define SIM_J_SET_CURSOR L"SetCursor"                   // wait, none or other
#define SIM_J_LOAD_LIBRARY L"LoadLibraryW"              // NAME|loaded or failed
#define SIM_J_GET_PROC L"GetProcAddressW"               // NAME|found or failed
#define SIM_J_SET_FOREGROUND L"SetForegroundWindow"  // HWND|application|FRONT|OK, or HWND|why not
// Files and the device manager
#define SIM_J_WFOPEN L"_wfopen"                                // PATH|MODE|ok, failed or refused
#define SIM_J_CREATE_FILE L"CreateFileW"                       // NAME|opened, or NAME|failed ERROR
#define SIM_J_DEVICE_INFO L"GetDeviceInformationByFileHandle"  // NAME|ok, or ?|failed ERROR
#define SIM_J_ACTIVATE L"ActivateDeviceEx"                     // KEY|ok, or KEY|failed ERROR
#define SIM_J_ACTIVATE_ENTRY L"ActivateDeviceEx.entry"         // VALUE|TYPE|LENGTH of each REGINI
#define SIM_J_DEACTIVATE L"DeactivateDevice"                   // NAME|ok, or HANDLE|failed ERROR
#define SIM_J_KERNEL L"KernelIoControl"  // 0xCODE|SIZE|INPUT|accepted or refused:ERROR
// The OS services
#define SIM_J_GET_WIRELESS L"GetWirelessDevices"     // FLAGS|COUNT, or FLAGS|why not
#define SIM_J_CHANGE_RADIO L"ChangeRadioState"       // NAME|STATE|SAVEACTION|0xHRESULT, or why not
#define SIM_J_FREE_LIST L"FreeDeviceList"            // ok or unknown
#define SIM_J_NOTIFY_OPEN L"RegistryNotifyCallback"  // PATH\VALUE|HANDLE|ok, or why not
#define SIM_J_NOTIFY_CLOSE L"RegistryCloseNotification"  // PATH\VALUE|HANDLE|ok, or why not
#define SIM_J_NOTIFY L"Notify"  // PATH\VALUE|HANDLE|0xVALUE, N bytes or missing
// The simulation itself
#define SIM_J_DEVICE \
    L"Device"                 // state|0xVALUE; power|on or off|unchanged; card|...;
                              // reboot|cold or warm|...; power|cut|N
#define SIM_J_FAULT L"Fault"  // OPERATION|TARGET|ERROR
#define SIM_J_DEBUG L"Debug"  // TEXT (rest)

#define SIM_J_WAIT_BEGIN L"begin"  // the third field of a wait that begins (or begins again)
#define SIM_J_WAIT_HELD L"held"    // ... of a held wait letting go of its event

#ifdef __cplusplus

#include <stdio.h>

#include <string>
#include <vector>

namespace handheld {

// One entry, split into its kind and fields.
struct JournalEntry {
    std::wstring text;  // as written
    std::wstring kind;
    std::vector<std::wstring> fields;
    DWORD thread = 0;  // the thread that made it (this process's journal only)

    bool Is(const wchar_t* pszKind) const { return kind == pszKind; }
    // Field i (0 is the first after the kind); empty when there is none.
    std::wstring Field(size_t i) const { return i < fields.size() ? fields[i] : std::wstring(); }
    bool StartsWith(const std::wstring& prefix) const
    {
        return text.compare(0, prefix.size(), prefix) == 0;
    }
};

// How many fields a kind has when its last one may hold bars; 0: no limit.
inline size_t JournalFieldLimit(const std::wstring& kind)
{
    if (kind == SIM_J_MESSAGE_BOX) {
        return 4;
    }
    if (kind == SIM_J_DEBUG) {
        return 1;
    }
    return 0;
}

inline JournalEntry ParseJournalEntry(const std::wstring& text, DWORD thread = 0)
{
    JournalEntry e;
    e.text = text;
    e.thread = thread;
    size_t bar = text.find(L'|');
    e.kind = text.substr(0, bar);
    size_t limit = JournalFieldLimit(e.kind);
    while (bar != std::wstring::npos) {
        size_t start = bar + 1;
        bar = limit && e.fields.size() + 1 == limit ? std::wstring::npos : text.find(L'|', start);
        e.fields.push_back(text.substr(start, bar == std::wstring::npos ? bar : bar - start));
    }
    return e;
}

// This process's journal, oldest kept entry first.
inline std::vector<JournalEntry> ReadJournal()
{
    std::vector<JournalEntry> entries;
    DWORD count = SimJournalCount();
    for (DWORD i = 0; i < count; i++) {
        std::wstring text(SimJournalEntry(i, NULL, 0), L'\0');
        SimJournalEntry(i, &text[0], (DWORD)text.size() + 1);
        entries.push_back(ParseJournalEntry(text, SimJournalThread(i)));
    }
    return entries;
}

// A device's journal.log (every process's entries, when mirrored), UTF-8 lines.
inline std::vector<JournalEntry> ReadJournalLog(const std::wstring& path)
{
    std::vector<JournalEntry> entries;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return entries;
    }
    std::string data;
    char buffer[8192];
    DWORD n;
    while (ReadFile(h, buffer, sizeof(buffer), &n, NULL) && n > 0) {
        data.append(buffer, n);
    }
    CloseHandle(h);
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        std::string line = data.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? data.size() : end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        int cch = MultiByteToWideChar(CP_UTF8, 0, line.data(), (int)line.size(), NULL, 0);
        std::wstring wide((size_t)cch, L'\0');
        MultiByteToWideChar(CP_UTF8, 0, line.data(), (int)line.size(), &wide[0], cch);
        entries.push_back(ParseJournalEntry(wide));
    }
    return entries;
}

// The entries a wait on a named event makes: it begins, and it ends woken.
inline std::wstring WaitBeginEntry(const wchar_t* pszEvent)
{
    return std::wstring(SIM_J_WAIT) + L"|" + pszEvent + L"|" + SIM_J_WAIT_BEGIN;
}
inline std::wstring WaitWokenEntry(const wchar_t* pszEvent)
{
    return std::wstring(SIM_J_WAIT) + L"|" + pszEvent + L"|0";
}
// The entry of a set of a named event (EventModify with EVENT_SET that succeeded).
inline std::wstring EventSetEntry(const wchar_t* pszEvent)
{
    return std::wstring(SIM_J_EVENT_MODIFY) + L"|" + pszEvent + L"|3|1";
}

}  // namespace handheld

#endif  // __cplusplus
