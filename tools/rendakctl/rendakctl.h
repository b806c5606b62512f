// rendakctl.h - what the pieces of the command-line tool share.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "json.h"

#include <device_domains.h>
// The device's facts: what the library keeps (keys, status file, reload
// event) and what the simulated adapter shows (state bits, power times).
#include <handheld_journal.h>
#include <handheld_radio.h>
#include <rendak_store.h>

// Exit codes, as --help lists them.
#define EXIT_DONE 0
#define EXIT_REFUSED 1    // the library refused (error box), the event failed, or not confirmed
#define EXIT_USAGE 2      // bad command line; nothing was changed
#define EXIT_NOT_TAKEN 3  // the command returned, but what it must change did not follow
#define EXIT_FINDINGS 4   // diagnose: Wi-Fi is off or something is wrong (the findings say why)
#define EXIT_NO_LAWFUL_ROW \
    4                     // regulatory suggest, set --country: no row with channels is lawful there
#define EXIT_RESTARTED 5  // the device restarted under the command (another program reset it)
#define EXIT_LOST 6       // the command's process ended before it finished (crash, or killed)
#define EXIT_INTERRUPTED 130  // Ctrl+C (SIGINT)
#define EXIT_TERMINATED 143   // the tool was ended (SIGTERM)

// --- cli.cpp: the command line ---------------------------------------------------
struct Options {
    bool json = false;
    bool yes = false;          // the answer to the library's Yes/No question
    bool answerGiven = false;  // --yes or --no
    DWORD answerTimeout = 0;   // seconds; 0: answer at once
    std::wstring device;       // the device worked on (resolved by main)
    bool deviceGiven = false;
    long count = 0;        // watch --count; 0: until interrupted
    DWORD forSeconds = 0;  // watch --for; 0: until interrupted
    std::string country;   // regulatory set --country: as given
    std::string regdb;     // --regdb FILE: today's rules from this database, not the built-in one
};
struct CommandLine {
    Options opt;
    std::string command;  // "" when none was given
    std::vector<std::string> args;
    bool help = false;
};
// EXIT_DONE, or EXIT_USAGE after reporting what is wrong.
int ParseCommandLine(const std::vector<std::string>& words, CommandLine* pLine);
void PrintHelp(const std::string& command);  // the whole tool's when command is ""
bool IsCommand(const std::string& word);
bool ParseWhole(const std::string& text, long long min, long long max, long long* pValue);
// "rendakctl --device NAME ARGS", for next steps and fixes.
std::string ToolCommand(const std::string& args);
std::string ConsoleCommand(const std::string& action);

// --- domains.cpp: the regulatory domain table (tools/domains) as the tool names it ---
typedef DeviceDomain Domain;
// Row for "3", "France", "fr" (case-insensitive); -1 when it names none.
int ParseDomain(const std::string& word);
int DomainIndexOfCode(DWORD code);  // -1 when no row has it
std::vector<int> ChannelsOf(DWORD mask);
std::string ChannelText(DWORD mask);  // "1-11", "10, 11", "none"
std::string DomainChoices();          // the valid words, for messages

// --- state.cpp: what the device shows -----------------------------------------------
std::optional<DWORD> DeviceDword(const wchar_t* key, const wchar_t* value);
struct StatusFile {
    bool exists = false;
    bool folder = false;     // the path is a folder, not a file
    bool readOnly = false;   // the file is read-only
    std::string start;       // its first bytes, at most STATUS_SHOWN_MAX
    bool truncated = false;  // there is more than what start shows
    bool saysOn = false;     // as the library's own reader (IfWiFiHasTurnedOn) sees it
};
#define STATUS_SHOWN_MAX 32
StatusFile ReadStatusFile();
// Where a device path is in the device's file store on the host ("\\": the store).
std::wstring StorePath(const wchar_t* devicePath);
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
const SimRadioInfo* AdapterOf(const std::vector<SimRadioInfo>& radios);
bool CardInserted();
bool DriverActive();
std::vector<std::string> StateBitNames(DWORD value);
std::string StateBitsText(DWORD value);  // "adapter present, switching, powered"
const char* RadioTypeName(DWORD type);
// Entries of this process's journal that match.
DWORD JournalCountOf(bool (*match)(const handheld::JournalEntry& entry));
// A function of the device's core library by name: the tool binds to the
// desktop's libraries first, and reaches the device's own where it matters.
template <typename F>
F CoreFunction(const char* name)
{
    return reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"coredll.dll"), name)));
}
// A named event of the device, opened as any program on it opens one (in the
// device's namespace), and a handle the device's core library made, closed
// there too: the platform keeps what it knows of a handle until then.
HANDLE OpenDeviceEvent(DWORD access, const wchar_t* name);
void CloseDeviceHandle(HANDLE h);
// Sleeps on the device's clock (coredll's Sleep): on the virtual clock it
// returns at once, after the device's timers that fall due have run.
void DeviceSleep(DWORD ms);
// The device time a power change under way takes to settle at most: the
// slower of this device's power changes and a margin; beyond it, it is stuck.
#define SETTLE_MARGIN_MS 500
DWORD SettleBoundMs();
// Waits (device time, at most ms) until the state value's switching bit clears.
std::optional<DWORD> WaitForSettledState(DWORD ms);
std::vector<std::string> ArmedFaults();  // "Operation|target[|once] = error N"
std::string DeviceNameUtf8();            // "" until main has settled the device
void SetDeviceShown(const std::wstring& device);

// --- shapes.cpp: one JSON shape and one text for each thing the device shows -------
JsonValue ChannelsJson(DWORD mask);  // [1, 2, ...], channels 1 to 14
JsonValue DomainJson(std::optional<DWORD> code, std::optional<DWORD> mask);
JsonValue DomainRowJson(const Domain& d);
JsonValue StateJson(std::optional<DWORD> value);
std::string StateText(std::optional<DWORD> value);
JsonValue DriverJson();
std::string DriverText();
JsonValue RadioJson(const SimRadioInfo& r);
std::string RadioText(const SimRadioInfo& r);
JsonValue StatusFileJson(const StatusFile& f);
std::string StatusFileText(const StatusFile& f);
std::string DomainText(std::optional<DWORD> code, std::optional<DWORD> mask);
// The whole device as left: domain, driver, state, status file, radios.
void AddSnapshot(JsonValue& doc);
void PrintSnapshot(FILE* out);

// --- output.cpp: text helpers ---------------------------------------------------------
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);
std::string Hex(DWORD value, int digits);

// --- report.cpp: the one document a command leaves --------------------------------------
struct ErrorInfo {
    std::string kind;  // usage, refused, not_taken, declined, restarted, interrupted, ...
    std::string message;
    std::vector<std::string> details;
    std::string next;  // the next step to take
};
void ReportBegin(bool bJson, const std::string& command);
bool ReportJson();
const std::string& ReportCommand();
JsonValue& ReportFields();  // the command's own fields, in order
// Claims the output and prints the document (JSON) or the error (text, on
// stderr). Returns rc. When an interruption has claimed the output first,
// it never returns: that path ends the process.
int ReportFinish(int rc, const std::optional<ErrorInfo>& error = std::nullopt);
// From any thread: the command was cut short; reports what it left and ends
// the process with rc.
[[noreturn]] void ReportCutShort(int rc, const ErrorInfo& error);
int UsageError(const std::string& message);  // reports it, returns EXIT_USAGE
// For a command that ends its own way (watch): claims the output, false when
// another thread already has; and the ending it prints when cut short.
bool ReportClaim(int rc);
void ReportOnCutShort(void (*pfn)(int rc, const ErrorInfo& error));
// This process runs a command for a supervising rendakctl (supervise.cpp).
void ReportSetSharedResult(volatile LONG* pShared);

// --- boxes.cpp: the library's message boxes -----------------------------------------
// Every box is printed on stderr and answered: OK, or for a Yes/No question
// Yes when bYes, else No. With a time-out (seconds > 0), every box is shown
// for real instead, and one left unanswered for that long (device time) is
// answered as above.
void InstallMessageBoxAnswers(bool bYes, DWORD dwTimeoutSeconds);
LONG ErrorBoxesShown();
DWORD AnswerTimeoutMs();  // 0 when boxes are answered at once
std::string LastErrorBoxText();
std::optional<bool> LastQuestionAnswer();  // Yes (true) or No to the reload question
JsonValue BoxesJson();

// --- progress.cpp: what a wait is for, on a terminal ------------------------------------
// Between Begin and End, a wait longer than a second shows one line on
// standard error, when it is a terminal: what is awaited, device time
// elapsed and the bound.
void ProgressBegin(const std::string& what, DWORD dwBoundMs);
void ProgressEnd();
bool StderrIsTerminal();
bool StdinIsTerminal();

// --- worker.cpp: this process's reload worker ----------------------------------------
// After this process has set the reload event: makes sure the reload is
// served, by another process's worker or by this one (then waits until its
// passes have settled). The result for the document.
struct ReloadResult {
    std::string servedBy;               // "this tool", "another program", or "nobody"
    std::optional<bool> answer;         // when this tool's worker asked
    std::string outcome;                // what it did, in a sentence
    std::vector<std::string> problems;  // what did not follow the answer
};
// The reload is the worker's doing, not the command's: what did not follow its
// answer is said (problems, a note on stderr), and does not change the exit code.
ReloadResult ServeOwnReloadSignal();
void PrintReload(const ReloadResult& r);  // text only
JsonValue ReloadJson(const ReloadResult& r);

// --- the commands ------------------------------------------------------------------
int CmdRegulatory(const Options& opt, const std::vector<std::string>& args);
int CmdStatus(const Options& opt, const std::vector<std::string>& args);
int CmdSwitch(const Options& opt, const std::string& command, const std::vector<std::string>& args);
int CmdHardReset(const Options& opt, const std::vector<std::string>& args);
int CmdWatch(const Options& opt, const std::vector<std::string>& args);
int CmdReloadSignal(const Options& opt, const std::vector<std::string>& args);
int CmdDiagnose(const Options& opt, const std::vector<std::string>& args);
int NoMoreWords(const std::vector<std::string>& args, size_t used, const std::string& command);
int Refused();  // the library showed an error box: its text and the next step
int NotTaken(const std::string& message, const std::vector<std::string>& problems);

// --- rules.cpp: today's rules, from the regulatory database --------------------------
// --regdb FILE: today's rules from that database instead of the built-in data.
// EXIT_DONE, or EXIT_USAGE after saying why the file cannot be used.
int LoadTodaysRules(const std::string& file);
int CmdExplain(const std::vector<std::string>& args);  // regulatory explain DOMAIN
int CmdSuggest(const std::vector<std::string>& args);  // regulatory suggest COUNTRY
// regulatory set --country: the row today's rules suggest, said and added to
// the document. EXIT_DONE with *pIndex set; else the exit code, reported:
// EXIT_USAGE for a bad country, EXIT_NO_LAWFUL_ROW when only "None" is lawful.
int SuggestForSet(const std::string& country, int* pIndex);
// verify.cpp: what did not follow a command (empty when everything did).
std::vector<std::string> SwitchShortfalls(bool bOn);
std::vector<std::string> InitShortfalls(std::optional<DWORD> stateBefore);
std::string ShortfallNextStep(const std::string& command);
// The next step after the library refused with this error box.
std::string RefusalNextStep(const std::string& boxText);

// --- supervise.cpp: the command runs in a process of its own --------------------------
// The tool runs each device command in a child process tied to the device,
// and reports for it when it is ended from outside (the device restarted,
// SIGTERM) or interrupted (Ctrl+C is passed on to it).
bool IsRunner();
int Supervise(const CommandLine& line);
// In the runner: ends the process cleanly when the supervisor says so.
void RunnerWatchSupervisor();
// hard-reset: --yes, or a "yes" typed on a terminal. EXIT_DONE when confirmed.
int ConfirmHardReset(const Options& opt);
void SetCommandWords(const std::string& words);  // "regulatory set fr", for next steps
void NoteWatchLines(long lines);                 // for the supervisor's last line of watch
