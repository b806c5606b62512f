// console.h - what the pieces of the device console share, and the control
// identifiers that its tests read and press.
#pragma once

#include <windows.h>

// The device's facts: what the library keeps (keys, status file, reload
// event) and what the simulated adapter shows (state bits).
#include <handheld_radio.h>
#include <rendak_store.h>

#include <string>
#include <vector>

#define CONSOLE_CLASS L"HandheldConsole"
#define CONSOLE_TITLE L"Handheld console"

// --- Views: read-only texts and lists -----------------------------------------
#define IDC_DEVICE 100              // device name and boot count
#define IDC_RADIOS 101              // list box: one line per radio
#define IDC_STATE 102               // "WiFi" under System\State\Hardware, bits named
#define IDC_WIFI_PARAM 103          // the adapter's "WIFI" parameter
#define IDC_DOMAIN 104              // the adapter's "Domain" parameter and its name
#define IDC_CHANNELS 105            // "ChannelDomain" as a row of channels 1 to 14 (drawn)
#define IDC_OEM 106                 // the OEM Wi-Fi switch
#define IDC_LOCALE 107              // Nls SystemLCID
#define IDC_STATUS_FILE 108         // \Application Data\WiFi_status.txt
#define IDC_CARD 109                // the PC card and its driver
#define IDC_KERNEL 110              // kernel requests received
#define IDC_CLOCK 111               // the device clock
#define IDC_FAULTS 112              // faults and refusals armed on the device
#define IDC_LOG 113                 // list box: the device's debug output
#define IDC_MESSAGE 114             // what the last control did
#define IDC_CHANNEL_ROW 115         // the channels 1 to 14, drawn, allowed ones filled
#define IDC_COUNTRY_RULES 116       // what today's rules allow in the country field's country
#define IDC_COUNTRY_SUGGESTION 117  // the row to store there
#define IDC_COUNTRY_STORED 118      // the stored domain there: lawful or not

// --- Controls: each makes the platform act --------------------------------------
#define IDC_EJECT 200
#define IDC_INSERT 201
#define IDC_OEM_ON 202
#define IDC_OEM_OFF 203
#define IDC_LOCALE_LIST 204  // combo box of locales
#define IDC_LOCALE_SET 205
#define IDC_REFUSE_RESET 206   // check box: the kernel refuses cold resets
#define IDC_FAIL_NEXT_ACT 207  // the next driver activation fails (a one-time fault)
#define IDC_FAIL_ACT 208       // check box: every driver activation fails
#define IDC_STUCK 209          // check box: the state value keeps its switching bit
#define IDC_SIGNAL 210         // signal the reload event (RELOAD_EVENT_NAME)
#define IDC_CLOCK_LIST 211     // combo box of clock speeds
#define IDC_CLOCK_SET 212
#define IDC_FACTORY 213       // restore the factory state
#define IDC_CLEAR_FAULTS 214  // clear every fault armed on the device
#define IDC_POWER_CUT 215     // pull the battery: the device's processes end, it starts again
#define IDC_COUNTRY_LIST 216  // combo box: a country, typed or chosen

// --- device.cpp: reading the device as its host keys hold it ----------------------
// Reads go to the host keys by path each time, so that a device restored to
// its factory image by another process (a cold reboot) is read afresh.
extern WCHAR g_device[64];                          // the device this console shows
std::wstring DeviceHostKey(const wchar_t* pszSub);  // HKCU path below the device
bool HostDword(const wchar_t* pszSub, const wchar_t* pszValue, DWORD* pdwValue);
bool HostString(const wchar_t* pszSub, const wchar_t* pszValue, std::wstring* pText);
bool DeviceDword(const wchar_t* pszKey, const wchar_t* pszValue, DWORD* pdwValue);  // below HKLM
DWORD Setting(const wchar_t* pszName, DWORD dwDefault);
DWORD KernelCount(const wchar_t* pszName);

struct RadioLine {
    std::wstring name, display;
    DWORD type;
    bool on, adapter;
};
std::vector<RadioLine> DeviceRadios();
std::vector<std::wstring> DeviceFaults();  // "Operation|target[|once] = error"

// --- view.cpp: texts of the views --------------------------------------------------
std::wstring WideText(const std::string& utf8);
std::string Utf8Text(const std::wstring& text);
std::wstring StateText(bool present, DWORD value);
std::wstring DomainName(DWORD code);  // "" when no row of the table has it
std::wstring LocaleName(DWORD lcid);  // "" when unknown
std::wstring ChannelText(bool present, DWORD mask);
void RefreshViews(HWND hWnd);  // every view but the log and the clock
// Sets a view's text only when it differs, so that it does not flicker.
void SetTextIfChanged(HWND hWnd, int id, const std::wstring& text);
// The locale and clock selectors show the device's settings; a choice made
// in them is kept until the setting itself changes.
void SyncSelectors(HWND hWnd);
void RefreshClock(HWND hWnd);
void DrawChannelRow(const DRAWITEMSTRUCT* pdis);

// --- watch.cpp: following the device ----------------------------------------------
// Events signalled when the device's HKLM, settings or kernel record change.
DWORD WatchHandles(HANDLE* aHandles, DWORD cMax);
void WatchStart();
#define WATCH_MAX 8
void WatchRearm(const bool* abFired);  // after signals: the keys may have been made anew
bool WatchIsStale();                   // a watched key was deleted, or could not be watched
void LogTail(HWND hList, bool bFirst);

// --- country.cpp: the country field ------------------------------------------------------
void FillCountryList(HWND hWnd);  // every country of the regulatory data
void RefreshCountry(HWND hWnd);   // its three lines, for the country chosen and the stored domain
void OnCountryChanged(HWND hWnd, int code);  // CBN_SELCHANGE or CBN_EDITCHANGE
// --act country-CC: the field's lines for CC. 0, or 2 for a code that is
// none or that the regulatory data does not hold (said in *pSay).
int CountryAct(const std::wstring& country, std::wstring* pSay);

// --- actions.cpp: the controls and the actions they do --------------------------------
struct Act {
    const wchar_t* name;     // --act NAME
    int id;                  // the control that does it
    const wchar_t* control;  // the control, as --help names it
    bool adapter;            // touches the adapter: a button runs it in a helper process
    bool (*pfn)(std::wstring* pSay);
};
// A control's command; FALSE when the id is not a control's.
BOOL RunControl(HWND hWnd, int id);
// --act NAME: does it in this process and says what it did on standard
// output. 0 when done, 1 when it failed, 2 for an unknown name (listed then)
// or a country-CC whose country is none.
int RunAct(const wchar_t* pszAction);
std::wstring ActList();  // every action with its control, for --help
void SetMessage(HWND hWnd, const std::wstring& text);

// --- window.cpp ------------------------------------------------------------------------
HWND CreateConsoleWindow(HINSTANCE hInst);
// Places the console beside the top-level window titled pszTitle once it
// shows (checked on the console's timer, for at most a minute).
void PlaceBeside(HWND hWnd, const std::wstring& title);
void PlaceBesideTick(HWND hWnd);
void FillChoiceLists(HWND hWnd);

struct Choice {
    const wchar_t* text;
    DWORD value;
    DWORD scale;         // clock choices only
    const wchar_t* act;  // its --act name
};
extern const Choice kLocales[];
extern const size_t kLocaleCount;
extern const Choice kClocks[];
extern const size_t kClockCount;
