// globals.cpp - the library's module-level state, with its values at load.
#include "internal.h"

LONG volatile g_bReloadRun = 1;
HINSTANCE g_hModule = NULL;
HANDLE g_hReloadEvent = NULL;
HANDLE g_hReloadThread = NULL;
HREGNOTIFY volatile g_hWiFiNotify = NULL;
LONG volatile g_lWiFiState = 0;
LONG volatile g_bRegulatorySet = 0;
LONG volatile g_lCurrentDomain = 0;
LONG volatile g_lRequestedDomain = 0;
LONG volatile g_lChannelDomain = 0;
LONG volatile g_lOemWiFi = 0;
LONG volatile g_lDriverWiFi = 0;
HANDLE volatile g_hPCCardDevice = NULL;

WCHAR g_szPromptText[PROMPT_TEXT_CCH];
WCHAR g_szPromptCaption[PROMPT_CAPTION_CCH];
CRITICAL_SECTION g_csPrompt;
