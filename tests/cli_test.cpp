// The command-line tool, run as a program on the test's device: the command
// line, the one JSON document every command leaves (checked against
// docs/rendakctl.schema.json), exits that say what did not follow, the
// reload the tool serves, answers and confirmations, restarts under a
// command, diagnose with fixes that work, watch, and bounded reads.
#include "json_check.h"
#include "regdb_image.h"
#include "testing.h"

#include <regdata.h>

#include <handheld_devmgr.h>
#include <handheld_journal.h>
#include <handheld_radio.h>
#include <rendak_store.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

const Json& Schema()
{
    static Json schema = [] {
        std::ifstream in(SOURCE_DIR "/docs/rendakctl.schema.json", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        bool ok = false;
        Json s = ParseJsonText(text.str(), &ok);
        EXPECT_TRUE(ok) << "docs/rendakctl.schema.json is not JSON";
        return s;
    }();
    return schema;
}

// One line of --json output: it must be one JSON value that follows the schema.
Json Conforming(const std::string& line)
{
    bool ok = false;
    Json v = ParseJsonText(line, &ok);
    EXPECT_TRUE(ok) << "not one JSON value: " << line;
    std::vector<std::string> errors = SchemaErrors(Schema(), v, Schema());
    std::string all;
    for (const std::string& e : errors) {
        all += "\n  " + e;
    }
    EXPECT_TRUE(errors.empty()) << line << all;
    return v;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

struct Row {
    int index;
    const char* name;
    const char* alias;
    DWORD code;
    DWORD mask;
    std::vector<int> channels;
};
const Row kRows[] = {
    {0, "None", "none", 0x00, 0x0000, {}},
    {1, "USA, FCC", "us", 0x10, 0x07FF, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
    {2, "Canada IC", "ca", 0x20, 0x07FF, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
    {3, "Europe ETSI", "eu", 0x30, 0x1FFF, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
    {4, "France", "fr", 0x32, 0x1E00, {10, 11, 12, 13}},
    {5, "Spain", "es", 0x31, 0x0600, {10, 11}},
    {6, "Japan MKK", "jp", 0x40, 0x3FFF, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}},
};

std::string Lower(std::string s)
{
    for (char& c : s) {
        c = (char)tolower((unsigned char)c);
    }
    return s;
}

std::wstring StatusFileOnHost()
{
    std::wstring path(SimStorePath(STATUS_FILE, NULL, 0), L'\0');
    SimStorePath(STATUS_FILE, path.data(), (DWORD)path.size() + 1);
    return path;
}

// The text is taken once: a program's output is not asked for again to report it.
#define HAS(text, part)                                                  \
    do {                                                                 \
        const auto& has_text_ = (text);                                  \
        EXPECT_NE(has_text_.find(part), std::string::npos) << has_text_; \
    } while (0)

class Cli : public DeviceTest {
public:
    void SetUp() override
    {
        DeviceTest::SetUp();
        // This process loads the library too: its worker is the "other program".
        (void)IfWiFiRegulatorySet();
        SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"virtual");
        device_ = Narrow(SimDeviceName());
        // This process's worker stays out of the tools' reloads unless a test
        // lets it in, so that no pass of its own runs beside a tool's command.
        SimHoldEventWaits(TRUE);
        // The tool asks for confirmation only on a terminal: never here.
        hNul_ = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
        SetStdHandle(STD_INPUT_HANDLE, hNul_);
    }
    // This process's worker waits on the reload event like another program's.
    void LetOwnWorkerTakeSignals()
    {
        const std::wstring begin = handheld::WaitBeginEntry(RELOAD_EVENT_NAME);
        size_t begins = CountJournal(begin);
        SimHoldEventWaits(FALSE);
        ASSERT_TRUE(SimJournalWaitFor(begin.c_str(), (DWORD)begins + 1, 10000));
        SimJournalClear();
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"HANDHELD_CLOCK", NULL);
        SetEnvironmentVariableW(L"HANDHELD_JOURNAL", NULL);
        CloseHandle(hNul_);
        DeviceTest::TearDown();
    }
    RunResult Run(const std::string& args) { return RunProgram(L"rendakctl.exe", Widen(args)); }
    // Runs with --json: stdout must be exactly one document, following the
    // schema, whose exit_code is the process's.
    Json Doc(const std::string& args, DWORD* pExit = NULL)
    {
        RunResult r = Run("--json " + args);
        if (pExit) {
            *pExit = r.exitCode;
        }
        return DocOf(r, args);
    }
    // The one document a run with --json printed, as Doc checks it.
    static Json DocOf(const RunResult& r, const std::string& args)
    {
        std::vector<std::string> lines = Lines(r.out);
        EXPECT_EQ(lines.size(), 1u) << args << ":\n" << r.out << r.err;
        Json doc = Conforming(lines.empty() ? "" : lines[0]);
        EXPECT_EQ(doc["exit_code"].n, (double)r.exitCode) << args;
        return doc;
    }
    std::string device_;
    HANDLE hNul_ = NULL;
};

void ExpectDomain(const Json& d, const Row& row)
{
    EXPECT_EQ(d["index"].n, row.index);
    EXPECT_EQ(d["name"].s, row.name);
    EXPECT_EQ(d["alias"].s, row.alias);
    EXPECT_EQ(d["code"].n, row.code);
    EXPECT_EQ(d["mask"].n, row.mask);
    std::vector<int> channels;
    for (const Json& c : d["channels"].items) {
        channels.push_back((int)c.n);
    }
    EXPECT_EQ(channels, row.channels);
}

// --- the command line ----------------------------------------------------------------

TEST_F(Cli, HelpForTheToolAndForEachCommandWhereverItIsAsked)
{
    RunResult r = Run("--help");
    EXPECT_EQ(r.exitCode, 0u);
    for (const char* word :
         {"--device",
          "--json",
          "--yes",
          "--no",
          "--answer-timeout",
          "--default",
          "regulatory [show | list | explain DOMAIN | suggest COUNTRY | set DOMAIN",
          "--country COUNTRY",
          "--regdb FILE",
          "status",
          "diagnose",
          "hard-reset",
          "direct-on",
          "watch [--count N]",
          "reload-signal",
          "exit codes",
          "bad usage",
          "5    the device restarted",
          "6    the command's process",
          "130",
          "143",
          "137  the device's power was cut"}) {
        HAS(r.out, word);
    }
    EXPECT_EQ(Run("-h").out, r.out);
    // Each command's own help, asked for in each way, all at once.
    std::vector<std::string> commands = {"regulatory", "status",    "on",           "off",
                                         "init",       "direct-on", "close",        "hard-reset",
                                         "diagnose",   "watch",     "reload-signal"};
    std::vector<std::wstring> lines;
    for (const std::string& command : commands) {
        for (const std::string& line :
             {command + " --help", "--help " + command, command + " -h"}) {
            lines.push_back(Widen(line));
        }
    }
    std::vector<RunResult> helps = RunPrograms(L"rendakctl.exe", lines);
    for (size_t i = 0; i < lines.size(); i++) {
        SCOPED_TRACE(Narrow(lines[i]));
        std::string usage = "usage: rendakctl [OPTIONS] " + commands[i / 3];
        EXPECT_EQ(helps[i].exitCode, 0u);
        EXPECT_EQ(helps[i].out.compare(0, usage.size(), usage), 0) << helps[i].out;
        HAS(helps[i].out, "exit codes");
    }
    HAS(Run("regulatory set -h").out, "regulatory set DOMAIN | --country COUNTRY");
    HAS(Run("regulatory suggest -h").out, "802.11b");
    HAS(Run("watch -h").out, "1 to 2147483647");
    RunResult none = Run("");
    EXPECT_EQ(none.exitCode, 2u);
    HAS(none.err, "no command");
    // Help changes nothing on the device.
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0x100u);
}

TEST_F(Cli, BadInputExitsTwoNamesWhatIsValidAndChangesNothing)
{
    struct Case {
        const char* args;
        const char* hint;  // part of what the message must name
    } cases[] = {
        {"regulatory set 7", "Japan MKK"},
        {"regulatory set -1", "0-6"},
        {"regulatory set 07", "jp"},
        {"regulatory set mars", "Europe ETSI"},
        {"regulatory set", "0-6"},
        {"regulatory set fr extra", "extra"},
        {"regulatory frob", "explain, suggest or set"},
        {"regulatory show now", "now"},
        {"status please", "please"},
        {"on now", "now"},
        {"frobnicate", "reload-signal"},
        {"--loud status", "--json"},
        {"status -x", "--help"},
        {"--device", "device name"},
        {"--device bad/name status", "letters"},
        {"--yes --no regulatory set fr", "not both"},
        {"watch --count 0", "1 to 2147483647"},
        {"watch --count x", "1 to 2147483647"},
        {"watch --count 99999999999999999999", "1 to 2147483647"},
        {"watch --count 2147483648", "1 to 2147483647"},
        {"watch --count -5", "1 to 2147483647"},
        {"watch --count", "1 to 2147483647"},
        {"watch --forever", "--count"},
        {"watch now", "now"},
        {"on --count 3", "options of watch"},
        {"watch --for 0", "1 to 86400"},
        {"watch --for 86401", "1 to 86400"},
        {"status --for 5", "options of watch"},
        {"diagnose now", "now"},
        {"--answer-timeout 0 on", "1 to 3600"},
        {"--answer-timeout 3601 on", "1 to 3600"},
        {"--answer-timeout 5x on", "1 to 3600"},
        {"--answer-timeout", "1 to 3600"},
        {"--answer-timeout 5 --default maybe on", "yes or no"},
        {"--default yes on", "--answer-timeout"},
        {"--yes --answer-timeout 5 on", "one or the other"},
        {"hard-reset", "--yes"},
        {"regulatory suggest zz", "unknown country \"ZZ\""},
        {"regulatory suggest Xk", "unknown country \"XK\""},
        {"regulatory suggest fra", "\"fra\" is not a country code"},
        {"regulatory suggest f1", "not a country code"},
        {"regulatory suggest 00", "not a country code"},
        {"regulatory suggest \u00e9", "not a country code"},
        {"regulatory suggest", "needs a country"},
        {"regulatory suggest fr de", "\"de\""},
        {"regulatory explain", "needs a domain"},
        {"regulatory explain mars", "unknown domain \"mars\""},
        {"regulatory set --country zz", "unknown country \"ZZ\""},
        {"regulatory set --country f", "not a country code"},
        {"regulatory set --country \"\"", "needs a country code"},
        {"regulatory set --country", "needs a country code"},
        {"regulatory set fr --country de", "not both"},
        {"status --country de", "an option of regulatory set, not of status"},
        {"regulatory suggest fr --country de", "not of regulatory suggest"},
        {"--regdb x.db status", "--regdb goes with"},
        {"--regdb x.db regulatory set fr", "--regdb goes with"},
        {"--regdb no-such.db regulatory suggest fr", "no-such.db"},
    };
    // Every line at once. With --json, anywhere on the line, the refusal is
    // one document too: that is one path for every usage error, so every
    // third line shows it.
    const size_t n = sizeof(cases) / sizeof(cases[0]);
    std::vector<std::wstring> plain, json;
    for (size_t i = 0; i < n; i++) {
        plain.push_back(Widen(cases[i].args));
        if (i % 3 == 0) {
            json.push_back(L"--json " + Widen(cases[i].args));
        }
    }
    std::vector<RunResult> refused = RunPrograms(L"rendakctl.exe", plain);
    std::vector<RunResult> documents = RunPrograms(L"rendakctl.exe", json);
    for (size_t i = 0; i < n; i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.args);
        EXPECT_EQ(refused[i].exitCode, 2u);
        HAS(refused[i].err, c.hint);
        EXPECT_EQ(refused[i].out, "");
        if (i % 3 == 0) {
            Json doc = DocOf(documents[i / 3], c.args);
            EXPECT_EQ(doc["error"]["kind"].s, "usage");
            HAS(doc["error"]["message"].s, c.hint);
            EXPECT_FALSE(doc["error"]["next_step"].s.empty());
        }
    }
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    EXPECT_FALSE(SimRegKeyExists(REG_VENDOR_KEY));
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), std::nullopt);
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0x100u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), std::nullopt);
    EXPECT_EQ(SimKernelCounter(L"Reboots"), 0u);
}

TEST_F(Cli, OptionsMayStandBeforeOrAfterTheCommand)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);  // no reload: this is about the line
    EXPECT_EQ(Run("--json status").out, Run("status --json").out);
    EXPECT_EQ(Run("--json regulatory").out, Run("regulatory --json").out);
    EXPECT_EQ(Run("--device " + device_ + " --json status").out,
              Run("status --json --device=" + device_).out);
    Json set = Doc("regulatory set --yes fr");
    EXPECT_EQ(set["exit_code"].n, 0);
    EXPECT_EQ(set["domain"]["name"].s, "France");
    // After "--" every word is the command's: "--json" is then a domain.
    RunResult r = Run("regulatory set -- --json");
    EXPECT_EQ(r.exitCode, 2u);
    HAS(r.err, "unknown domain \"--json\"");
}

// --- one JSON contract -------------------------------------------------------------------

TEST_F(Cli, EveryCommandLeavesOneDocumentFollowingTheSchemaSuccessOrFailure)
{
    struct Step {
        const char* args;
        DWORD exit;
        const char* command;
    } steps[] = {
        {"status", 0, "status"},
        {"regulatory", 0, "regulatory show"},
        {"regulatory list", 0, "regulatory list"},
        {"regulatory explain eu", 0, "regulatory explain"},
        {"regulatory suggest de", 0, "regulatory suggest"},
        {"regulatory suggest zz", 2, "regulatory suggest"},
        {"regulatory set --country zz", 2, "regulatory set"},
        {"on", 1, "on"},  // no domain: refused
        {"init", 1, "init"},
        {"direct-on", 1, "direct-on"},
        {"diagnose", 4, "diagnose"},
        {"regulatory set eu", 0, "regulatory set"},  // the tool serves the reload
        {"on", 0, "on"},
        {"off", 0, "off"},
        {"init", 0, "init"},
        {"direct-on", 0, "direct-on"},
        {"close", 0, "close"},
        {"diagnose", 0, "diagnose"},
        {"reload-signal", 0, "reload-signal"},
        {"hard-reset", 2, "hard-reset"},
        {"--yes hard-reset", 0, "hard-reset"},
        {"frob", 2, NULL},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.args);
        DWORD exit = 99;
        Json doc = Doc(s.args, &exit);
        EXPECT_EQ(exit, s.exit);
        if (s.command) {
            EXPECT_EQ(doc["command"].s, s.command);
            EXPECT_EQ(doc["device"].s, device_);
        } else {
            EXPECT_TRUE(doc["command"].IsNull());
        }
        EXPECT_EQ(doc["error"].IsNull(), exit == 0 || exit == 4);
    }
}

TEST_F(Cli, TheSchemaRejectsWhatWouldBreakTheContract)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SetRegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE, 0x1FFF);
    RunResult r = Run("--json status");
    ASSERT_EQ(r.exitCode, 0u);
    std::string good = Lines(r.out)[0];
    Conforming(good);
    auto Broken = [&](const std::string& from, const std::string& to) {
        size_t at = good.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        std::string bad = good;
        bad.replace(at, from.size(), to);
        bool ok = false;
        Json v = ParseJsonText(bad, &ok);
        EXPECT_TRUE(ok) << bad;
        EXPECT_FALSE(SchemaErrors(Schema(), v, Schema()).empty()) << "accepted: " << bad;
    };
    // The differences the commands used to have between them.
    Broken("\"code\":48", "\"code\":\"0x30\"");
    Broken("\"channels\":[1,2,3,4,5,6,7,8,9,10,11,12,13]", "\"channels\":\"1-13\"");
    Broken("\"type\":2", "\"type\":\"phone\"");
    Broken("\"on\":true", "\"power\":\"on\"");
    Broken("\"device\":\"" + device_ + "\",", "");
    Broken("\"exit_code\":0", "\"exit_code\":0,\"extra\":1");
    Broken("\"error\":null", "\"error\":{\"kind\":\"usage\"}");

    // The advice: a verdict of its own, channels as numbers, the database always said.
    good = Lines(Run("--json regulatory suggest jp").out)[0];
    Conforming(good);
    Broken("\"verdict\":\"lawful\"", "\"verdict\":\"needs 802.11b\"");
    Broken("\"b_only\":[14]", "\"b_only\":\"14\"");
    Broken("\"eirp_mbm\":2000", "\"eirp_mbm\":\"20 dBm\"");
    Broken("\"built_in\":true", "\"built_in\":true,\"note\":\"x\"");
    Broken("\"status\":\"suggested\"", "\"status\":\"maybe\"");
}

TEST_F(Cli, EveryRowIsStoredByIndexAndReadBack)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);  // no reloads: this is about what is stored
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        // From another row, so that storing this one is a change.
        SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, row.index == 6 ? 0x10 : 0x40);
        Json set = Doc("regulatory set " + std::to_string(row.index));
        ASSERT_EQ(set["exit_code"].n, 0);
        EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), row.code);
        EXPECT_EQ(RegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE), row.mask);
        ExpectDomain(set["domain"], row);
        ExpectDomain(set["requested"], row);
        EXPECT_TRUE(set["stored"].b);
        EXPECT_TRUE(set["reload"].IsNull());

        ExpectDomain(Doc("regulatory")["domain"], row);
        HAS(Run("regulatory").out, row.name);
    }
    // The stored one again: nothing is written or signalled.
    Json again = Doc("regulatory set jp");
    EXPECT_FALSE(again["stored"].b);
    HAS(Run("regulatory set jp").out, "already stored");
}

TEST_F(Cli, EveryRowIsFoundByNameInAnyCaseAndByItsShortForm)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    for (const Row& row : kRows) {
        for (const std::string& word :
             {std::string(row.name), Lower(row.name), std::string(row.alias)}) {
            SCOPED_TRACE(word);
            SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, row.index == 6 ? 0x10 : 0x40);
            Json set = Doc("regulatory set \"" + word + "\"");
            ASSERT_EQ(set["exit_code"].n, 0);
            EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), row.code);
            ExpectDomain(set["domain"], row);
        }
    }
}

TEST_F(Cli, StatusShowsTheWholeDeviceInOneShape)
{
    Json s = Doc("status");
    EXPECT_FALSE(s["regulatory_set"].b);
    EXPECT_EQ(s["domain"]["index"].n, 0);
    EXPECT_TRUE(s["domain"]["code"].IsNull());
    EXPECT_TRUE(s["driver"]["wifi_parameter"].IsNull());
    EXPECT_TRUE(s["driver"]["card_inserted"].b);
    EXPECT_TRUE(s["status_file"].IsNull());
    EXPECT_EQ(s["state"]["value"].n, 0x100);
    ASSERT_EQ(s["radios"].items.size(), 3u);
    EXPECT_EQ(s["radios"].items[1]["name"].s, "TRXD385L1");
    EXPECT_EQ(s["radios"].items[1]["type"].n, 1);
    EXPECT_TRUE(s["radios"].items[1]["adapter"].b);
    EXPECT_FALSE(s["radios"].items[1]["on"].b);
    EXPECT_TRUE(s["radios"].items[0]["on"].b);  // the phone

    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x31);
    SetRegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE, 0x0600);
    SetRegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE, 0);
    SimRegDeleteValue(REG_STATE_KEY, REG_STATE_VALUE);
    WriteDeviceFile(STATUS_FILE, "1\n");
    s = Doc("status");
    ExpectDomain(s["domain"], kRows[5]);
    EXPECT_EQ(s["driver"]["wifi_parameter"].n, 0);
    EXPECT_EQ(s["status_file"]["start"].s, "1\n");
    EXPECT_TRUE(s["status_file"]["says_on"].b);
    EXPECT_TRUE(s["state"]["value"].IsNull());
    WriteDeviceFile(STATUS_FILE, "2");
    EXPECT_FALSE(Doc("status")["status_file"]["says_on"].b);
    // A code no row has, and the library's mark of a cleared domain.
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x77);
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0x099);
    s = Doc("status");
    EXPECT_TRUE(s["domain"]["index"].IsNull());
    EXPECT_EQ(s["domain"]["code"].n, 0x77);
    HAS(s["state"]["note"].s, "cleared domain");
}

TEST_F(Cli, StatusSpellsOutTheStateBits)
{
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0x103);
    RunResult r = Run("status");
    ASSERT_EQ(r.exitCode, 0u);
    HAS(r.out, "0x103 (adapter present, switching, powered)");
    HAS(r.out, "status file: none");
}

TEST_F(Cli, ListShowsTheTableAndPointsAtTodaysRules)
{
    Json list = Doc("regulatory list")["domains"];
    ASSERT_EQ(list.items.size(), 7u);
    for (const Row& row : kRows) {
        ExpectDomain(list.items[row.index], row);
    }
    // No notes written by hand: where to see how each row stands today.
    std::string text = Run("regulatory list").out;
    EXPECT_EQ(text.find("note"), std::string::npos) << text;
    HAS(text, "rendakctl --device " + device_ + " regulatory explain DOMAIN");
    HAS(text, "rendakctl --device " + device_ + " regulatory suggest COUNTRY");
}

// --- today's rules: explain, suggest, set --country -----------------------------------------

std::vector<int> Numbers(const Json& list)
{
    std::vector<int> numbers;
    for (const Json& n : list.items) {
        numbers.push_back((int)n.n);
    }
    return numbers;
}

std::vector<int> Range(int first, int last)
{
    std::vector<int> numbers;
    for (int n = first; n <= last; n++) {
        numbers.push_back(n);
    }
    return numbers;
}

// "2026.09.03-1~deb12u1" of "wireless-regdb 2026.09.03-1~deb12u1": what the build read.
std::string BuiltInVersion()
{
    std::string package = regdb::g_dbOrigin.package;
    return package.substr(package.find(' ') + 1);
}

TEST_F(Cli, ExplainJudgesARowInEachCountryItIsNamedFor)
{
    Json fr = Doc("regulatory explain france");
    EXPECT_EQ(fr["exit_code"].n, 0);
    ExpectDomain(fr["row"], kRows[4]);
    EXPECT_EQ(fr["database"]["package"].s, "wireless-regdb");
    EXPECT_EQ(fr["database"]["version"].s, BuiltInVersion());
    EXPECT_TRUE(fr["database"]["built_in"].b);
    ASSERT_EQ(fr["countries"].items.size(), 1u);
    const Json& rules = fr["countries"].items[0];
    EXPECT_EQ(rules["country"].s, "FR");
    EXPECT_EQ(Numbers(rules["allowed"]), Range(1, 13));
    EXPECT_EQ(rules["limits"].items[0]["eirp_mbm"].n, 2000);
    ASSERT_EQ(fr["judged"].items.size(), 1u);
    const Json& judged = fr["judged"].items[0];
    EXPECT_EQ(judged["verdict"].s, "lawful");
    EXPECT_EQ(Numbers(judged["left_out"]), Range(1, 9));
    EXPECT_EQ(Numbers(judged["added"]), std::vector<int>{});

    // Europe ETSI stands for the 27 member states.
    Json eu = Doc("regulatory explain eu");
    ASSERT_EQ(eu["judged"].items.size(), 27u);
    EXPECT_EQ(eu["countries"].items.size(), 27u);
    for (const Json& j : eu["judged"].items) {
        EXPECT_EQ(j["verdict"].s, "lawful") << j["country"].s;
        EXPECT_EQ(j["index"].n, 3);
    }
    HAS(Run("regulatory explain eu").out, "AT BE BG CY CZ DE");

    // Japan allows 14 for 802.11b only: lawful, and marked.
    Json jp = Doc("regulatory explain 6");
    EXPECT_EQ(jp["judged"].items[0]["verdict"].s, "lawful");
    EXPECT_EQ(Numbers(jp["judged"].items[0]["b_only"]), std::vector<int>{14});
    EXPECT_EQ(Numbers(jp["countries"].items[0]["b_only"]), std::vector<int>{14});
    const Json& limits = jp["countries"].items[0]["limits"];
    ASSERT_EQ(limits.items.size(), 2u);
    EXPECT_EQ(limits.items[1]["flags"].items[0].s, "no OFDM");
    std::string text = Run("regulatory explain jp").out;
    HAS(text, regdb::g_dbOrigin.package);
    HAS(text, "the row: lawful, 14 for 802.11b only; leaves out nothing");

    Json none = Doc("regulatory explain none");
    EXPECT_TRUE(none["countries"].items.empty());
    EXPECT_TRUE(none["judged"].items.empty());
    HAS(Run("regulatory explain 0").out, "named for no country");
}

TEST_F(Cli, SuggestGivesTheRowToStoreAndWhatItGainsAndLoses)
{
    struct Case {
        const char* given;
        const char* country;
        int row;
        std::vector<int> equals;
        int named;  // -1: no row is named for the country
        std::vector<int> gained, leftOut, bOnly;
    } cases[] = {
        {"fr", "FR", 3, {}, 4, Range(1, 9), {}, {}},  // the France row has only 10-13
        {"US", "US", 1, {2}, 1, {}, {}, {}},          // a tie, to the row named for it
        {"Ca", "CA", 3, {}, 2, {12, 13}, {}, {}},     // Canada IC lacks 12 and 13
        {"jP", "JP", 6, {}, 6, {}, {}, {14}},         // 14 counts, marked
        {"de", "DE", 3, {}, 3, {}, {}, {}},           // the row named for its region
        {"mx", "MX", 3, {}, -1, {}, {}, {}},          // no row is named for it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.given);
        Json s = Doc(std::string("regulatory suggest ") + c.given);
        ASSERT_EQ(s["exit_code"].n, 0);
        EXPECT_EQ(s["country"].s, c.country);
        EXPECT_EQ(s["rules"]["country"].s, c.country);
        const Json& g = s["suggestion"];
        EXPECT_EQ(g["status"].s, "suggested");
        ExpectDomain(g["row"], kRows[c.row]);
        std::vector<int> equals;
        for (const Json& e : g["equals"].items) {
            equals.push_back((int)e["index"].n);
        }
        EXPECT_EQ(equals, c.equals);
        if (c.named < 0) {
            EXPECT_TRUE(g["named_row"].IsNull());
        } else {
            EXPECT_EQ(g["named_row"]["index"].n, c.named);
        }
        EXPECT_EQ(Numbers(g["gained_over_named"]), c.gained);
        EXPECT_EQ(Numbers(g["lost_against_named"]), std::vector<int>{});
        EXPECT_EQ(g["in_country"]["verdict"].s, "lawful");
        EXPECT_EQ(Numbers(g["in_country"]["left_out"]), c.leftOut);
        EXPECT_EQ(Numbers(g["in_country"]["b_only"]), c.bOnly);
        ASSERT_EQ(s["judged"].items.size(), 7u);
        for (int i = 0; i < 7; i++) {
            EXPECT_EQ(s["judged"].items[i]["index"].n, i);
        }
    }
    // Every row in the US: those with 12 or more are not lawful there.
    Json us = Doc("regulatory suggest us");
    EXPECT_EQ(us["judged"].items[3]["verdict"].s, "unlawful");
    EXPECT_EQ(Numbers(us["judged"].items[6]["added"]), Range(12, 14));
    EXPECT_EQ(us["judged"].items[5]["verdict"].s, "lawful");

    std::string text = Run("regulatory suggest fr").out;
    HAS(text, "today's rules in FR (" + std::string(regdb::g_dbOrigin.package) + ")");
    HAS(text, "store 3 \"Europe ETSI\" (channels 1-13): lawful; leaves out nothing");
    HAS(text, "against 4 \"France\", the row named for FR: gains 1-9, loses nothing");
    HAS(text,
        "to store the suggestion: rendakctl --device " + device_ + " regulatory set --country fr");
    HAS(Run("regulatory suggest us").out, "as many channels, also lawful: 2 \"Canada IC\"");
    HAS(Run("regulatory suggest de").out, "  it is the row named for DE's region");
    HAS(Run("regulatory suggest mx").out, "  no row is named for MX");
}

TEST_F(Cli, SuggestJudgesTheDomainStoredNowAsItIsStored)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x40);
    SetRegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE, 0x3FFF);
    Json us = Doc("regulatory suggest us");
    ExpectDomain(us["domain"], kRows[6]);
    EXPECT_EQ(us["domain_judged"]["index"].n, 6);
    EXPECT_EQ(us["domain_judged"]["verdict"].s, "unlawful");
    EXPECT_EQ(Numbers(us["domain_judged"]["added"]), Range(12, 14));
    HAS(Run("regulatory suggest us").out,
        "stored now: 6 \"Japan MKK\": not lawful: 12-14 not allowed");

    // Its own mask, not the table's: ETSI's code with 1-11 is lawful in the US.
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SetRegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE, 0x07FF);
    const Json& etsi = Doc("regulatory suggest us")["domain_judged"];
    EXPECT_EQ(etsi["index"].n, 3);
    EXPECT_EQ(etsi["verdict"].s, "lawful");
    HAS(Run("regulatory suggest us").out,
        "stored now: 3 \"Europe ETSI\", mask 0x07FF (channels 1-11): lawful");

    // A code no row has; and nothing stored, which the library reads as "None".
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x77);
    Json odd = Doc("regulatory suggest us")["domain_judged"];
    EXPECT_TRUE(odd["index"].IsNull());
    EXPECT_EQ(odd["verdict"].s, "lawful");
    SimRegDeleteValue(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
    SimRegDeleteValue(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE);
    Json none = Doc("regulatory suggest us")["domain_judged"];
    EXPECT_EQ(none["index"].n, 0);
    EXPECT_EQ(Numbers(none["left_out"]), Range(1, 11));
    HAS(Run("regulatory suggest us").out, "stored now: nothing (read as 0 \"None\")");
}

TEST_F(Cli, AnUnknownCountryIsRefusedWithTheCountriesTheDatabaseHolds)
{
    Json zz = Doc("regulatory suggest zz");
    HAS(zz["error"]["message"].s, "(" + std::string(regdb::g_dbOrigin.package) + ")");
    ASSERT_EQ(zz["error"]["details"].items.size(), 1u);
    HAS(zz["error"]["details"].items[0].s, "the countries it holds: AD AE ");
    HAS(zz["error"]["details"].items[0].s, " DE ");
}

TEST_F(Cli, SetCountryStoresTheSuggestedRow)
{
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);  // no reload: this is about what is stored
    Json fr = Doc("regulatory set --country Fr");
    ASSERT_EQ(fr["exit_code"].n, 0);
    EXPECT_EQ(fr["country"].s, "FR");
    ExpectDomain(fr["requested"], kRows[3]);
    ExpectDomain(fr["suggestion"]["row"], kRows[3]);
    EXPECT_TRUE(fr["stored"].b);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x30u);
    EXPECT_EQ(RegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE), 0x1FFFu);

    RunResult jp = Run("regulatory set --country=jp");
    EXPECT_EQ(jp.exitCode, 0u) << jp.err;
    HAS(jp.out, "for JP, today's rules (" + std::string(regdb::g_dbOrigin.package) +
                    ") suggest 6 \"Japan MKK\": lawful, 14 for 802.11b only");
    HAS(jp.out, "regulatory domain: 6 \"Japan MKK\"");
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x40u);
    EXPECT_EQ(RegDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE), 0x3FFFu);
}

// A database made to measure, in a file for --regdb; removed with the object.
class DatabaseFile {
public:
    explicit DatabaseFile(const std::vector<TestCountry>& countries)
    {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        path_ = Narrow(folder) + "rendakctl_test_" + std::to_string(GetCurrentProcessId()) + ".db";
        std::vector<uint8_t> bytes = Write(countries).bytes;
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    ~DatabaseFile() { DeleteFileA(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST_F(Cli, WhereNoRowIsLawfulOnlyNoneIsAndSetStoresNothing)
{
    // Made-up countries: QN allows 12 and 13 only, which no row with channels
    // keeps to; QM allows 1-13.
    DatabaseFile db({{"QN", {{2457, 2483.5, 20, 2000, 0, false}}, 0},
                     {"QM", {{2400, 2483.5, 40, 2000, 0, false}}, 0}});
    std::string regdb = "--regdb \"" + db.path() + "\" ";
    DWORD exit = 0;
    Json qn = Doc(regdb + "regulatory suggest qn", &exit);
    EXPECT_EQ(exit, 4u);
    EXPECT_TRUE(qn["error"].IsNull());
    EXPECT_EQ(qn["suggestion"]["status"].s, "no lawful row");
    ExpectDomain(qn["suggestion"]["row"], kRows[0]);
    EXPECT_EQ(qn["database"]["file"].s, db.path());
    EXPECT_FALSE(qn["database"]["built_in"].b);
    EXPECT_TRUE(qn["database"]["version"].IsNull());
    for (int i = 1; i < 7; i++) {
        EXPECT_EQ(qn["judged"].items[i]["verdict"].s, "unlawful") << i;
    }
    RunResult text = Run(regdb + "regulatory suggest qn");
    EXPECT_EQ(text.exitCode, 4u);
    HAS(text.out, "no row with channels is lawful in QN");
    HAS(text.out, "0 \"None\" is the only lawful row");
    EXPECT_EQ(text.out.find("to store the suggestion"), std::string::npos) << text.out;

    // set --country refuses, stores nothing, and says what is left to do.
    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    Json set = Doc(regdb + "regulatory set --country qn", &exit);
    EXPECT_EQ(exit, 4u);
    EXPECT_EQ(set["error"]["kind"].s, "no_lawful_row");
    HAS(set["error"]["next_step"].s, "regulatory set none");
    EXPECT_EQ(set["suggestion"]["status"].s, "no lawful row");
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x10u);
    EXPECT_FALSE(SimRegKeyExists(REG_VENDOR_KEY));

    // The file's other country, and a country only the built-in data holds.
    EXPECT_EQ(Doc(regdb + "regulatory suggest qm")["suggestion"]["row"]["index"].n, 3);
    Json fr = Doc(regdb + "regulatory suggest fr", &exit);
    EXPECT_EQ(exit, 2u);
    HAS(fr["error"]["message"].s, db.path() + ", given with --regdb) does not hold it");
    Json set2 = Doc(regdb + "regulatory set --country qm");
    EXPECT_EQ(set2["exit_code"].n, 0);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), 0x30u);
}

// --- refusals and shortfalls ---------------------------------------------------------------

TEST_F(Cli, ARefusalShowsTheLibrarysTextAndEndsWithTheNextStep)
{
    RunResult r = Run("on");
    EXPECT_EQ(r.exitCode, 1u);
    HAS(r.err, "[Error !]: The Wi-Fi Regulatory was lost, please set it again.");
    std::string next =
        "next: store a domain first: rendakctl --device " + device_ + " regulatory set DOMAIN";
    HAS(r.err, next);
    EXPECT_EQ(Lines(r.err).back().compare(0, 6, "next: "), 0) << r.err;
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), std::nullopt);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), std::nullopt);

    Json init = Doc("init");
    EXPECT_EQ(init["exit_code"].n, 1);
    EXPECT_EQ(init["error"]["kind"].s, "refused");
    HAS(init["error"]["message"].s, "ChangeWiFiRegulatory() at first");
    HAS(init["error"]["next_step"].s, "regulatory set DOMAIN");
    ASSERT_EQ(init["boxes"].items.size(), 1u);
    EXPECT_EQ(init["boxes"].items[0]["caption"].s, "Error !");
    EXPECT_TRUE(init["boxes"].items[0]["error"].b);

    // The kernel's refusal points at the console's action that lifts it, and it does.
    SimSetSetting(SIM_SETTING_REFUSE_COLD_RESET, 1);
    Json reset = Doc("--yes hard-reset");
    EXPECT_EQ(reset["exit_code"].n, 1);
    std::string lift = "handheld-console --device " + device_ + " --act accept-reset";
    HAS(reset["error"]["next_step"].s, lift);
    EXPECT_EQ(RunProgram(L"handheld-console.exe", Widen(lift.substr(17))).exitCode, 0u);
    EXPECT_EQ(Doc("--yes hard-reset")["exit_code"].n, 0);
}

TEST_F(Cli, SwitchingOnAndOffWithADomainSucceeds)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    RunResult on = Run("on");
    EXPECT_EQ(on.exitCode, 0u) << on.err;
    EXPECT_EQ(on.err, "");
    HAS(on.out, "Wi-Fi is on");
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 1u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");
    RunResult off = Run("off");
    EXPECT_EQ(off.exitCode, 0u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 0u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "0");
}

TEST_F(Cli, OnAndOffThatDidNotTakeEffectExitThreeAndSayWhy)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SimEjectCard();
    RunResult out = Run("on");
    EXPECT_EQ(out.exitCode, 3u);
    HAS(out.err, "TRXD385L1 is not listed");
    HAS(out.err, "PC card is out");
    HAS(out.err, "next: rendakctl --device " + device_ + " diagnose");
    // With the card out nothing can be powered: off is done.
    EXPECT_EQ(Run("off").exitCode, 0u);

    SimInsertCard(TRUE);
    SimSetStateStuck(TRUE);
    Json stuck = Doc("on");
    EXPECT_EQ(stuck["exit_code"].n, 3);
    EXPECT_EQ(stuck["error"]["kind"].s, "not_taken");
    ASSERT_EQ(stuck["error"]["details"].items.size(), 1u) << stuck["error"]["message"].s;
    HAS(stuck["error"]["details"].items[0].s, "stuck at 0x103");
    HAS(stuck["error"]["details"].items[0].s, "StateStuck=1");
    EXPECT_EQ(stuck["state"]["value"].n, 0x103);
    SimSetStateStuck(FALSE);
}

TEST_F(Cli, WhatTheLibraryCouldNotWriteIsNamed)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SimSetFault(L"RegSetValueExW", REG_ADAPTER_KEY L"\\" REG_WIFI_VALUE, ERROR_ACCESS_DENIED,
                FALSE);
    Json wifi = Doc("on");
    EXPECT_EQ(wifi["exit_code"].n, 3);
    ASSERT_EQ(wifi["error"]["details"].items.size(), 1u);
    HAS(wifi["error"]["details"].items[0].s, "\"WIFI\" parameter is missing, not 1");
    SimClearFaults();

    // The status file as a folder: the library cannot write it. (A read-only
    // file cannot be made here: Wine keeps that attribute in the file's
    // permissions, which do not bind the root user the tests run as.)
    std::wstring file = StatusFileOnHost();
    DeleteFileW(file.c_str());  // the switch above wrote it
    ASSERT_TRUE(CreateDirectoryW(file.c_str(), NULL));
    RunResult folder = Run("on");
    EXPECT_EQ(folder.exitCode, 3u);
    HAS(folder.err, "is a folder");
    RemoveDirectoryW(file.c_str());

    SetRegDword(REG_OEM_KEY, REG_WIFI_VALUE, 0);
    SimSetFault(L"RegSetValueExW", REG_ADAPTER_KEY L"\\" REG_DOMAIN_VALUE, ERROR_ACCESS_DENIED,
                FALSE);
    Json domain = Doc("regulatory set fr");
    EXPECT_EQ(domain["exit_code"].n, 3);
    HAS(domain["error"]["details"].items[0].s, "\"Domain\" is 0x30, not 0x32 (France)");
}

TEST_F(Cli, InitChecksTheDriverItMustLoad)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SimEjectCard();
    SimInsertCard(FALSE);  // the card in, its driver not loaded: the value is 0
    RunResult loads = Run("init");
    EXPECT_EQ(loads.exitCode, 0u) << loads.err;
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0x100u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE), "1");

    SimEjectCard();
    SimInsertCard(FALSE);
    SimSetSetting(SIM_SETTING_FAIL_ACTIVATION, 1);
    RunResult fails = Run("init");
    EXPECT_EQ(fails.exitCode, 3u);
    HAS(fails.err, "activation failed (device setting FailActivation=1)");
    SimSetSetting(SIM_SETTING_FAIL_ACTIVATION, 0);

    // A value that is not 0 keeps InitWiFi from reloading the driver, for ever.
    SetRegDword(REG_STATE_KEY, REG_STATE_VALUE, 0x099);
    RunResult never = Run("init");
    EXPECT_EQ(never.exitCode, 3u);
    HAS(never.err, "reloads it only when the state value is 0, and it was 0x099");
}

TEST_F(Cli, ARadioThatDidNotChangeIsNamed)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SimSetupRadios(SIM_RADIOS_TWO_WIFI);
    RunResult on = Run("on");
    EXPECT_EQ(on.exitCode, 0u) << on.err;
    HAS(on.out, "Wi-Fi is on");
    // The library switches off the first Wi-Fi radio only.
    RunResult off = Run("off");
    EXPECT_EQ(off.exitCode, 3u);
    HAS(off.err, "WLAN2");
    HAS(off.err, "is still on");
    EXPECT_EQ(off.err.find("TRXD385L1"), std::string::npos) << off.err;

    SimSetupRadios(SIM_RADIOS_NO_WIFI);
    RunResult none = Run("on");
    EXPECT_EQ(none.exitCode, 3u);
    HAS(none.err, "no Wi-Fi radio");
}

TEST_F(Cli, StatusReadsOnlyTheStartOfAHugeStatusFile)
{
    // 8 GiB, almost all of it a hole: a tool that read it whole would not end.
    std::wstring file = StatusFileOnHost();
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, "1\n", 2, &written, NULL);
    LARGE_INTEGER end;
    end.QuadPart = 8LL << 30;
    SetFilePointerEx(h, end, NULL, FILE_BEGIN);
    SetEndOfFile(h);
    CloseHandle(h);
    Json s = Doc("status");
    DeleteFileW(file.c_str());
    EXPECT_EQ(s["status_file"]["start"].s.substr(0, 2), "1\n");
    EXPECT_EQ(s["status_file"]["start"].s.size(), 32u);
    EXPECT_TRUE(s["status_file"]["truncated"].b);
    EXPECT_TRUE(s["status_file"]["says_on"].b);
}

// --- the reload the tool serves -------------------------------------------------------------

// Holds this process's worker inside its question, so the tool's worker is the
// only one waiting on the device's reload event.
struct BusyWorker {
    HANDLE hRelease = CreateEventW(NULL, TRUE, FALSE, NULL);
    static int WINAPI Hook(HWND, LPCWSTR, LPCWSTR, UINT, void* p)
    {
        WaitForSingleObject(static_cast<BusyWorker*>(p)->hRelease, 60000);
        return IDNO;
    }
    explicit BusyWorker(Cli* test)
    {
        test->LetOwnWorkerTakeSignals();
        SimSetMessageBoxHook(Hook, this);
        HANDLE hEvent = CoreFunction<HANDLE(WINAPI*)(DWORD, BOOL, LPCWSTR)>("OpenEventW")(
            EVENT_MODIFY_STATE, FALSE, RELOAD_EVENT_NAME);
        CoreFunction<BOOL(WINAPI*)(HANDLE, DWORD)>("EventModify")(hEvent, 3 /* EVENT_SET */);
        // Made by the device's core library, closed there too.
        CoreFunction<BOOL(WINAPI*)(HANDLE)>("CloseHandle")(hEvent);
        EXPECT_TRUE(SimJournalWaitFor(SIM_J_MESSAGE_BOX L"|", 1, 10000));
    }
    ~BusyWorker()
    {
        SetEvent(hRelease);
        WaitForWorkerIdle(1);
        SimSetMessageBoxHook(NULL, NULL);
        CloseHandle(hRelease);
    }
};

TEST_F(Cli, TheToolServesItsOwnReloadAndWaitsUntilItsPassesSettle)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x10);
    ASSERT_EQ(Run("on").exitCode, 0u);
    BusyWorker busy(this);
    // Answered No: the pass switches Wi-Fi off, and the tool says so.
    RunResult no = Run("regulatory set eu");
    EXPECT_EQ(no.exitCode, 0u) << no.err;
    size_t signalled = no.out.find("reload signalled");
    ASSERT_NE(signalled, std::string::npos) << no.out;
    EXPECT_NE(no.out.find("Wi-Fi switched off: reload answered No", signalled), std::string::npos)
        << no.out;
    HAS(no.err, "message box [Wi-Fi]: Restart Wi-Fi now to apply the new region? -> No");
    // Settled before the tool ended: not left switching at 0x102.
    EXPECT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0x100u);
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 0u);

    Json yes = Doc("--yes reload-signal");
    EXPECT_EQ(yes["exit_code"].n, 0);
    EXPECT_EQ(yes["reload"]["served_by"].s, "this tool");
    EXPECT_EQ(yes["reload"]["answer"].s, "Yes");
    EXPECT_EQ(yes["reload"]["outcome"].s, "Wi-Fi switched off and on again: reload answered Yes");
    EXPECT_EQ(yes["state"]["value"].n, 0x101);
    EXPECT_TRUE(yes["radios"].items[1]["on"].b);
    ASSERT_EQ(yes["boxes"].items.size(), 1u);
    EXPECT_EQ(yes["boxes"].items[0]["caption"].s, "Wi-Fi");
    EXPECT_TRUE(yes["boxes"].items[0]["text_from_string_library"].b);
    EXPECT_EQ(CountJournal(SIM_J_MESSAGE_BOX L"|"), 1u);  // only the question that keeps ours busy

    // Yes with the card out cannot switch on: the outcome says so, and why.
    // (The reload is the worker's doing; the signal itself was done: exit 0.)
    SimEjectCard();
    Json out = Doc("--yes reload-signal");
    EXPECT_EQ(out["exit_code"].n, 0);
    EXPECT_EQ(out["reload"]["outcome"].s, "reload answered Yes, but Wi-Fi did not end up on");
    ASSERT_EQ(out["reload"]["problems"].items.size(), 1u);
    HAS(out["reload"]["problems"].items[0].s, "not listed");
    HAS(Run("--yes reload-signal").err,
        "rendakctl: note: the Wi-Fi adapter TRXD385L1 is not listed");
}

TEST_F(Cli, OneReloadSignalIsOneSignalOnTheDevice)
{
    BusyWorker busy(this);
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", L"1");
    RunResult r = Run("reload-signal");
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", NULL);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    std::string log = DeviceJournalLog();
    // The tool took it back and handed it to its own worker: still one signal.
    EXPECT_EQ(Occurrences(log, Narrow(handheld::EventSetEntry(RELOAD_EVENT_NAME))), 1u) << log;
    EXPECT_EQ(Occurrences(log, Narrow(handheld::WaitWokenEntry(RELOAD_EVENT_NAME))), 1u) << log;
}

TEST_F(Cli, AReloadSignalGoesToAWaitingWorkerOfAnotherProgram)
{
    LetOwnWorkerTakeSignals();
    Json r = Doc("--yes reload-signal");
    EXPECT_EQ(r["exit_code"].n, 0);
    EXPECT_EQ(r["reload"]["served_by"].s, "another program");
    EXPECT_TRUE(r["reload"]["answer"].IsNull());
    EXPECT_EQ(r["boxes"].items.size(), 0u);
    // This process's worker asked (and its scripted user said No).
    ASSERT_TRUE(WaitForWorkerIdle(1));
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].flags, 0x44u);
}

TEST_F(Cli, DeviceOptionWorksOnThatDeviceAloneWithItsOwnEvent)
{
    std::string other = device_ + "-other";
    SimDeleteDevice(Widen(other).c_str());
    Json r = Doc("--device " + other + " --yes regulatory set jp");
    EXPECT_EQ(r["exit_code"].n, 0);
    EXPECT_EQ(r["device"].s, other);
    // No worker waits on the other device, so the tool's own one asked there.
    EXPECT_EQ(r["reload"]["served_by"].s, "this tool");
    EXPECT_EQ(r["reload"]["answer"].s, "Yes");
    EXPECT_EQ(Doc("--device " + other + " status")["device"].s, other);
    // Nothing reached this device or its worker.
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    EXPECT_EQ(CountJournal(handheld::WaitWokenEntry(RELOAD_EVENT_NAME)), 0u);
    SimDeleteDevice(Widen(other).c_str());
}

// --- answers, waits and confirmation ------------------------------------------------------

TEST_F(Cli, ABoxLeftUnansweredGetsTheDefaultWhenTheTimeIsUp)
{
    {
        BusyWorker busy(this);  // the tool's own worker asks
        RunResult r = Run("--answer-timeout 30 --default yes reload-signal");
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        HAS(r.err, "-> Yes (unanswered after 30 s)");
        EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_WIFI_VALUE), 1u);
    }
    // An error box closes with OK, and still counts as a refusal.
    SimRegDeleteValue(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
    RunResult on = Run("--answer-timeout 5 on");
    EXPECT_EQ(on.exitCode, 1u);
    HAS(on.err,
        "[Error !]: The Wi-Fi Regulatory was lost, please set it again. -> OK (unanswered after "
        "5 s)");
}

struct FoundBox {
    HWND hWnd = NULL;
    std::wstring caption, text;
};

BOOL CALLBACK CollectStatic(HWND hChild, LPARAM lParam)
{
    wchar_t cls[16] = L"", text[256] = L"";
    GetClassNameW(hChild, cls, 16);
    GetWindowTextW(hChild, text, 256);
    if (_wcsicmp(cls, L"Static") == 0 && text[0]) {
        reinterpret_cast<FoundBox*>(lParam)->text += text;
    }
    return TRUE;
}

// A message box is found once it is shown: its caption is set before its
// text while it is made, and a box caught in between reads as one without
// text.
BOOL CALLBACK FindErrorBox(HWND hWnd, LPARAM lParam)
{
    wchar_t cls[16] = L"", caption[64] = L"";
    GetClassNameW(hWnd, cls, 16);
    GetWindowTextW(hWnd, caption, 64);
    if (wcscmp(cls, L"#32770") == 0 && wcscmp(caption, L"Error !") == 0 && IsWindowVisible(hWnd)) {
        FoundBox* box = reinterpret_cast<FoundBox*>(lParam);
        box->hWnd = hWnd;
        box->caption = caption;
        EnumChildWindows(hWnd, CollectStatic, lParam);
        return FALSE;
    }
    return TRUE;
}

TEST_F(Cli, AnAnsweredBoxEndsTheWaitAtOnceAndShowsTheLibrarysOwnTextAndCaption)
{
    // An hour to answer, on the real clock: a tool that waited out the
    // time-out would not end within this test's time.
    SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"real");
    std::unique_ptr<RunResult> result;
    std::thread tool([&] { result.reset(new RunResult(Run("--answer-timeout 3600 on"))); });
    FoundBox box;
    for (int i = 0; i < 600 && !box.hWnd; i++) {
        ::Sleep(50);
        EnumWindows(FindErrorBox, (LPARAM)&box);
    }
    EXPECT_NE(box.hWnd, (HWND)NULL);
    if (!box.hWnd) {
        tool.join();  // the run's own time-out ends it
        FAIL() << result->err;
    }
    EXPECT_EQ(box.caption, L"Error !");
    EXPECT_EQ(box.text, L"The Wi-Fi Regulatory was lost, please set it again.");
    PostMessageW(box.hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    tool.join();
    EXPECT_EQ(result->exitCode, 1u);
    HAS(result->err, "-> OK (answered by the user)");
}

TEST_F(Cli, ProgressIsShownOnlyOnATerminal)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SimSetStateStuck(TRUE);  // the library waits its whole bound
    RunResult r = Run("on");
    EXPECT_EQ(r.exitCode, 3u);
    EXPECT_EQ(r.err.find("of at most"), std::string::npos) << r.err;
    SimSetStateStuck(FALSE);
}

TEST_F(Cli, HardResetWipesTheDeviceOnlyWhenConfirmed)
{
    DWORD resets = SimKernelCounter(L"ColdResets");
    RunResult asked = Run("hard-reset");  // no terminal to ask on
    EXPECT_EQ(asked.exitCode, 2u);
    HAS(asked.err, "next: rendakctl --device " + device_ + " --yes hard-reset");
    Json no = Doc("--no hard-reset");
    EXPECT_EQ(no["exit_code"].n, 1);
    EXPECT_EQ(no["error"]["kind"].s, "declined");
    EXPECT_EQ(SimKernelCounter(L"ColdResets"), resets);

    Json yes = Doc("hard-reset --yes");  // the virtual clock records it
    EXPECT_EQ(yes["exit_code"].n, 0);
    EXPECT_TRUE(yes["restart"]["recorded_only"].b);
    EXPECT_TRUE(yes["restart"]["cold"].b);
    EXPECT_EQ(SimKernelCounter(L"ColdResets"), resets + 1);
}

// --- the device restarting under a command --------------------------------------------------

// A program left running while the test changes the device; its lines are
// collected as they come.
struct Background {
    HANDLE hProcess = NULL;
    HANDLE hOut = NULL;
    std::thread reader;
    std::mutex lock;
    std::condition_variable grew;
    std::vector<std::string> lines;

    explicit Background(const std::wstring& args, Caller at = Caller())
    {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, TRUE};
        HANDLE hWrite, hNul;
        CreatePipe(&hOut, &hWrite, &sa, 0);
        SetHandleInformation(hOut, HANDLE_FLAG_INHERIT, 0);
        hNul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, NULL);
        PROCESS_INFORMATION pi = StartProgramWith(L"rendakctl.exe", args,
                                                  GetStdHandle(STD_INPUT_HANDLE), hWrite, hNul, at);
        CloseHandle(hWrite);
        CloseHandle(hNul);
        CloseHandle(pi.hThread);
        hProcess = pi.hProcess;
        reader = std::thread([this] {
            std::string pending;
            char buffer[1024];
            DWORD n;
            while (ReadFile(hOut, buffer, sizeof(buffer), &n, NULL) && n > 0) {
                pending.append(buffer, n);
                std::lock_guard<std::mutex> hold(lock);
                for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                    std::string line = pending.substr(0, nl);
                    if (!line.empty() && line.back() == '\r') {
                        line.pop_back();
                    }
                    lines.push_back(line);
                    pending.erase(0, nl + 1);
                }
                grew.notify_all();
            }
        });
    }
    // Waits (host time, bounded) until `count` lines have come.
    bool WaitLines(size_t count)
    {
        std::unique_lock<std::mutex> hold(lock);
        return grew.wait_for(hold, std::chrono::seconds(20), [&] { return lines.size() >= count; });
    }
    Json Line(size_t i)
    {
        std::lock_guard<std::mutex> hold(lock);
        return Conforming(i < lines.size() ? lines[i] : "");
    }
    DWORD Finish(Caller at = Caller())
    {
        DWORD code = (DWORD)-1;
        if (WaitForSingleObject(hProcess, 30000) != WAIT_OBJECT_0) {
            TerminateProcess(hProcess, 99);
            FAIL_AT(at) << "the program did not end";
        }
        GetExitCodeProcess(hProcess, &code);
        reader.join();
        CloseHandle(hOut);
        CloseHandle(hProcess);
        return code;
    }
};

// The real clock: the kernel restarts the device instead of recording it.
class CliRestart : public Cli {
protected:
    void SetUp() override
    {
        Cli::SetUp();
        SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"real");
    }
    // After another process restored the factory image: open its keys again.
    void Reselect() { SimSelectDevice(Widen(device_).c_str()); }
};

TEST_F(CliRestart, TheToolsOwnHardResetRestartsTheDeviceAndSaysSo)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    DWORD boot = SimKernelCounter(L"Boot");
    Json r = Doc("--yes hard-reset");
    Reselect();
    EXPECT_EQ(r["exit_code"].n, 0);
    EXPECT_EQ(r["restart"]["boot"].n, boot + 1);
    EXPECT_TRUE(r["restart"]["by_this_command"].b);
    EXPECT_FALSE(r["restart"]["recorded_only"].b);
    EXPECT_TRUE(r["restart"]["cold"].b);
    EXPECT_TRUE(r["domain"]["code"].IsNull());  // the factory state
    EXPECT_EQ(RegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE), std::nullopt);
    HAS(Run("--yes hard-reset").out, "the device cold-reset and restarted");
}

TEST_F(CliRestart, ACommandTheDeviceRestartsUnderEndsWithFiveAndSaysWhatItLeft)
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    SimSetStateStuck(TRUE);  // "on" waits 40 s for the value to settle
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", L"1");
    Background on(L"--json on");
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", NULL);
    auto waiting = [] {  // the library's pause between reads of a value that does not settle
        for (const handheld::JournalEntry& e :
             handheld::ReadJournalLog(DeviceFolder() + L"\\journal.log")) {
            if (e.Is(SIM_J_SLEEP) && e.Field(0) == L"4000") {
                return true;
            }
        }
        return false;
    };
    for (int i = 0; i < 400 && !waiting(); i++) {
        ::Sleep(50);
    }
    ASSERT_TRUE(waiting()) << "on never waited";
    EXPECT_EQ(Run("--yes hard-reset").exitCode, 0u);
    EXPECT_EQ(on.Finish(), 5u);
    Reselect();
    ASSERT_EQ(on.lines.size(), 1u);
    Json doc = on.Line(0);
    EXPECT_EQ(doc["error"]["kind"].s, "restarted");
    EXPECT_TRUE(doc["restart"]["cold"].b);
    EXPECT_FALSE(doc["restart"]["by_this_command"].b);
    HAS(doc["error"]["next_step"].s, "rendakctl --device " + device_ + " on");
    EXPECT_TRUE(doc["domain"]["code"].IsNull());
}

TEST_F(CliRestart, WatchEndsWithFiveWhenTheDeviceRestarts)
{
    Background watch(L"watch --json");
    ASSERT_TRUE(watch.WaitLines(1));
    EXPECT_EQ(Run("--yes hard-reset").exitCode, 0u);
    EXPECT_EQ(watch.Finish(), 5u);
    Reselect();
    Json end = watch.Line(watch.lines.size() - 1);
    EXPECT_EQ(end["event"].s, "end");
    EXPECT_EQ(end["reason"].s, "restarted");
    EXPECT_EQ(end["exit_code"].n, 5);
    EXPECT_EQ(end["seq"].n, (double)watch.lines.size() - 1);
}

// A power cut ends every process of the device, the tool's own too: a script
// sees exit code 137 and what watch printed before the cut, with no end line.
TEST_F(Cli, APowerCutEndsWatchWith137AndNothingMore)
{
    Background watch(L"watch --json");
    ASSERT_TRUE(watch.WaitLines(1));
    // The runner; the tool's supervisor watches from outside, as the caller does.
    EXPECT_EQ(SimPowerCut(), 1u);
    EXPECT_EQ(watch.Finish(), (DWORD)SIM_EXIT_POWER_CUT);
    ASSERT_EQ(watch.lines.size(), 1u);
    EXPECT_EQ(watch.Line(0)["event"].s, "now");
}

// --- diagnose ---------------------------------------------------------------------------

// Wi-Fi on as a user leaves it: a domain, the radio on, the status file 1.
void TurnWiFiOnHere()
{
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x30);
    TurnOnWiFiModule();
    ASSERT_EQ(RegDword(REG_STATE_KEY, REG_STATE_VALUE), 0x101u);
}

std::vector<std::string> Causes(const Json& report)
{
    std::vector<std::string> causes;
    for (const Json& f : report["findings"].items) {
        causes.push_back(f["cause"].s);
        EXPECT_FALSE(f["finding"].s.empty());
        EXPECT_FALSE(f["fix"].s.empty());
    }
    return causes;
}

bool Contains(const std::vector<std::string>& items, const std::string& item)
{
    return std::find(items.begin(), items.end(), item) != items.end();
}

TEST_F(Cli, DiagnoseOfAHealthyDeviceFindsNothing)
{
    TurnWiFiOnHere();
    Json j = Doc("diagnose");
    EXPECT_EQ(j["exit_code"].n, 0);
    EXPECT_TRUE(j["wifi_on"].b);
    EXPECT_EQ(Causes(j), std::vector<std::string>{});
    HAS(Run("diagnose").out, "Wi-Fi is on and nothing is wrong");
}

// Runs a fix as written: "rendakctl ..." or "handheld-console ...".
DWORD RunFix(const std::string& command)
{
    std::string line = command;
    size_t domain = line.find("DOMAIN");
    if (domain != std::string::npos) {
        line.replace(domain, 6, "eu");
    }
    size_t space = line.find(' ');
    std::string program = line.substr(0, space);
    EXPECT_TRUE(program == "rendakctl" || program == "handheld-console") << command;
    return RunProgram(Widen(program + ".exe"), Widen(line.substr(space + 1))).exitCode;
}

TEST_F(Cli, DiagnoseFindsEachStateTheConsoleMakesAndItsFixesChangeIt)
{
    struct Case {
        const char* name;
        const char* act;  // the console's action that makes it, or NULL
        void (*arrange)();
        const char* cause;
    } cases[] = {
        {"card out", "eject", NULL, "card_missing"},
        {"OEM switch off", "oem-off", NULL, "oem_switch_off"},
        {"activations fail", "activation-fails", NULL, "activation_fails"},
        {"the next activation fails", "fail-next-activation", NULL, "faults_armed"},
        {"cold resets refused", "refuse-reset", NULL, "cold_reset_refused"},
        {"state value stuck", "stuck-on", NULL, "state_stuck"},
        {"driver not loaded, value 0", NULL,
         [] {
             SimEjectCard();
             SimInsertCard(FALSE);
         },
         "driver_missing"},
        {"driver not loaded, value not 0", NULL,
         [] {
             SimEjectCard();
             SimInsertCard(FALSE);
             SimRegSetDword(REG_STATE_KEY, REG_STATE_VALUE, 0x099);
         },
         "driver_missing"},
        {"the library's mark of a cleared domain", NULL, [] { ChangeWiFiRegulatory(0); },
         "state_mismatch"},
        {"a value another program wrote", NULL,
         [] { SimRegSetDword(REG_STATE_KEY, REG_STATE_VALUE, 0x102); }, "state_mismatch"},
        {"radio off", NULL,
         [] {
             SimSetSetting(SIM_SETTING_POWER_OFF_MS, 0);  // settled at once
             SimRadioSwitch(L"TRXD385L1", 0);
         },
         "radio_off"},
        {"status file off", NULL, [] { WriteDeviceFile(STATUS_FILE, "0"); }, "status_file_off"},
        {"no domain", NULL, [] { SimRegDeleteValue(REG_ADAPTER_KEY, REG_DOMAIN_VALUE); },
         "no_domain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimResetDevice();
        SimClearFaults();
        TurnWiFiOnHere();
        WriteDeviceFile(STATUS_FILE, "1");
        if (c.act) {
            ASSERT_EQ(RunProgram(L"handheld-console.exe",
                                 L"--device " + Widen(device_) + L" --act " + Widen(c.act))
                          .exitCode,
                      0u);
        } else {
            c.arrange();
        }
        Json before = Doc("diagnose");
        EXPECT_EQ(before["exit_code"].n, 4);
        ASSERT_TRUE(Contains(Causes(before), c.cause)) << Causes(before).size();
        for (const Json& f : before["findings"].items) {
            if (f["cause"].s != c.cause) {
                continue;
            }
            ASSERT_FALSE(f["commands"].items.empty());
            for (const Json& command : f["commands"].items) {
                SCOPED_TRACE(command.s);
                EXPECT_EQ(RunFix(command.s), 0u);
            }
        }
        SimSelectDevice(Widen(device_).c_str());
        Json after = Doc("diagnose");
        EXPECT_FALSE(Contains(Causes(after), c.cause)) << "the fix did not change it";
        // The text says the same, with the commands.
        SimSetStateStuck(FALSE);
    }
}

TEST_F(Cli, DiagnoseOfAFactoryDeviceSaysWhatToDoFirstAndItsFixesTurnWiFiOn)
{
    RunResult r = Run("diagnose");
    EXPECT_EQ(r.exitCode, 4u);
    HAS(r.out, "Wi-Fi is off, because:");
    size_t domain = r.out.find("[no_domain]"), radio = r.out.find("[radio_off]");
    ASSERT_NE(domain, std::string::npos) << r.out;
    ASSERT_NE(radio, std::string::npos) << r.out;
    EXPECT_LT(domain, radio);
    // Switching on first would be refused: the radio's fix sets a domain first.
    size_t set = r.out.find("rendakctl --device " + device_ + " regulatory set DOMAIN", radio);
    ASSERT_NE(set, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rendakctl --device " + device_ + " on", set), std::string::npos);
    Json j = Doc("diagnose");
    std::vector<std::string> done;
    for (const Json& f : j["findings"].items) {
        for (const Json& command : f["commands"].items) {
            if (!Contains(done, command.s)) {
                EXPECT_EQ(RunFix(command.s), 0u) << command.s;
                done.push_back(command.s);
            }
        }
    }
    EXPECT_EQ(Run("diagnose").exitCode, 0u);
}

// After a power cut the device starts again with every radio off, whatever the
// status file says was left on: diagnose says so and its fix switches Wi-Fi on.
TEST_F(Cli, DiagnoseAfterAPowerCutSaysTheRadioWasLeftOffByIt)
{
    TurnWiFiOnHere();
    WriteDeviceFile(STATUS_FILE, "1");
    DWORD cuts = SimKernelCounter(L"PowerCuts");
    SimPowerCut();
    SimSelectDevice(Widen(device_).c_str());  // the device started again from what it committed
    Json j = Doc("diagnose");
    EXPECT_EQ(j["exit_code"].n, 4);
    ASSERT_EQ(Causes(j), std::vector<std::string>{"radio_off"});
    const Json& f = j["findings"].items[0];
    HAS(f["finding"].s, "though the status file says Wi-Fi was left on");
    HAS(f["finding"].s, "counts " + std::to_string(cuts + 1) + " power cut");
    ASSERT_EQ(f["commands"].items.size(), 1u);
    EXPECT_EQ(f["commands"].items[0].s, "rendakctl --device " + device_ + " on");
    EXPECT_EQ(RunFix(f["commands"].items[0].s), 0u);
    EXPECT_EQ(Run("diagnose").exitCode, 0u);

    // Switched off by a person, the radio is off and the file says so: no cut is blamed.
    EXPECT_EQ(Run("off").exitCode, 0u);
    Json off = Doc("diagnose");
    EXPECT_EQ(off["findings"].items[0]["cause"].s, "radio_off");
    EXPECT_EQ(off["findings"].items[0]["finding"].s.find("power cut"), std::string::npos);
}

// --- watch --------------------------------------------------------------------------------

TEST_F(Cli, WatchJsonPrintsEachChangeAsItHappensThenHowItEnded)
{
    Background watch(L"watch --json --count 5");  // options after the command
    ASSERT_TRUE(watch.WaitLines(1));
    Json now = watch.Line(0);
    EXPECT_EQ(now["event"].s, "now");
    EXPECT_EQ(now["state"]["value"].n, 0x100);
    EXPECT_EQ(now["domain"]["name"].s, "None");
    ASSERT_EQ(now["radios"].items.size(), 3u);
    // The same shapes as status.
    Json status = Doc("status");
    EXPECT_EQ(now["domain"]["channels"].items.size(), status["domain"]["channels"].items.size());
    EXPECT_EQ(now["state"]["bits"].items[0].s, status["state"]["bits"].items[0].s);

    // One change at a time, each waited for, so the order is the device's.
    SetRegDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE, 0x32);
    ASSERT_TRUE(watch.WaitLines(2));
    SIMRADIO radios[3];
    for (DWORD i = 0; i < 3; i++) {
        SimGetRadio(i, &radios[i]);
    }
    radios[2].dwPower = 1;  // Bluetooth
    SimSetRadios(radios, 3);
    ASSERT_TRUE(watch.WaitLines(3));
    SimRegSetDword(REG_STATE_KEY, REG_STATE_VALUE, 0x103);
    ASSERT_TRUE(watch.WaitLines(4));
    // The driver and the adapter's listing, one reading.
    SimSetSetting(SIM_SETTING_DRIVER_ACTIVE, 0);
    ASSERT_TRUE(watch.WaitLines(7));
    EXPECT_EQ(watch.Finish(), 0u);

    ASSERT_EQ(watch.lines.size(), 7u);
    std::vector<std::string> kinds;
    for (size_t i = 0; i < watch.lines.size(); i++) {
        Json line = watch.Line(i);
        EXPECT_EQ(line["seq"].n, (double)i);
        EXPECT_EQ(line["device"].s, device_);
        kinds.push_back(line["event"].s);
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"now", "domain", "radio", "state", "driver", "radio",
                                               "end"}));
    Json domain = watch.Line(1)["domain"];
    EXPECT_EQ(domain["name"].s, "France");
    EXPECT_EQ(domain["code"].n, 0x32);
    Json bluetooth = watch.Line(2)["radio"];
    EXPECT_EQ(bluetooth["name"].s, "BTH1");
    EXPECT_EQ(bluetooth["type"].n, 3);
    EXPECT_TRUE(bluetooth["on"].b);
    Json state = watch.Line(3)["state"];
    EXPECT_EQ(state["value"].n, 0x103);
    ASSERT_EQ(state["bits"].items.size(), 3u);
    EXPECT_EQ(state["bits"].items[1].s, "switching");
    Json driver = watch.Line(4)["driver"];
    EXPECT_TRUE(driver["card_inserted"].b);
    EXPECT_FALSE(driver["driver_loaded"].b);
    Json adapter = watch.Line(5);
    EXPECT_EQ(adapter["radio"]["name"].s, "TRXD385L1");
    EXPECT_FALSE(adapter["radio"]["listed"].b);
    EXPECT_FALSE(adapter["removed"].b);
    Json end = watch.Line(6);
    EXPECT_EQ(end["reason"].s, "count");
    EXPECT_EQ(end["exit_code"].n, 0);
}

// Answers this process's reload question only once the watch has shown a
// line after its first: the signal reaches journal.log after the event is
// set, so an answer given at once could change the driver's parameter first.
int WINAPI AnswerAfterTheWatchSawTheSignal(HWND, LPCWSTR, LPCWSTR, UINT, void* p)
{
    static_cast<Background*>(p)->WaitLines(2);
    return IDNO;
}

TEST_F(Cli, WatchSeesAnotherProgramsReloadSignalThroughItsJournal)
{
    LetOwnWorkerTakeSignals();
    Background watch(L"--json watch --count 1");
    ASSERT_TRUE(watch.WaitLines(1));
    SimSetMessageBoxHook(AnswerAfterTheWatchSawTheSignal, &watch);
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", L"1");
    RunResult signal = Run("reload-signal");
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", NULL);
    EXPECT_EQ(signal.exitCode, 0u);
    ASSERT_TRUE(watch.WaitLines(3));
    EXPECT_EQ(watch.Finish(), 0u);
    Json reload = watch.Line(1);
    EXPECT_EQ(reload["event"].s, "reload");
    EXPECT_EQ(reload["name"].s, Narrow(RELOAD_EVENT_NAME));
    EXPECT_EQ(watch.Line(2)["event"].s, "end");
    EXPECT_TRUE(WaitForWorkerIdle(1));  // this process's worker took it
    SimSetMessageBoxHook(NULL, NULL);
}

}  // namespace
