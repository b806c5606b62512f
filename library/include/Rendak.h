// Rendak.h - the Wi-Fi control library's ten exports.
//
// Every export runs synchronously on the caller's thread. Failures reach the
// user through the library's own message boxes, never the caller. Only
// IfWiFiRegulatorySet, IfWiFiHasTurnedOn and GetLastWiFiRegulatoryIndex give a
// value that callers may use; CloseWiFi's result is informational.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef RENDAKAPI
#define RENDAKAPI __declspec(dllimport)
#endif

// Stores the regulatory domain of row index (0 "None" .. 6 "Japan MKK").
RENDAKAPI void WINAPI ChangeWiFiRegulatory(int index);
// Stops following Wi-Fi state changes; 0 when nothing was being followed.
RENDAKAPI int WINAPI CloseWiFi(void);
// InitWiFi, then TurnOnWiFiModule.
RENDAKAPI void WINAPI DirectlyTurnOnWiFi(void);
// Row 0..6 of the stored domain code; 0 when none or unknown.
RENDAKAPI int WINAPI GetLastWiFiRegulatoryIndex(void);
// Cold-resets the device; returns only when the platform refuses or fails.
RENDAKAPI void WINAPI HardReset(void);
// 1 when the radio was last left on by this library, else 0.
RENDAKAPI BOOL WINAPI IfWiFiHasTurnedOn(void);
// 1 once a regulatory domain is known to be set.
RENDAKAPI BOOL WINAPI IfWiFiRegulatorySet(void);
// Checks the regulatory domain and starts the Wi-Fi stack.
RENDAKAPI void WINAPI InitWiFi(void);
// Switches the radio off and records it.
RENDAKAPI void WINAPI TurnOffWiFiModule(void);
// Switches the radio on and records it; refuses without a regulatory domain.
RENDAKAPI void WINAPI TurnOnWiFiModule(void);

#ifdef __cplusplus
}
#endif
