// reload.cpp - the reload worker: on each signal of the reload event it asks
// the user and re-applies the Wi-Fi configuration by reload passes.
#include "internal.h"

#include <string.h>

#define YES_PASS_GAP_MS 500
#define SWITCH_ON_PAUSE_MS 4500
#define SWITCH_ON_MAX_READS 10
#define SWITCH_OFF_STEP_MS 500
#define SWITCH_OFF_STEP_COUNT 100
#define SWITCH_OFF_COUNT_LIMIT 3000
#define SETTLE_MS 800

// Handles every message waiting for the calling thread, without waiting.
void PumpPendingMessages(void)
{
    MSG msg;
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// One reload pass; its direction comes from the adapter's "WIFI" parameter:
// non-zero switches the radio off, 0 switches it on.
void ReloadWiFi(void)
{
    ShowWaitCursor();
    ReadDriverWiFiParam(L"WIFI");
    if (AtomicRead(&g_lDriverWiFi) == 0) {
        RadioOnWiFiDevices();
        WriteDriverWiFiParam(L"WIFI", 1);
        HKEY hKey;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_STATE_KEY, 0, KEY_ALL_ACCESS, &hKey) ==
            ERROR_SUCCESS) {
            WaitWhileWiFiSwitching(hKey, SWITCH_ON_PAUSE_MS, SWITCH_ON_MAX_READS);
            RegCloseKey(hKey);
        }
    } else {
        RadioOffWiFiDevice();
        WriteDriverWiFiParam(L"WIFI", 0);
        // The state notification brings the radio's word down to 0.
        for (int counter = 0; AtomicRead(&g_lWiFiState) != 0 && counter < SWITCH_OFF_COUNT_LIMIT;
             counter += SWITCH_OFF_STEP_COUNT) {
            PumpPendingMessages();
            Sleep(SWITCH_OFF_STEP_MS);
        }
    }
    Sleep(SETTLE_MS);
    SetCursor(NULL);
    PumpPendingMessages();
}

// Takes a consistent copy of the reload question.
static void CopyPromptStrings(LPWSTR pszText, LPWSTR pszCaption)
{
    EnterCriticalSection(&g_csPrompt);
    memcpy(pszText, g_szPromptText, sizeof(g_szPromptText));
    memcpy(pszCaption, g_szPromptCaption, sizeof(g_szPromptCaption));
    LeaveCriticalSection(&g_csPrompt);
}

DWORD WINAPI ReloadThreadProc(LPVOID lpParameter)
{
    (void)lpParameter;
    if (AtomicRead(&g_bReloadRun) != 1) {
        return 0;
    }
    for (;;) {
        // A failed wait would fail again at once: end instead of spinning.
        if (WaitForSingleObject(g_hReloadEvent, INFINITE) != WAIT_OBJECT_0) {
            NKDbgPrintfW(L"ReloadThreadProc: cannot wait on the reload event; the worker ends\r\n");
            return 0;
        }
        WCHAR szText[PROMPT_TEXT_CCH];
        WCHAR szCaption[PROMPT_CAPTION_CCH];
        CopyPromptStrings(szText, szCaption);
        int answer =
            MessageBoxW(GetForegroundWindow(), szText, szCaption, MB_YESNO | MB_ICONINFORMATION);
        if (answer == IDYES) {
            WriteDriverWiFiParam(L"WIFI", 1);
            ReloadWiFi();
            WriteDriverWiFiParam(L"WIFI", 0);
            Sleep(YES_PASS_GAP_MS);
            ReloadWiFi();
        } else {
            WriteDriverWiFiParam(L"WIFI", 1);
            ReloadWiFi();
            AtomicWrite(&g_bRegulatorySet, 1);
        }
        if (AtomicRead(&g_bReloadRun) != 1) {
            return 0;
        }
    }
}
