// The command-line tool, run as a program on the test's device: bad input,
// the regulatory domain by index and by name, JSON for scripts, refusals,
// and who serves the reload that the tool signals.
#include "testing.h"

#include <map>
#include <memory>

namespace {

// --- a small JSON reader: enough to prove the output parses and to look inside --
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<Json> items;
    std::map<std::string, Json> fields;
    bool Has(const std::string& key) const { return fields.count(key) > 0; }
    const Json& operator[](const std::string& key) const { return fields.at(key); }
};

struct JsonReader {
    const std::string& text;
    size_t at = 0;
    bool ok = true;

    void Space()
    {
        while (at < text.size() && isspace((unsigned char)text[at])) {
            at++;
        }
    }
    bool Eat(char c)
    {
        Space();
        if (at < text.size() && text[at] == c) {
            at++;
            return true;
        }
        return false;
    }
    bool Word(const char* w)
    {
        size_t n = strlen(w);
        if (text.compare(at, n, w) == 0) {
            at += n;
            return true;
        }
        return false;
    }
    std::string Str()
    {
        std::string out;
        if (!Eat('"')) {
            ok = false;
            return out;
        }
        while (at < text.size() && text[at] != '"') {
            if (text[at] == '\\' && at + 1 < text.size()) {
                at++;
                if (text[at] == 'u') {
                    out += (char)strtol(text.substr(at + 1, 4).c_str(), NULL, 16);
                    at += 4;
                } else {
                    out += text[at] == 'n' ? '\n' : text[at];
                }
            } else {
                out += text[at];
            }
            at++;
        }
        ok = ok && Eat('"');
        return out;
    }
    Json Value()
    {
        Json v;
        Space();
        if (at >= text.size()) {
            ok = false;
        } else if (text[at] == '{') {
            v.kind = Json::Object;
            at++;
            if (!Eat('}')) {
                do {
                    std::string key = Str();
                    ok = ok && Eat(':');
                    v.fields[key] = Value();
                } while (ok && Eat(','));
                ok = ok && Eat('}');
            }
        } else if (text[at] == '[') {
            v.kind = Json::Array;
            at++;
            if (!Eat(']')) {
                do {
                    v.items.push_back(Value());
                } while (ok && Eat(','));
                ok = ok && Eat(']');
            }
        } else if (text[at] == '"') {
            v.kind = Json::String;
            v.s = Str();
        } else if (Word("true") || Word("false")) {
            v.kind = Json::Bool;
            v.b = text[at - 1] == 'e' && text[at - 2] == 'u';
        } else if (Word("null")) {
            v.kind = Json::Null;
        } else {
            char* end = NULL;
            v.kind = Json::Number;
            v.n = strtod(text.c_str() + at, &end);
            ok = ok && end != text.c_str() + at;
            at = (size_t)(end - text.c_str());
        }
        return v;
    }
};

Json ParseJson(const std::string& text)
{
    JsonReader r{text};
    Json v = r.Value();
    r.Space();
    EXPECT_TRUE(r.ok && r.at == text.size()) << "not one JSON value: " << text;
    return v;
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

class Cli : public DeviceTest {
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        // This process loads the library too: its worker is the "other program".
        (void)IfWiFiRegulatorySet();
        SetEnvironmentVariableW(L"HANDHELD_CLOCK", L"virtual");
    }
    RunResult Run(const std::string& args) { return RunProgram(L"rendakctl.exe", Widen(args)); }
};

void ExpectDomain(const Json& d, const Row& row)
{
    EXPECT_EQ(d["index"].n, row.index);
    EXPECT_EQ(d["name"].s, row.name);
    EXPECT_EQ(d["code"].n, row.code);
    EXPECT_EQ(d["mask"].n, row.mask);
    std::vector<int> channels;
    for (const Json& c : d["channels"].items) {
        channels.push_back((int)c.n);
    }
    EXPECT_EQ(channels, row.channels);
}

TEST_F(Cli, HelpListsCommandsAndExitCodes)
{
    RunResult r = Run("--help");
    EXPECT_EQ(r.exitCode, 0u);
    for (const char* word :
         {"--device", "--json", "--yes", "--no", "regulatory set", "status", "hard-reset",
          "direct-on", "watch", "reload-signal", "exit codes", "bad usage"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
    RunResult none = Run("");
    EXPECT_EQ(none.exitCode, 2u);
    EXPECT_NE(none.err.find("no command"), std::string::npos);
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
        {"regulatory frob", "list or set"},
        {"regulatory show now", "now"},
        {"status please", "please"},
        {"on now", "now"},
        {"frobnicate", "reload-signal"},
        {"--loud status", "--json"},
        {"--device", "device name"},
        {"--device bad/name status", "letters"},
        {"--yes --no regulatory set fr", "not both"},
        {"watch --count 0", "--count"},
        {"watch --count x", "--count"},
        {"watch --forever", "--count"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        RunResult r = Run(c.args);
        EXPECT_EQ(r.exitCode, 2u);
        EXPECT_NE(r.err.find(c.hint), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"Domain"), std::nullopt);
    EXPECT_FALSE(SimRegKeyExists(VENDOR_KEY));
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), std::nullopt);
    EXPECT_EQ(RegDword(STATE_KEY, L"WiFi"), 0x100u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE_PATH), std::nullopt);
}

TEST_F(Cli, EveryRowIsStoredByIndexAndReadBack)
{
    SetRegDword(OEM_KEY, L"WIFI", 0);  // no reloads: this is about what is stored
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        // From another row, so that storing this one is a change.
        SetRegDword(ADAPTER_KEY, L"Domain", row.index == 6 ? 0x10 : 0x40);
        RunResult set = Run("--json regulatory set " + std::to_string(row.index));
        ASSERT_EQ(set.exitCode, 0u) << set.err;
        EXPECT_EQ(RegDword(ADAPTER_KEY, L"Domain"), row.code);
        EXPECT_EQ(RegDword(VENDOR_KEY, L"ChannelDomain"), row.mask);
        Json out = ParseJson(set.out);
        ExpectDomain(out["domain"], row);
        EXPECT_FALSE(out["reload_signalled"].b);

        RunResult show = Run("--json regulatory");
        ASSERT_EQ(show.exitCode, 0u);
        ExpectDomain(ParseJson(show.out), row);
        RunResult text = Run("regulatory");
        EXPECT_NE(text.out.find(row.name), std::string::npos) << text.out;
    }
}

TEST_F(Cli, EveryRowIsFoundByNameInAnyCaseAndByItsShortForm)
{
    SetRegDword(OEM_KEY, L"WIFI", 0);
    for (const Row& row : kRows) {
        for (const std::string& word :
             {std::string(row.name), Lower(row.name), std::string(row.alias)}) {
            SCOPED_TRACE(word);
            SetRegDword(ADAPTER_KEY, L"Domain", row.index == 6 ? 0x10 : 0x40);
            RunResult r = Run("--json regulatory set \"" + word + "\"");
            ASSERT_EQ(r.exitCode, 0u) << r.err;
            EXPECT_EQ(RegDword(ADAPTER_KEY, L"Domain"), row.code);
            ExpectDomain(ParseJson(r.out)["domain"], row);
        }
    }
}

TEST_F(Cli, StatusJsonHasTheKeysScriptsRelyOn)
{
    RunResult fresh = Run("--json status");
    ASSERT_EQ(fresh.exitCode, 0u);
    Json s = ParseJson(fresh.out);
    for (const char* key :
         {"regulatory_set", "domain", "driver_wifi", "status_file", "state_value", "radios"}) {
        EXPECT_TRUE(s.Has(key)) << key;
    }
    EXPECT_EQ(s["device"].s, Narrow(SimDeviceName()));
    EXPECT_FALSE(s["regulatory_set"].b);
    EXPECT_EQ(s["domain"]["index"].n, 0);
    EXPECT_EQ(s["domain"]["code"].kind, Json::Null);
    EXPECT_EQ(s["driver_wifi"].kind, Json::Null);
    EXPECT_EQ(s["status_file"].kind, Json::Null);
    EXPECT_EQ(s["state_value"].n, 0x100);
    ASSERT_EQ(s["radios"].items.size(), 3u);
    EXPECT_EQ(s["radios"].items[1]["name"].s, "TRXD385L1");
    EXPECT_EQ(s["radios"].items[1]["type"].n, 1);
    EXPECT_FALSE(s["radios"].items[1]["on"].b);
    EXPECT_TRUE(s["radios"].items[0]["on"].b);  // the phone

    SetRegDword(ADAPTER_KEY, L"Domain", 0x31);
    SetRegDword(VENDOR_KEY, L"ChannelDomain", 0x0600);
    SetRegDword(ADAPTER_KEY, L"WIFI", 0);
    SimRegDeleteValue(STATE_KEY, L"WiFi");
    WriteDeviceFile(STATUS_FILE_PATH, "1\n");
    s = ParseJson(Run("--json status").out);
    ExpectDomain(s["domain"], kRows[5]);
    EXPECT_EQ(s["driver_wifi"].n, 0);
    EXPECT_EQ(s["status_file"].n, 1);
    EXPECT_EQ(s["state_value"].kind, Json::Null);
    WriteDeviceFile(STATUS_FILE_PATH, "2");
    EXPECT_EQ(ParseJson(Run("--json status").out)["status_file"].n, 0);
}

TEST_F(Cli, StatusSpellsOutTheStateBits)
{
    SetRegDword(STATE_KEY, L"WiFi", 0x103);
    RunResult r = Run("status");
    ASSERT_EQ(r.exitCode, 0u);
    EXPECT_NE(r.out.find("0x103 (adapter present, switching, powered)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("status file: none"), std::string::npos);
}

TEST_F(Cli, SwitchingOnWithoutADomainIsRefusedWithTheLibrarysMessage)
{
    RunResult r = Run("on");
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_NE(r.err.find("[Error !]: The Wi-Fi Regulatory was lost, please set it again."),
              std::string::npos)
        << r.err;
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), std::nullopt);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE_PATH), std::nullopt);
    EXPECT_EQ(ParseJson(Run("--json status").out)["radios"].items[1]["on"].b, false);

    RunResult init = Run("init");
    EXPECT_EQ(init.exitCode, 1u);
    EXPECT_NE(init.err.find("ChangeWiFiRegulatory() at first"), std::string::npos);
}

TEST_F(Cli, SwitchingOnAndOffWithADomainSucceeds)
{
    SetRegDword(ADAPTER_KEY, L"Domain", 0x30);
    RunResult on = Run("on");
    EXPECT_EQ(on.exitCode, 0u) << on.err;
    EXPECT_EQ(on.err, "");
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), 1u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE_PATH), "1");
    RunResult off = Run("off");
    EXPECT_EQ(off.exitCode, 0u);
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), 0u);
    EXPECT_EQ(ReadDeviceFile(STATUS_FILE_PATH), "0");
}

TEST_F(Cli, ClearingAStoredDomainWithNoneReallyClearsIt)
{
    SetRegDword(OEM_KEY, L"WIFI", 0);
    SetRegDword(ADAPTER_KEY, L"Domain", 0x40);
    SetRegDword(VENDOR_KEY, L"ChannelDomain", 0x3FFF);
    RunResult r = Run("regulatory set none");
    ASSERT_EQ(r.exitCode, 0u);
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"Domain"), 0u);
    EXPECT_EQ(RegDword(VENDOR_KEY, L"ChannelDomain"), 0u);
}

// Holds this process's worker inside its question, so the tool's worker is the
// only one waiting on the device's reload event.
struct BusyWorker {
    HANDLE hRelease = CreateEventW(NULL, TRUE, FALSE, NULL);
    static int WINAPI Hook(HWND, LPCWSTR, LPCWSTR, UINT, void* p)
    {
        WaitForSingleObject(static_cast<BusyWorker*>(p)->hRelease, 60000);
        return IDNO;
    }
    BusyWorker()
    {
        SimSetMessageBoxHook(Hook, this);
        HANDLE hEvent = OpenEventW(
            EVENT_MODIFY_STATE, FALSE,
            (L"Handheld." + std::wstring(SimDeviceName()) + L".Olbrin_ReloadWiFi").c_str());
        SetEvent(hEvent);
        CloseHandle(hEvent);
        EXPECT_TRUE(SimJournalWaitFor(L"MessageBoxW|", 1, 10000));
    }
    ~BusyWorker()
    {
        SetEvent(hRelease);
        WaitForWorkerIdle(1);
        SimSetMessageBoxHook(NULL, NULL);
        CloseHandle(hRelease);
    }
};

TEST_F(Cli, TheToolServesItsOwnReloadWhenNoOtherWorkerIsWaiting)
{
    BusyWorker busy;
    RunResult r = Run("--yes regulatory set eu");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_NE(r.out.find("reload signalled"), std::string::npos);
    // The question before any InitWiFi has empty text, answered Yes: off, then on.
    EXPECT_NE(r.err.find("message box [(no caption)]: (no text) -> Yes"), std::string::npos)
        << r.err;
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), 1u);
    EXPECT_TRUE(ParseJson(Run("--json status").out)["radios"].items[1]["on"].b);

    RunResult no = Run("reload-signal");
    EXPECT_EQ(no.exitCode, 0u);
    EXPECT_NE(no.err.find("-> No"), std::string::npos) << no.err;
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), 0u);
    EXPECT_EQ(CountJournal(L"MessageBoxW|"), 1u);  // only the question that keeps ours busy
}

TEST_F(Cli, AReloadSignalGoesToAWaitingWorkerOfAnotherProgram)
{
    RunResult r = Run("--yes reload-signal");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_NE(r.err.find("taken by another program's worker"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("message box"), std::string::npos);
    // This process's worker asked (and its scripted user said No).
    ASSERT_TRUE(WaitForWorkerIdle(1));
    std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].flags, 0x44u);
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), 0u);
}

TEST_F(Cli, DeviceOptionWorksOnThatDeviceAloneWithItsOwnEvent)
{
    std::wstring other = std::wstring(SimDeviceName()) + L"-other";
    SimDeleteDevice(other.c_str());
    RunResult r = Run("--device " + Narrow(other) + " --yes --json regulatory set jp");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_TRUE(ParseJson(r.out)["reload_signalled"].b);
    // No worker waits on the other device, so the tool's own one asked there.
    EXPECT_NE(r.err.find("-> Yes"), std::string::npos) << r.err;
    EXPECT_EQ(ParseJson(Run("--device " + Narrow(other) + " --json status").out)["device"].s,
              Narrow(other));
    // Nothing reached this device or its worker.
    EXPECT_EQ(RegDword(ADAPTER_KEY, L"Domain"), std::nullopt);
    EXPECT_EQ(CountJournal(L"Wait|Olbrin_ReloadWiFi|0"), 0u);
    SimDeleteDevice(other.c_str());
}

TEST_F(Cli, ListShowsTheTableWithNotes)
{
    Json list = ParseJson(Run("--json regulatory list").out);
    ASSERT_EQ(list.items.size(), 7u);
    for (const Row& row : kRows) {
        ExpectDomain(list.items[row.index], row);
    }
    EXPECT_EQ(list.items[4]["note"].kind, Json::String);
    EXPECT_EQ(list.items[3]["note"].kind, Json::Null);
}

}  // namespace
