// cli.cpp - the command line: options before or after the command, help for
// the tool and for each command, and whole numbers checked against their range.
#include "rendakctl.h"

#include <stdio.h>
#include <string.h>

struct CommandHelp {
    const char* name;
    const char* usage;    // after "rendakctl [OPTIONS] "
    const char* summary;  // one line, for the list
    const char* text;     // what it does, for its own help
};

// Every command, in the order --help lists them.
static const CommandHelp kCommands[] = {
    {"regulatory",
     "regulatory [show | list | explain DOMAIN | suggest COUNTRY | set DOMAIN | set --country "
     "COUNTRY]",
     "the stored domain, the table, today's rules, or store a row",
     "  regulatory [show]    the stored domain: index, name, code, mask, channels\n"
     "  regulatory list      the seven rows of the domain table\n"
     "  regulatory explain DOMAIN\n"
     "                       the row's code, mask and channels, and for each country it\n"
     "                       is named for (Europe ETSI: the EU member states) the channels\n"
     "                       today's rules allow, with their power limits, and what the\n"
     "                       row leaves out or adds\n"
     "  regulatory suggest COUNTRY\n"
     "                       the row to store in COUNTRY (ISO 3166 alpha-2, any case):\n"
     "                       the lawful row with the most channels; among equals the one\n"
     "                       named for the country or its region. What it gains and loses,\n"
     "                       every row's verdict there, and the stored row's. Exit 4 when\n"
     "                       no row with channels is lawful there (\"None\" is then the only\n"
     "                       lawful row); 2 for a code that is none or the database lacks.\n"
     "                       A channel allowed only without OFDM counts, marked \"802.11b\n"
     "                       only\".\n"
     "  regulatory set DOMAIN | --country COUNTRY\n"
     "                       ChangeWiFiRegulatory: DOMAIN is an index 0-6, a name as\n"
     "                       listed (any case) or us, ca, eu, fr, es, jp, none; with\n"
     "                       --country, the row suggest gives (exit 4, nothing stored,\n"
     "                       when no row with channels is lawful there). A new domain\n"
     "                       with the OEM switch on signals a reload; when no other\n"
     "                       program's worker takes it, the tool serves it, answers the\n"
     "                       question (--yes / --no) and waits until the passes settle.\n"
     "                       Checks that \"Domain\" and \"ChannelDomain\" were stored (exit 3).\n"
     "  Today's rules are those of the regulatory database the tool was built with\n"
     "  (shown with each answer); --regdb FILE reads another regulatory.db instead.\n"},
    {"status", "status", "flag, domain, driver, state value, status file, radios",
     "  The library's regulatory flag (of this run), the stored domain, the card and\n"
     "  its driver with the adapter's \"WIFI\", the state value \"WiFi\" and its bits,\n"
     "  the status file (its first bytes) and the radios. Changes nothing.\n"},
    {"on", "on", "TurnOnWiFiModule, then check that everything followed",
     "  TurnOnWiFiModule, then reads the device back: the Wi-Fi radio on, the state\n"
     "  value settled and powered (0x101), the adapter's \"WIFI\" 1, the status file\n"
     "  1. Exit 3 names whatever did not follow.\n"},
    {"off", "off", "TurnOffWiFiModule, then check that everything followed",
     "  TurnOffWiFiModule, then reads the device back: the first Wi-Fi radio off, the\n"
     "  state value settled and not powered, the adapter's \"WIFI\" 0, the status file\n"
     "  0. Exit 3 names whatever did not follow.\n"},
    {"init", "init", "InitWiFi, then check the driver and the status file",
     "  InitWiFi: with a domain stored, reloads the PC-card driver when the state\n"
     "  value is 0 and records 1 in the status file. Exit 3 when the driver is not\n"
     "  loaded afterwards or the status file does not say 1. The state notification it\n"
     "  registers belongs to this process and ends with it.\n"},
    {"direct-on", "direct-on", "DirectlyTurnOnWiFi (init, then on), checked as both",
     "  DirectlyTurnOnWiFi: InitWiFi, then TurnOnWiFiModule; checked as both.\n"},
    {"close", "close", "CloseWiFi",
     "  CloseWiFi. A notification belongs to the process that registered it, so in a\n"
     "  new process there is none to release: it reports released: false.\n"},
    {"hard-reset", "hard-reset", "HardReset: cold-reset the device (asks first)",
     "  HardReset: the kernel cold-resets the device, which restarts in its factory\n"
     "  state (every setting, the stored domain, the status file). On a terminal it\n"
     "  asks first; elsewhere it needs --yes. On the virtual clock the kernel records\n"
     "  the requests and the device does not restart.\n"},
    {"diagnose", "diagnose", "why Wi-Fi is off: each finding with the commands that fix it",
     "  Reads the device (changes nothing; it may wait on the device clock for a power\n"
     "  change to settle) and lists each finding, causes first, with the commands\n"
     "  that fix it. Exit 0 when Wi-Fi is on and nothing is wrong, else 4.\n"},
    {"watch", "watch [--count N] [--for SECONDS]", "print each change of the device as it happens",
     "  Prints the device now, then each change of the state value, the radios'\n"
     "  power, the domain, the card and driver, and reload signals journalled by other\n"
     "  programs, until Ctrl+C, N changes (--count, 1 to 2147483647) or SECONDS of\n"
     "  host time (--for, 1 to 86400). --json: one object a line, the last one an\n"
     "  \"end\" event that says why it ended.\n"},
    {"reload-signal", "reload-signal", "set the reload event, as any program may",
     "  Opens \"Olbrin_ReloadWiFi\" by name on the device and sets it once. When no\n"
     "  other program's worker takes it, the tool serves it like regulatory set does.\n"},
};

static const char kOptionsHelp[] =
    "options (before or after the command):\n"
    "  --device NAME   work on device NAME (default: $HANDHELD_DEVICE, else \"default\")\n"
    "  --json          one JSON document on stdout, success or failure (watch: one a\n"
    "                  line); docs/rendakctl.schema.json describes it\n"
    "  --yes, --no     answer the library's Yes/No question (default: No); other\n"
    "                  boxes are answered OK; every box is printed on stderr.\n"
    "                  hard-reset: --yes confirms\n"
    "  --country COUNTRY\n"
    "                  regulatory set: store the row today's rules suggest for COUNTRY\n"
    "  --regdb FILE    regulatory explain, suggest, set --country: today's rules\n"
    "                  from this regulatory.db, not the one the tool was built with\n"
    "  --answer-timeout SECONDS [--default yes|no]\n"
    "                  show every box for real, for a person to answer; one left\n"
    "                  unanswered for SECONDS (1-3600, device time) gets the default\n"
    "  -h, --help      this text; after a command, that command's\n"
    "  --version       the tool's version, alone on the line\n";

static const char kExitCodesHelp[] =
    "exit codes:\n"
    "  0    done (diagnose: Wi-Fi is on and nothing is wrong)\n"
    "  1    refused: the library showed an error box, the reload event failed, or\n"
    "       hard-reset was not confirmed; nothing more was done\n"
    "  2    bad usage; nothing was changed\n"
    "  3    the command returned but what it must change did not follow; the\n"
    "       message names what\n"
    "  4    diagnose: Wi-Fi is off or something is wrong; the findings say why.\n"
    "       regulatory suggest, set --country: no row with channels is lawful in\n"
    "       the country (set stores nothing)\n"
    "  5    the device restarted under the command (another program reset it)\n"
    "  6    the command's process ended before it finished (it crashed or was killed)\n"
    "  130  interrupted (Ctrl+C); 143 ended (SIGTERM): the message says what state\n"
    "       the device was left in\n"
    "  137  the device's power was cut: the tool ended with every process of the\n"
    "       device, without a word; the device started again from what it had\n"
    "       committed\n";

static const CommandHelp* FindCommand(const std::string& name)
{
    for (const CommandHelp& c : kCommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return NULL;
}

bool IsCommand(const std::string& word)
{
    return FindCommand(word) != NULL;
}

static std::string CommandList()
{
    std::string list;
    for (const CommandHelp& c : kCommands) {
        list += (list.empty() ? "" : ", ") + std::string(c.name);
    }
    return list;
}

void PrintHelp(const std::string& command)
{
    const CommandHelp* c = FindCommand(command);
    if (c) {
        printf("usage: rendakctl [OPTIONS] %s\n\n%s\n%s\n%s", c->usage, c->text, kOptionsHelp,
               kExitCodesHelp);
        return;
    }
    printf(
        "usage: rendakctl [OPTIONS] COMMAND [ARGS]\n"
        "\n"
        "Drives the Wi-Fi library Rendak.dll on a simulated handheld. Run it as\n"
        "tools/wine-run build/bin/rendakctl.exe.\n\n%s\ncommands (rendakctl COMMAND --help tells "
        "more):\n",
        kOptionsHelp);
    for (const CommandHelp& c : kCommands) {
        if (strlen(c.usage) > 38) {
            printf("  %s\n  %-38s %s\n", c.usage, "", c.summary);
        } else {
            printf("  %-38s %s\n", c.usage, c.summary);
        }
    }
    printf("\n%s", kExitCodesHelp);
}

bool ParseWhole(const std::string& text, long long min, long long max, long long* pValue)
{
    // Digits only: no sign, no spaces; more than 18 digits is out of any range here.
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    long long value = std::stoll(text);
    if (value < min || value > max) {
        return false;
    }
    *pValue = value;
    return true;
}

std::string ToolCommand(const std::string& args)
{
    return "rendakctl --device " + DeviceNameUtf8() + " " + args;
}

std::string ConsoleCommand(const std::string& action)
{
    return "handheld-console --device " + DeviceNameUtf8() + " --act " + action;
}

static const char kOptionList[] =
    "options: --device NAME, --json, --yes, --no, --answer-timeout SECONDS, --default yes|no, "
    "--count N and --for SECONDS (watch), --country COUNTRY (regulatory set), --regdb FILE "
    "(regulatory explain, suggest, set --country), -h/--help";

// An option's value: "--opt=value" or the next word.
static bool TakeValue(const std::vector<std::string>& words, size_t* pi, const std::string& inline_,
                      bool hasInline, std::string* pValue)
{
    if (hasInline) {
        *pValue = inline_;
        return true;
    }
    if (*pi + 1 >= words.size()) {
        return false;
    }
    *pValue = words[++*pi];
    return true;
}

int ParseCommandLine(const std::vector<std::string>& words, CommandLine* pLine)
{
    Options& opt = pLine->opt;
    bool defaultGiven = false, countGiven = false, optionsEnded = false;
    std::vector<std::string> positional;
    for (size_t i = 0; i < words.size(); i++) {
        const std::string& w = words[i];
        // "-3" is a (bad) domain, not an option.
        bool option = !optionsEnded && w.size() > 1 && w[0] == '-' && !(w[1] >= '0' && w[1] <= '9');
        if (!option) {
            positional.push_back(w);
            continue;
        }
        if (w == "--") {
            optionsEnded = true;
            continue;
        }
        size_t eq = w.find('=');
        std::string name = w.substr(0, eq), inlineValue;
        bool hasInline = eq != std::string::npos;
        if (hasInline) {
            inlineValue = w.substr(eq + 1);
        }
        std::string value;
        if ((name == "-h" || name == "--help") && !hasInline) {
            pLine->help = true;
        } else if (name == "--json" && !hasInline) {
            opt.json = true;
        } else if ((name == "--yes" || name == "--no") && !hasInline) {
            if (opt.answerGiven && opt.yes != (name == "--yes")) {
                return UsageError("give --yes or --no, not both");
            }
            opt.answerGiven = true;
            opt.yes = name == "--yes";
        } else if (name == "--answer-timeout") {
            long long seconds = 0;
            if (!TakeValue(words, &i, inlineValue, hasInline, &value)) {
                return UsageError("--answer-timeout needs a number of seconds, 1 to 3600");
            }
            if (!ParseWhole(value, 1, 3600, &seconds)) {
                return UsageError(
                    "--answer-timeout needs a whole number of seconds, 1 to 3600, not \"" + value +
                    "\"");
            }
            opt.answerTimeout = (DWORD)seconds;
        } else if (name == "--default") {
            if (!TakeValue(words, &i, inlineValue, hasInline, &value) ||
                (value != "yes" && value != "no")) {
                return UsageError("--default needs yes or no");
            }
            if (defaultGiven && opt.yes != (value == "yes")) {
                return UsageError("give --default once");
            }
            defaultGiven = true;
            opt.yes = value == "yes";
        } else if (name == "--device") {
            if (!TakeValue(words, &i, inlineValue, hasInline, &value)) {
                return UsageError("--device needs a device name");
            }
            opt.device = Wide(value);
            opt.deviceGiven = true;
        } else if (name == "--count") {
            long long n = 0;
            if (!TakeValue(words, &i, inlineValue, hasInline, &value)) {
                return UsageError("--count needs a number of changes, 1 to 2147483647");
            }
            if (!ParseWhole(value, 1, 2147483647LL, &n)) {
                return UsageError(
                    "--count needs a whole number of changes, 1 to 2147483647, not \"" + value +
                    "\"");
            }
            opt.count = (long)n;
            countGiven = true;
        } else if (name == "--for") {
            long long n = 0;
            if (!TakeValue(words, &i, inlineValue, hasInline, &value) ||
                !ParseWhole(value, 1, 86400, &n)) {
                return UsageError("--for needs a whole number of seconds, 1 to 86400" +
                                  (value.empty() ? std::string() : ", not \"" + value + "\""));
            }
            opt.forSeconds = (DWORD)n;
            countGiven = true;
        } else if (name == "--country") {
            if (!TakeValue(words, &i, inlineValue, hasInline, &value) || value.empty()) {
                return UsageError("--country needs a country code: two letters, ISO 3166 alpha-2");
            }
            opt.country = value;
        } else if (name == "--regdb") {
            if (!TakeValue(words, &i, inlineValue, hasInline, &value) || value.empty()) {
                return UsageError("--regdb needs the path of a regulatory.db");
            }
            opt.regdb = value;
        } else {
            return UsageError("unknown option \"" + w + "\"; " + kOptionList);
        }
    }
    if (!positional.empty()) {
        pLine->command = positional[0];
        pLine->args.assign(positional.begin() + 1, positional.end());
    }
    if (pLine->help) {
        return EXIT_DONE;  // help wins over everything else on the line
    }
    if (pLine->command.empty()) {
        return UsageError("no command given; commands: " + CommandList());
    }
    if (!IsCommand(pLine->command)) {
        return UsageError("unknown command \"" + pLine->command + "\"; commands: " + CommandList());
    }
    if (countGiven && pLine->command != "watch") {
        return UsageError("--count and --for are options of watch, not of " + pLine->command);
    }
    std::string sub = pLine->command == "regulatory" && !pLine->args.empty() ? pLine->args[0] : "";
    if (!opt.country.empty() && sub != "set") {
        return UsageError("--country is an option of regulatory set, not of " +
                          (sub.empty() ? pLine->command : pLine->command + " " + sub));
    }
    if (!opt.regdb.empty() && sub != "explain" && sub != "suggest" &&
        !(sub == "set" && !opt.country.empty())) {
        return UsageError(
            "--regdb goes with regulatory explain, regulatory suggest and regulatory set "
            "--country");
    }
    if (opt.answerGiven && (opt.answerTimeout || defaultGiven)) {
        return UsageError(
            "--yes/--no answer at once; --answer-timeout with --default leaves the answer to a "
            "person: give one or the other");
    }
    if (defaultGiven && !opt.answerTimeout) {
        return UsageError("--default goes with --answer-timeout SECONDS");
    }
    return EXIT_DONE;
}
