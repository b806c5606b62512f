// debug.cpp - the kernel's debug output. Each line goes to the journal, to
// the device's debug.log (which the device console follows), to the host's
// debugger output, and to standard error when HANDHELD_DEBUG=stderr. The
// device's logs rotate: at SIM_LOG_ROTATE_BYTES a log becomes NAME.1 (the
// older one goes) and starts anew.
#include "sim.h"

#include <stdarg.h>
#include <stdio.h>

static int g_toStderr = -1;

FILE* OpenDeviceLog(const wchar_t* pszName)
{
    std::wstring path = DeviceFolder() + L"\\" + pszName;
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) &&
        (info.nFileSizeHigh != 0 || info.nFileSizeLow >= SIM_LOG_ROTATE_BYTES)) {
        // Another process may be writing it this instant: then the rename
        // fails and the next line tries again.
        MoveFileExW(path.c_str(), (path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    return _wfopen(path.c_str(), L"ab");
}

void DebugLine(const wchar_t* pszText)
{
    Journal(SIM_J_DEBUG L"|%ls", pszText);
    ::OutputDebugStringW(pszText);

    FILE* f = OpenDeviceLog(L"debug.log");
    if (f) {
        char line[1200];
        int n = snprintf(line, 64, "[%llu] ", (unsigned long long)SimNow());
        n += WideCharToMultiByte(CP_UTF8, 0, pszText, -1, line + n, (int)sizeof(line) - n - 2, NULL,
                                 NULL) -
             1;
        if (n > 0 && line[n - 1] != '\n') {
            line[n++] = '\n';
        }
        fwrite(line, 1, (size_t)n, f);
        fclose(f);
    }
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
