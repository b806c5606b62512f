// journal.cpp - the record of platform calls that tests and tools read.
// A process keeps its newest SIM_JOURNAL_CAPACITY entries: a long-lived
// program (the panel, a watch) would otherwise grow with every call it makes.
#include "sim.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdarg.h>
#include <stdio.h>

struct JournalEntry {
    std::wstring text;
    DWORD thread;
};

static std::mutex g_journalLock;
static std::condition_variable g_journalGrew;
static std::deque<JournalEntry> g_journal;  // the newest entries, oldest first
static DWORD g_dropped = 0;                 // entries dropped since the last clear
static std::atomic<int> g_mirror{-1};       // -1: not yet decided; 1: mirror to journal.log

// Appends to the device's journal.log too, so another process can follow.
static void MirrorToFile(const std::wstring& line)
{
    if (g_mirror < 0) {
        wchar_t v[8] = L"";
        g_mirror = GetEnvironmentVariableW(L"HANDHELD_JOURNAL", v, 8) > 0 && v[0] == L'1';
    }
    if (!g_mirror) {
        return;
    }
    char buffer[2048];
    int n = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), (int)line.size(), buffer,
                                sizeof(buffer) - 2, NULL, NULL);
    buffer[n] = '\n';
    AppendDeviceLog(L"journal.log", buffer, (size_t)n + 1);
}

std::wstring FormatV(const wchar_t* pszFormat, va_list args)
{
    wchar_t buffer[1024];
    _vsnwprintf(buffer, 1023, pszFormat, args);
    buffer[1023] = L'\0';
    return buffer;
}

void Journal(const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    SimJournalAddV(pszFormat, args);
    va_end(args);
}

extern "C" {

SIM_API void WINAPI SimJournalAddV(LPCWSTR pszFormat, va_list args)
{
    SimJournalAdd(FormatV(pszFormat, args).c_str());
}

SIM_API void WINAPI SimJournalAdd(LPCWSTR pszEntry)
{
    {
        std::lock_guard<std::mutex> lock(g_journalLock);
        if (g_journal.size() >= SIM_JOURNAL_CAPACITY) {
            g_journal.pop_front();
            g_dropped++;
        }
        g_journal.push_back({pszEntry, GetCurrentThreadId()});
    }
    g_journalGrew.notify_all();
    MirrorToFile(pszEntry);
}

SIM_API void WINAPI SimJournalClear(void)
{
    std::lock_guard<std::mutex> lock(g_journalLock);
    g_journal.clear();
    g_dropped = 0;
}

SIM_API DWORD WINAPI SimJournalDropped(void)
{
    std::lock_guard<std::mutex> lock(g_journalLock);
    return g_dropped;
}

SIM_API DWORD WINAPI SimJournalCount(void)
{
    std::lock_guard<std::mutex> lock(g_journalLock);
    return (DWORD)g_journal.size();
}

SIM_API DWORD WINAPI SimJournalEntry(DWORD dwIndex, LPWSTR pszBuffer, DWORD cch)
{
    std::lock_guard<std::mutex> lock(g_journalLock);
    if (dwIndex >= g_journal.size()) {
        return 0;
    }
    const std::wstring& text = g_journal[dwIndex].text;
    if (pszBuffer && cch > 0) {
        size_t n = text.size() < cch - 1 ? text.size() : cch - 1;
        wmemcpy(pszBuffer, text.c_str(), n);
        pszBuffer[n] = L'\0';
    }
    return (DWORD)text.size();
}

SIM_API BOOL WINAPI SimJournalWaitFor(LPCWSTR pszPrefix, DWORD dwCount, DWORD dwTimeoutMs)
{
    size_t cchPrefix = wcslen(pszPrefix);
    auto enough = [&] {
        DWORD n = 0;
        for (const JournalEntry& e : g_journal) {
            n += e.text.compare(0, cchPrefix, pszPrefix) == 0;
        }
        return n >= dwCount;
    };
    std::unique_lock<std::mutex> lock(g_journalLock);
    return g_journalGrew.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), enough);
}

SIM_API DWORD WINAPI SimJournalThread(DWORD dwIndex)
{
    std::lock_guard<std::mutex> lock(g_journalLock);
    return dwIndex < g_journal.size() ? g_journal[dwIndex].thread : 0;
}

}  // extern "C"
