// settings.cpp - the registry values and the status file that the library
// keeps, read and written one operation at a time.
#include "internal.h"

#include <string.h>

// Creates or opens a key below HKEY_LOCAL_MACHINE for writing.
LONG CreateKeyForWriting(LPCWSTR keyPath, HKEY* phKey)
{
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, NULL, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, NULL, phKey, NULL);
}

LONG SetDword(HKEY hKey, LPCWSTR name, DWORD value)
{
    return RegSetValueExW(hKey, name, 0, REG_DWORD, (const BYTE*)&value, sizeof(value));
}

// Reads the platform's state value under the spelling given, from its key
// opened with access. FALSE when the key cannot be opened; *pbRead says
// whether the value itself was read (*pState stays as it was otherwise).
BOOL ReadStateValue(REGSAM access, LPCWSTR name, DWORD* pState, BOOL* pbRead)
{
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, access, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    BOOL bRead = QueryDword(hKey, name, pState);
    RegCloseKey(hKey);
    if (pbRead != NULL) {
        *pbRead = bRead;
    }
    return TRUE;
}

// The wait cursor is a system cursor: the device gives it for any module
// handle, the library's own included.
HCURSOR ShowWaitCursor(void)
{
    return SetCursor(LoadCursorW(g_hModule, IDC_WAIT));
}

// A read succeeds only when the value is exactly one 4-byte word: a shorter
// value would leave stale bytes in the result, a longer one does not fit.
BOOL QueryDword(HKEY hKey, LPCWSTR name, DWORD* pValue)
{
    DWORD data = 0;
    DWORD cb = sizeof(data);
    if (RegQueryValueExW(hKey, name, NULL, NULL, (LPBYTE)&data, &cb) != ERROR_SUCCESS ||
        cb != sizeof(data)) {
        return FALSE;
    }
    *pValue = data;
    return TRUE;
}

// Reads one DWORD of a key opened for reading into *pTarget; 0 when the key
// or the value cannot be read.
static void ReadDwordInto(LPCWSTR keyPath, REGSAM access, LPCWSTR valueName, LONG volatile* pTarget)
{
    HKEY hKey;
    DWORD value = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, access, &hKey) != ERROR_SUCCESS) {
        AtomicWrite(pTarget, 0);
        return;
    }
    if (!QueryDword(hKey, valueName, &value)) {
        value = 0;
    }
    AtomicWrite(pTarget, (LONG)value);
    RegCloseKey(hKey);
}

void ReadOemWiFiSwitch(LPCWSTR name)
{
    if (wcscmp(name, L"WIFI") == 0) {
        ReadDwordInto(REG_OEM_KEY, KEY_READ, L"WIFI", &g_lOemWiFi);
    }
}

void ReadDriverWiFiParam(LPCWSTR name)
{
    // Any name beginning with "WIFI" is the adapter's parameter: only the
    // first four characters are compared.
    if (wcsncmp(name, L"WIFI", 4) == 0) {
        ReadDwordInto(REG_ADAPTER_KEY, KEY_READ, L"WIFI", &g_lDriverWiFi);
    }
}

// Writes the adapter's "WIFI" parameter and commits it at once: the driver
// reads it after a restart, so it must survive an abrupt end.
void WriteDriverWiFiParam(LPCWSTR name, DWORD value)
{
    HKEY hKey;
    LONG result = CreateKeyForWriting(REG_ADAPTER_KEY, &hKey);
    if (result != ERROR_SUCCESS) {
        NKDbgPrintfW(L"RegCreateKeyExW failed with %d", result);
        return;
    }
    if (wcsncmp(name, L"WIFI", 4) == 0) {  // as in ReadDriverWiFiParam
        result = SetDword(hKey, L"WIFI", value);
        if (result != ERROR_SUCCESS) {
            // The same line as a failed create: the device's diagnostics look
            // for this one text, whichever step of the write failed.
            NKDbgPrintfW(L"RegCreateKeyExW failed with %d", result);
        }
    }
    RegFlushKey(hKey);
    RegCloseKey(hKey);
}

void SyncWiFiStateFromDriver(int flag)
{
    if (flag == 0) {
        ReadDriverWiFiParam(L"WIFI");
        AtomicWrite(&g_lWiFiState, AtomicRead(&g_lDriverWiFi) == 1 ? 1 : 0);
    }
    // Read again whatever the flag: the global then holds the parameter as it
    // is when this returns, also if it changed since the first read.
    ReadDriverWiFiParam(L"WIFI");
}

void ReadDriverDomain(void)
{
    ReadDwordInto(REG_ADAPTER_KEY, KEY_ALL_ACCESS, L"Domain", &g_lCurrentDomain);
}

#define STATUS_NUMBER_CCH 256

// The status file holds "1" when the radio was last left on, "0" when off.
void WriteStatusFile(int value)
{
    FILE* file = _wfopen(STATUS_FILE, L"wt");
    if (file == NULL) {
        return;
    }
    fwprintf(file, L"%d", value);
    fclose(file);
}

// The status file says "on" exactly when its first item is the number 1: an
// optional "+", any number of leading zeros, then the digit 1 alone. A number
// beyond 32 bits must not wrap around to 1 as a plain "%d" conversion would.
static int StatusNumberIsOne(FILE* file)
{
    WCHAR szChunk[STATUS_NUMBER_CCH] = L"";
    if (fwscanf(file, L" %255[-+0123456789]", szChunk) != 1) {
        return 0;
    }
    LPCWSTR p = szChunk;
    if (*p == L'+') {
        p++;
    }
    for (;;) {
        while (*p == L'0') {
            p++;
        }
        // A chunk of nothing but zeros that filled the buffer: the number goes on.
        if (*p != L'\0' || wcslen(szChunk) < STATUS_NUMBER_CCH - 1) {
            break;
        }
        if (fwscanf(file, L"%255[-+0123456789]", szChunk) != 1) {
            return 0;
        }
        p = szChunk;
    }
    return p[0] == L'1' && !(p[1] >= L'0' && p[1] <= L'9');
}

int ReadStatusFile(void)
{
    FILE* file = _wfopen(STATUS_FILE, L"rt");
    if (file == NULL) {
        return 0;
    }
    int value = StatusNumberIsOne(file);
    fclose(file);
    return value;
}
