// rendakctl.h - what the pieces of the command-line tool share.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// Exit codes, as --help lists them.
#define EXIT_DONE 0
#define EXIT_REFUSED 1    // the library showed an error box
#define EXIT_USAGE 2      // bad command line; nothing was changed
#define EXIT_NOT_TAKEN 3  // on/off returned, but the radio or the state value did not follow
#define EXIT_FINDINGS 4   // diagnose: Wi-Fi is off or something is wrong (the findings say why)

#define ADAPTER_KEY L"Comm\\TRXD385L1\\Parms"
#define VENDOR_KEY L"SOFTWARE\\Velmont"
#define STATE_KEY L"System\\State\\Hardware"
#define STATUS_FILE_PATH L"\\Application Data\\WiFi_status.txt"
#define RELOAD_EVENT L"Olbrin_ReloadWiFi"
#define OEM_KEY L"SOFTWARE\\OEMGeneric"

// State value bits, as the simulated adapter defines them (docs/radios.md).
#define STATE_ADAPTER 0x100
#define STATE_SWITCHING 0x002
#define STATE_POWERED 0x001

// --- domains.cpp: the regulatory domain table ------------------------------------
struct Domain {
    int index;
    const char* name;   // as the panel lists it
    const char* alias;  // two-letter form, or NULL
    DWORD code;
    DWORD mask;
    const char* note;  // where today's rules differ from the table, or NULL
};
extern const Domain g_aDomains[7];
// Row for "3", "France", "fr" (case-insensitive); -1 when it names none.
int ParseDomain(const std::string& word);
int DomainIndexOfCode(DWORD code);  // -1 when no row has it
std::vector<int> ChannelsOf(DWORD mask);
std::string ChannelText(DWORD mask);  // "1-11", "10, 11", "none"
std::string DomainChoices();          // the valid words, for messages

// --- state.cpp: what the device shows -----------------------------------------------
struct Radio {
    std::wstring name;
    std::wstring display;
    DWORD type;
    bool on;
};
std::optional<DWORD> DeviceDword(const wchar_t* key, const wchar_t* value);
std::optional<std::string> StatusFileText();  // nullopt when there is no file
std::vector<Radio> DeviceRadios();
DWORD JournalCountOf(const wchar_t* pszPrefix);  // entries of this process's journal
std::string StateBitsText(DWORD value);  // "adapter present, switching, powered"
std::vector<std::string> StateBitNames(DWORD value);
std::string StateBitsJson(DWORD value);  // ["adapter present","powered"]
const char* RadioTypeName(DWORD type);
// The radios as the device model keeps them, with whether each is listed now
// (the adapter's only while its card is in and its driver loaded).
struct SimRadioInfo {
    std::string name;
    std::string display;
    DWORD type;
    bool on;
    bool adapter;
    bool listed;
};
std::vector<SimRadioInfo> ModelRadios();
bool CardInserted();
bool DriverActive();
// Sleeps on the device's clock (coredll's Sleep): on the virtual clock it
// returns at once, after the device's timers that fall due have run.
void DeviceSleep(DWORD ms);

// --- output.cpp: text and JSON ----------------------------------------------------
std::string Utf8(const std::wstring& text);
std::string JsonString(const std::string& text);
std::string JsonNumberOrNull(const std::optional<DWORD>& value);
std::string Hex(DWORD value, int digits);

// --- boxes.cpp: the library's message boxes -----------------------------------------
// Every box is printed on stderr and answered: OK, or for a Yes/No question
// Yes when bYes, else No. With a time-out (seconds > 0), every box is shown
// for real instead, and one left unanswered for that long (device time) is
// answered as above.
void InstallMessageBoxAnswers(bool bYes, DWORD dwTimeoutSeconds);
LONG ErrorBoxesShown();

// --- worker.cpp: this process's reload worker ----------------------------------------
// The library's worker is held (its wait on the reload event) from the start, so the
// tool never takes a reload signal that it would not serve.
bool WorkerHeld();
// After this process has set the reload event: makes sure the reload is served,
// by another process's worker or by this one (then waits until it is done).
void ServeOwnReloadSignal();

// --- commands.cpp ----------------------------------------------------------------
struct Options {
    bool json = false;
    bool yes = false;
    DWORD answerTimeout = 0;  // seconds; 0: answer at once
    std::wstring device;
};
int CmdRegulatory(const Options& opt, const std::vector<std::string>& args);
int CmdStatus(const Options& opt, const std::vector<std::string>& args);
int CmdSwitch(const Options& opt, const std::string& command, const std::vector<std::string>& args);
int CmdWatch(const Options& opt, const std::vector<std::string>& args);
int CmdReloadSignal(const Options& opt, const std::vector<std::string>& args);
int CmdDiagnose(const Options& opt, const std::vector<std::string>& args);
// verify.cpp: after TurnOnWiFiModule / TurnOffWiFiModule, what did not follow
// (empty when the radio and the state value show the change).
std::vector<std::string> SwitchShortfalls(bool bOn);
int UsageError(const std::string& message);  // prints it and the hint, returns EXIT_USAGE
