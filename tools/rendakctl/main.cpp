// main.cpp - rendakctl: drives the Wi-Fi library (Rendak.dll) on a simulated
// handheld, for people and scripts. The command line, the device, and the
// command table; each device command runs in a runner process (supervise.cpp).
#include "rendakctl.h"

#include <handheld.h>

#include <shellapi.h>
#include <stdio.h>

// The name the document gives the command: "regulatory set", "status", ...
static std::string CommandName(const CommandLine& line)
{
    if (line.command != "regulatory") {
        return line.command;
    }
    std::string sub = line.args.empty() ? "show" : line.args[0];
    for (const char* known : {"show", "list", "explain", "suggest", "set"}) {
        if (sub == known) {
            return "regulatory " + sub;
        }
    }
    return "regulatory";
}

// The commands with a runner of their own; the others switch the radio.
static const struct {
    const char* name;
    int (*run)(const Options& opt, const std::vector<std::string>& args);
} kRunners[] = {
    {"regulatory", CmdRegulatory},      {"status", CmdStatus},     {"watch", CmdWatch},
    {"reload-signal", CmdReloadSignal}, {"diagnose", CmdDiagnose}, {"hard-reset", CmdHardReset},
};

static int Dispatch(const CommandLine& line)
{
    for (const auto& runner : kRunners) {
        if (line.command == runner.name) {
            return runner.run(line.opt, line.args);
        }
    }
    return CmdSwitch(line.opt, line.command, line.args);  // on, off, init, direct-on, close
}

int main()
{
    int argc = 0;
    LPWSTR* argvW = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> words;
    bool json = false;
    for (int i = 1; i < argc; i++) {
        words.push_back(Utf8(argvW[i]));
        json = json || words.back() == "--json";  // so that a bad line gets JSON too
    }
    LocalFree(argvW);
    if (words.size() == 1 && words[0] == "--version") {
        printf("rendakctl %s\n", RENDAK_VERSION);
        return EXIT_DONE;
    }
    ReportBegin(json, "");
    CommandLine line;
    if (ParseCommandLine(words, &line) != EXIT_DONE) {
        return EXIT_USAGE;
    }
    if (line.help) {
        PrintHelp(IsCommand(line.command) ? line.command : "");
        return EXIT_DONE;
    }
    ReportBegin(line.opt.json, CommandName(line));
    std::string commandWords = line.command;
    for (const std::string& a : line.args) {
        commandWords += " " + (a.find(' ') == std::string::npos ? a : "\"" + a + "\"");
    }
    SetCommandWords(commandWords);

    if (line.opt.deviceGiven && (SimDeviceNameProblem(line.opt.device.c_str()) != NULL ||
                                 !SimSelectDevice(line.opt.device.c_str()))) {
        return UsageError("bad device name \"" + Utf8(line.opt.device) +
                          "\": use letters, digits, '-', '_' or '.', at most 40, not starting "
                          "with '.'");
    }
    SetDeviceShown(SimDeviceName());

    if (!IsRunner()) {
        if (line.command == "hard-reset") {
            if (int rc = ConfirmHardReset(line.opt)) {
                return rc;
            }
        }
        return Supervise(line);
    }
    RunnerWatchSupervisor();
    InstallMessageBoxAnswers(line.opt.yes, line.opt.answerTimeout);
    int rc = Dispatch(line);
    fflush(stdout);
    SimSetMessageBoxHook(NULL, NULL);
    return rc;
}
