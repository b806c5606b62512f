// debug.cpp - the kernel's debug output. Each line goes to the journal, to
// the device's debug.log (which the device console follows), to the host's
// debugger output, and to standard error when HANDHELD_DEBUG=stderr. The
// device's logs rotate: at SIM_LOG_ROTATE_BYTES a log becomes NAME.1 (the
// older one goes) and starts anew.
#include "sim.h"

#include <atomic>
#include <mutex>
#include <stdarg.h>
#include <stdio.h>

static std::atomic<int> g_toStderr{-1};

// The device's lock on its logs: processes of the device append one at a time.
// Appending is a seek to the end and a write, which the host does not make one
// step even for append-only handles: lines of processes writing at once
// overwrote each other. Abandoned by a killed writer, it is simply taken.
class LogLock {
public:
    LogLock()
    {
        std::wstring name = DeviceObjectName(L"Handheld.Logs");
        std::lock_guard<std::mutex> hold(s_lock);
        if (s_name != name) {
            if (s_handle) {
                CloseHandle(s_handle);
            }
            s_handle = CreateMutexW(NULL, FALSE, name.c_str());
            s_name = name;
        }
        h_ = s_handle;
        if (h_) {
            WaitForSingleObject(h_, INFINITE);
        }
    }
    ~LogLock()
    {
        if (h_) {
            ReleaseMutex(h_);
        }
    }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;

private:
    HANDLE h_ = NULL;
    static std::mutex s_lock;  // guards the cached handle
    static std::wstring s_name;
    static HANDLE s_handle;
};
std::mutex LogLock::s_lock;
std::wstring LogLock::s_name;
HANDLE LogLock::s_handle = NULL;

void AppendDeviceLog(const wchar_t* pszName, const char* pLine, size_t cb)
{
    std::wstring path = DeviceFolder() + L"\\" + pszName;
    LogLock lock;
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) &&
        (info.nFileSizeHigh != 0 || info.nFileSizeLow >= SIM_LOG_ROTATE_BYTES)) {
        // Another process may be writing it this instant: then the rename
        // fails and the next line tries again.
        MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    // A log made anew (the first line, or one after a rotation) in the folder
    // of a device deleted a moment ago would keep the folder: it goes again.
    if (GetLastError() != ERROR_ALREADY_EXISTS && !DeviceKeysExist()) {
        CloseHandle(h);
        DeleteFileW(path.c_str());
        RemoveDirectoryW(DeviceFolder().c_str());
        return;
    }
    DWORD written = 0;
    WriteFile(h, pLine, (DWORD)cb, &written, NULL);
    CloseHandle(h);
}

void DebugLine(const wchar_t* pszText)
{
    Journal(SIM_J_DEBUG L"|%ls", pszText);
    ::OutputDebugStringW(pszText);

    char line[1200];
    int n = snprintf(line, 64, "[%llu] ", (unsigned long long)SimNow());
    n += WideCharToMultiByte(CP_UTF8, 0, pszText, -1, line + n, (int)sizeof(line) - n - 2, NULL,
                             NULL) -
         1;
    if (n > 0 && line[n - 1] != '\n') {
        line[n++] = '\n';
    }
    AppendDeviceLog(L"debug.log", line, (size_t)n);
    if (g_toStderr < 0) {
        wchar_t v[16] = L"";
        GetEnvironmentVariableW(L"HANDHELD_DEBUG", v, 16);
        g_toStderr = wcscmp(v, L"stderr") == 0;
    }
    if (g_toStderr) {
        fwprintf(stderr, L"debug: %ls%ls", pszText,
                 (*pszText && pszText[wcslen(pszText) - 1] == L'\n') ? L"" : L"\n");
    }
}

extern "C" {

void WINAPIV CeNKDbgPrintfW(LPCWSTR lpszFmt, ...)
{
    va_list args;
    va_start(args, lpszFmt);
    std::wstring text = FormatV(lpszFmt, args);
    va_end(args);
    DebugLine(text.c_str());
}

void WINAPI CeOutputDebugStringW(LPCWSTR lpOutputString)
{
    DebugLine(lpOutputString ? lpOutputString : L"");
}

}  // extern "C"
