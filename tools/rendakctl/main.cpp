// main.cpp - rendakctl: drives the Wi-Fi library (Rendak.dll) on a simulated
// handheld, for people and scripts. Global options, the command table, and
// the move onto the device that --device names.
#include "rendakctl.h"

#include <handheld.h>

#include <shellapi.h>
#include <ctype.h>
#include <stdlib.h>
#include <stdio.h>

static const char g_szHelp[] =
    "usage: rendakctl [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "Drives the Wi-Fi library Rendak.dll on a simulated handheld.\n"
    "\n"
    "options (before the command):\n"
    "  --device NAME   work on device NAME (default: $HANDHELD_DEVICE, else \"default\")\n"
    "  --json          machine-readable output\n"
    "  --yes, --no     answer the library's Yes/No questions (default: No);\n"
    "                  other boxes are answered OK; every box is printed on stderr\n"
    "  --answer-timeout SECONDS [--default yes|no]\n"
    "                  show every box for real, for a person to answer; one left\n"
    "                  unanswered for SECONDS (device time) gets the default\n"
    "                  (a question: --default, else No; other boxes: OK)\n"
    "  --help          this text\n"
    "\n"
    "commands:\n"
    "  regulatory [show]         the stored domain: index, name, code, mask, channels\n"
    "  regulatory list           the seven domains of the table, with notes where\n"
    "                            today's rules allow more channels\n"
    "  regulatory set DOMAIN     store a domain: an index 0-6, a name as in the list\n"
    "                            (any case), or us, ca, eu, fr, es, jp, none\n"
    "  status                    regulatory flag and domain, radios, the state value\n"
    "                            \"WiFi\" and its bits, the adapter's \"WIFI\", the status file\n"
    "  on | off                  TurnOnWiFiModule | TurnOffWiFiModule, then checks that\n"
    "                            the radio and the state value followed\n"
    "  diagnose                  why Wi-Fi is off: each finding with what fixes it\n"
    "  init | direct-on | close  InitWiFi | DirectlyTurnOnWiFi | CloseWiFi\n"
    "  hard-reset                HardReset (cold-resets the device)\n"
    "  watch [--count N]         print each change of the radios' power, the state\n"
    "                            value, the domain, the driver and reload signals until\n"
    "                            Ctrl+C or N changes (--json: one object a line)\n"
    "  reload-signal             set the reload event \"Olbrin_ReloadWiFi\", as any program may\n"
    "\n"
    "exit codes:\n"
    "  0  done (diagnose: Wi-Fi is on and nothing is wrong)\n"
    "  1  the library refused (it showed an error box), or the reload event failed\n"
    "  2  bad usage; nothing was changed\n"
    "  3  on/off returned but did not take effect: a radio or the state value did\n"
    "     not follow (card out, state stuck, ...); the message says what\n"
    "  4  diagnose: Wi-Fi is off or something is wrong; the findings say why\n";

static bool ValidDeviceName(const std::wstring& name)
{
    if (name.empty() || name.size() > SIM_MAX_DEVICE_NAME || name[0] == L'.') {
        return false;
    }
    for (wchar_t c : name) {
        if (!(iswalnum(c) || c == L'-' || c == L'_' || c == L'.')) {
            return false;
        }
    }
    return true;
}

// The library creates its reload event when it loads, on the device that
// HANDHELD_DEVICE names; switching devices later would leave its worker on the
// old device. So for another device the tool starts itself again with the
// variable set, and passes the child's exit code on. This process's own worker
// is held (worker.cpp) and never takes a signal of the device it loaded on.
static int RunOnDevice(const std::wstring& device)
{
    if (!SetEnvironmentVariableW(L"HANDHELD_DEVICE", device.c_str())) {
        fprintf(stderr, "rendakctl: cannot set HANDHELD_DEVICE\n");
        return EXIT_USAGE;
    }
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(NULL, exe, MAX_PATH);
    std::wstring commandLine = GetCommandLineW();
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe, &commandLine[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        fprintf(stderr, "rendakctl: cannot start itself on device %s (error %lu)\n",
                Utf8(device).c_str(), GetLastError());
        return EXIT_USAGE;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = EXIT_USAGE;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return (int)code;
}

// Ctrl+C reaches the child too; the parent only waits for it to end.
static BOOL WINAPI IgnoreBreak(DWORD dwType)
{
    (void)dwType;
    return TRUE;
}

static int Dispatch(const Options& opt, const std::string& command,
                    const std::vector<std::string>& args)
{
    if (command == "regulatory") {
        return CmdRegulatory(opt, args);
    }
    if (command == "status") {
        return CmdStatus(opt, args);
    }
    if (command == "watch") {
        return CmdWatch(opt, args);
    }
    if (command == "reload-signal") {
        return CmdReloadSignal(opt, args);
    }
    if (command == "diagnose") {
        return CmdDiagnose(opt, args);
    }
    static const char* const aSwitches[] = {"on",   "off",       "hard-reset",
                                            "init", "direct-on", "close"};
    for (const char* s : aSwitches) {
        if (command == s) {
            return CmdSwitch(opt, command, args);
        }
    }
    return UsageError("unknown command \"" + command +
                      "\"; commands: regulatory, status, on, off, diagnose, hard-reset, init, "
                      "direct-on, close, watch, reload-signal");
}

int main()
{
    int argc = 0;
    LPWSTR* argvW = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> words;
    for (int i = 1; i < argc; i++) {
        words.push_back(Utf8(argvW[i]));
    }
    Options opt;
    bool answered = false, deviceGiven = false, defaultGiven = false;
    size_t i = 0;
    for (; i < words.size() && words[i].compare(0, 2, "--") == 0; i++) {
        const std::string& w = words[i];
        if (w == "--help") {
            fputs(g_szHelp, stdout);
            return EXIT_DONE;
        } else if (w == "--json") {
            opt.json = true;
        } else if (w == "--yes" || w == "--no") {
            if (answered && opt.yes != (w == "--yes")) {
                return UsageError("give --yes or --no, not both");
            }
            answered = true;
            opt.yes = w == "--yes";
        } else if (w == "--answer-timeout") {
            const std::string n = i + 1 < words.size() ? words[i + 1] : "";
            char* end = NULL;
            long seconds = strtol(n.c_str(), &end, 10);
            if (n.empty() || *end != '\0' || !isdigit((unsigned char)n[0]) || seconds < 1 ||
                seconds > 3600) {
                return UsageError("--answer-timeout needs a whole number of seconds, 1 to 3600");
            }
            i++;
            opt.answerTimeout = (DWORD)seconds;
        } else if (w == "--default") {
            const std::string a = i + 1 < words.size() ? words[i + 1] : "";
            if (a != "yes" && a != "no") {
                return UsageError("--default needs yes or no");
            }
            if (defaultGiven && opt.yes != (a == "yes")) {
                return UsageError("give --default once");
            }
            i++;
            defaultGiven = true;
            opt.yes = a == "yes";
        } else if (w == "--device") {
            if (i + 1 >= words.size()) {
                return UsageError("--device needs a device name");
            }
            i++;
            opt.device = argvW[i + 1];
            deviceGiven = true;
        } else {
            return UsageError("unknown option \"" + w +
                              "\"; options: --device NAME, --json, --yes, --no, "
                              "--answer-timeout SECONDS, --default yes|no, --help");
        }
    }
    if (answered && (opt.answerTimeout || defaultGiven)) {
        return UsageError(
            "--yes/--no answer at once; --answer-timeout with --default leaves the "
            "answer to a person: give one or the other");
    }
    if (defaultGiven && !opt.answerTimeout) {
        return UsageError("--default goes with --answer-timeout SECONDS");
    }
    if (deviceGiven && !ValidDeviceName(opt.device)) {
        return UsageError("bad device name \"" + Utf8(opt.device) +
                          "\": use letters, digits, '-', '_' or '.', at most 40, not "
                          "starting with '.'");
    }
    if (i >= words.size()) {
        return UsageError("no command given");
    }
    std::string command = words[i];
    std::vector<std::string> args(words.begin() + (long)i + 1, words.end());
    LocalFree(argvW);

    if (deviceGiven) {
        wchar_t current[SIM_MAX_DEVICE_NAME + 2] = L"";
        DWORD n = GetEnvironmentVariableW(L"HANDHELD_DEVICE", current, SIM_MAX_DEVICE_NAME + 2);
        if (n == 0 || n > SIM_MAX_DEVICE_NAME || opt.device != current) {
            SetConsoleCtrlHandler(IgnoreBreak, TRUE);
            return RunOnDevice(opt.device);
        }
        SimSelectDevice(opt.device.c_str());
    }
    InstallMessageBoxAnswers(opt.yes, opt.answerTimeout);
    int rc = Dispatch(opt, command, args);
    fflush(stdout);
    SimSetMessageBoxHook(NULL, NULL);
    return rc;
}
