// progress.cpp - one line on standard error while the tool waits for more than
// a second, when standard error is a terminal: what is awaited, the device
// time elapsed and the bound. Waits nest (a box shown while a reload is
// served): the innermost is shown.
#include "rendakctl.h"

#include <handheld.h>

#include <mutex>
#include <stdio.h>

#define PROGRESS_AFTER_MS 1000  // host time before the line appears
#define PROGRESS_EVERY_MS 250

struct Wait {
    std::string what;
    DWORD boundMs;
    ULONGLONG deviceStart;  // SimNow() when it began
    ULONGLONG hostStart;    // GetTickCount64() when it began
};

static std::mutex g_progressLock;  // guards the three below
static std::vector<Wait> g_waits;  // the waits under way, innermost last
static size_t g_shownLength = 0;   // length of the line on the terminal now
static HANDLE g_thread = NULL;

static bool IsConsole(DWORD which)
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != FALSE;
}

bool StderrIsTerminal()
{
    static const bool terminal = IsConsole(STD_ERROR_HANDLE);
    return terminal;
}

bool StdinIsTerminal()
{
    return IsConsole(STD_INPUT_HANDLE);
}

// Overwrites the line shown with text (or clears it); the lock is held.
static void ShowLine(const std::string& text)
{
    std::string line = "\r" + text;
    if (text.size() < g_shownLength) {
        line += std::string(g_shownLength - text.size(), ' ') + "\r" + text;
    }
    fputs(line.c_str(), stderr);
    fflush(stderr);
    g_shownLength = text.size();
}

static DWORD WINAPI ProgressThread(void*)
{
    for (;;) {
        Sleep(PROGRESS_EVERY_MS);
        std::lock_guard<std::mutex> lock(g_progressLock);
        if (g_waits.empty()) {
            continue;
        }
        const Wait& w = g_waits.back();
        if (GetTickCount64() - w.hostStart < PROGRESS_AFTER_MS) {
            continue;
        }
        char figures[96];
        snprintf(figures, sizeof(figures), ": %.1f s of at most %lu s (device time)",
                 (double)(SimNow() - w.deviceStart) / 1000.0,
                 (unsigned long)((w.boundMs + 999) / 1000));
        std::optional<DWORD> state = DeviceDword(REG_STATE_KEY, REG_STATE_VALUE);
        ShowLine("rendakctl: " + w.what + figures +
                 (state ? ", state value " + Hex(*state, 3) : std::string()));
    }
}

void ProgressBegin(const std::string& what, DWORD dwBoundMs)
{
    if (!StderrIsTerminal()) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_progressLock);
    g_waits.push_back({what, dwBoundMs, SimNow(), GetTickCount64()});
    if (!g_thread) {
        g_thread = CreateThread(NULL, 0, ProgressThread, NULL, 0, NULL);
    }
}

void ProgressEnd()
{
    if (!StderrIsTerminal()) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_progressLock);
    if (!g_waits.empty()) {
        g_waits.pop_back();
    }
    if (g_shownLength) {
        ShowLine("");
        fputs("\r", stderr);
        g_shownLength = 0;
    }
}
