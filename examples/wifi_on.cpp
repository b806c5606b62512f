// wifi_on.cpp - sets the regulatory domain given on the command line, switches
// Wi-Fi on, and reports what the library says afterwards.
//
//   wifi-on DOMAIN      a row 0..6, a domain's name ("Europe ETSI") or its
//                       first word ("europe"), in any case
//
// Exit codes: 0 the domain is stored and Wi-Fi was left on; 1 the library did
// not do it (it told the user why in its own message box); 2 bad usage.
#include <Rendak.h>
#include <rendak_domains.h>

#include <stdio.h>
#include <wchar.h>
#include <wctype.h>

// The row that ARG names, or -1.
static int FindRow(const wchar_t* arg)
{
    if (arg[0] >= L'0' && arg[0] <= L'6' && arg[1] == L'\0') {
        return arg[0] - L'0';
    }
    for (int row = 0; row < RENDAK_DOMAIN_COUNT; row++) {
        const wchar_t* name = g_aRendakDomains[row].pszName;
        size_t n = 0;
        while (arg[n] != L'\0' && towlower(arg[n]) == towlower(name[n])) {
            n++;
        }
        // The whole name, or its first word ("USA" of "USA, FCC").
        if (arg[n] == L'\0' && (name[n] == L'\0' || name[n] == L' ' || name[n] == L',')) {
            return row;
        }
    }
    return -1;
}

int wmain(int argc, wchar_t** argv)
{
    int row = argc == 2 ? FindRow(argv[1]) : -1;
    if (row < 0) {
        fwprintf(stderr, L"usage: wifi-on DOMAIN\ndomains:");
        for (int i = 0; i < RENDAK_DOMAIN_COUNT; i++) {
            fwprintf(stderr, L" %d \"%ls\"%ls", i, g_aRendakDomains[i].pszName,
                     i + 1 < RENDAK_DOMAIN_COUNT ? L"," : L"\n");
        }
        return 2;
    }

    // Each call blocks this thread until it is done: seconds on a real device.
    ChangeWiFiRegulatory(row);
    InitWiFi();
    TurnOnWiFiModule();

    // Only these three exports give results that a caller may use.
    int stored = GetLastWiFiRegulatoryIndex();
    BOOL set = IfWiFiRegulatorySet();
    BOOL on = IfWiFiHasTurnedOn();
    wprintf(L"regulatory domain: %ls (row %d)\n", g_aRendakDomains[stored].pszName, stored);
    wprintf(L"regulatory set: %ls\n", set ? L"yes" : L"no");
    wprintf(L"Wi-Fi left on: %ls\n", on ? L"yes" : L"no");
    return stored == row && row != 0 && on ? 0 : 1;
}
