// entry.cpp - the OS-services library's entry point, and its journal entries.
#include "ossvcs.h"

#include <stdarg.h>
#include <stdio.h>

void Note(const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    SimJournalAddV(pszFormat, args);
    va_end(args);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved)
{
    (void)hInstance, (void)lpReserved;
    if (dwReason == DLL_PROCESS_ATTACH) {
        NotifyServiceStart();
    } else if (dwReason == DLL_PROCESS_DETACH) {
        NotifyServiceStop();
    }
    return TRUE;
}
