// regulatory.cpp - the regulatory domains: choosing one by its row, storing
// it for the adapter driver, and reading the stored one back as a row.
#include "internal.h"

static BOOL IsDomainRow(int index)
{
    return index >= 0 && index < RENDAK_DOMAIN_COUNT;
}

// The row of a domain code; 0 ("None") for a code the table does not hold.
static int RowOfCode(DWORD code)
{
    for (int i = 0; i < RENDAK_DOMAIN_COUNT; i++) {
        if (g_aRendakDomains[i].dwCode == code) {
            return i;
        }
    }
    return 0;
}

// Writes the code for the adapter and the channel mask for the vendor key.
// The mask is the one of row index; for an index outside the table it is
// the mask of the code itself, so the code and mask stored always agree.
LONG StoreRegulatoryDomain(DWORD code, int index)
{
    HKEY hKey;
    LONG result = CreateKeyForWriting(REG_ADAPTER_KEY, &hKey);
    if (result != ERROR_SUCCESS) {
        WCHAR szLine[80];
        wsprintfW(szLine, L"RegCreateKeyExW failed with %d\n", result);
        OutputDebugStringW(szLine);
        return result;
    }
    OutputDebugStringW(L"RegCreateKeyExW succeeded\n");
    SetDword(hKey, L"Domain", code);
    RegCloseKey(hKey);

    DWORD mask = g_aRendakDomains[IsDomainRow(index) ? index : RowOfCode(code)].dwMask;

    result = CreateKeyForWriting(REG_VENDOR_KEY, &hKey);
    if (result == ERROR_SUCCESS) {
        SetDword(hKey, L"Domain", VENDOR_DOMAIN_MARK);
        SetDword(hKey, L"ChannelDomain", mask);
        RegFlushKey(hKey);
        RegCloseKey(hKey);
    }
    AtomicWrite(&g_lChannelDomain, (LONG)mask);
    return result;
}

// Writes the "no domain" state mark, which the state notification delivers,
// and gives the platform a second to take it in.
static void MarkDomainCleared(void)
{
    ShowWaitCursor();
    HKEY hKey;
    if (CreateKeyForWriting(REG_STATE_KEY, &hKey) == ERROR_SUCCESS) {
        SetDword(hKey, L"WIFI", VENDOR_DOMAIN_MARK);
        RegCloseKey(hKey);
    }
    Sleep(1000);
    SetCursor(NULL);
}

void WINAPI ChangeWiFiRegulatory(int index)
{
    if (IsDomainRow(index)) {
        AtomicWrite(&g_lRequestedDomain, (LONG)g_aRendakDomains[index].dwCode);
    }
    LONG code = AtomicRead(&g_lRequestedDomain);
    if (code != AtomicRead(&g_lCurrentDomain)) {
        StoreRegulatoryDomain((DWORD)code, index);
        ReadOemWiFiSwitch(L"WIFI");
        if (AtomicRead(&g_lOemWiFi) != 0) {
            if (code != 0) {
                EventModify(g_hReloadEvent, EVENT_SET);
            } else {
                MarkDomainCleared();
            }
        }
    }
    AtomicWrite(&g_bRegulatorySet, 1);
}

int WINAPI GetLastWiFiRegulatoryIndex(void)
{
    if (AtomicRead(&g_lCurrentDomain) == 0) {
        ReadDriverDomain();
    }
    return RowOfCode((DWORD)AtomicRead(&g_lCurrentDomain));
}
