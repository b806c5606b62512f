// The command-line tool, run as a program on the test's device: bad input,
// the regulatory domain by index and by name, JSON for scripts, refusals,
// who serves the reload that the tool signals, switches checked afterwards,
// diagnose, watch and timed answers.
#include "testing.h"

#include <handheld_devmgr.h>
#include <handheld_radio.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

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
         {"--device", "--json", "--yes", "--no", "--answer-timeout", "--default", "regulatory set",
          "status", "diagnose", "hard-reset", "direct-on", "watch", "reload-signal", "exit codes",
          "bad usage", "3  on/off", "4  diagnose"}) {
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
        {"diagnose now", "now"},
        {"--answer-timeout 0 on", "1 to 3600"},
        {"--answer-timeout 5x on", "1 to 3600"},
        {"--answer-timeout", "seconds"},
        {"--answer-timeout 5 --default maybe on", "yes or no"},
        {"--default yes on", "--answer-timeout"},
        {"--yes --answer-timeout 5 on", "one or the other"},
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
        HANDLE hEvent = CoreFunction<HANDLE(WINAPI*)(DWORD, BOOL, LPCWSTR)>("OpenEventW")(
            EVENT_MODIFY_STATE, FALSE, L"Olbrin_ReloadWiFi");
        CoreFunction<BOOL(WINAPI*)(HANDLE, DWORD)>("EventModify")(hEvent, 3 /* EVENT_SET */);
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
    // Only France and Spain are narrower than today's rules (1-13).
    for (const Row& row : kRows) {
        const Json& note = list.items[row.index]["note"];
        bool narrower = row.index == 4 || row.index == 5;
        EXPECT_EQ(note.kind, narrower ? Json::String : Json::Null) << row.name;
        if (narrower) {
            EXPECT_NE(note.s.find("1-13"), std::string::npos) << note.s;
        }
    }
    std::string text = Run("regulatory list").out;
    EXPECT_NE(text.find("note: France"), std::string::npos) << text;
    EXPECT_NE(text.find("note: Spain"), std::string::npos) << text;
}

// --- on and off read the device back ----------------------------------------

// Wi-Fi on as a user leaves it: a domain, the radio on, the status file 1.
void TurnWiFiOnHere()
{
    SetRegDword(ADAPTER_KEY, L"Domain", 0x30);
    TurnOnWiFiModule();
    ASSERT_EQ(RegDword(STATE_KEY, L"WiFi"), 0x101u);
}

TEST_F(Cli, OnAndOffThatDidNotTakeEffectExitThreeAndSayWhy)
{
    SetRegDword(ADAPTER_KEY, L"Domain", 0x30);
    SimEjectCard();
    RunResult out = Run("on");
    EXPECT_EQ(out.exitCode, 3u);
    EXPECT_NE(out.err.find("TRXD385L1 is not listed"), std::string::npos) << out.err;
    EXPECT_NE(out.err.find("PC card is out"), std::string::npos) << out.err;
    // With the card out nothing can be powered: off is done.
    EXPECT_EQ(Run("off").exitCode, 0u);

    SimInsertCard(TRUE);
    SimSetStateStuck(TRUE);
    RunResult stuck = Run("--json on");
    EXPECT_EQ(stuck.exitCode, 3u);
    Json j = ParseJson(stuck.out);
    EXPECT_FALSE(j["took_effect"].b);
    ASSERT_EQ(j["problems"].items.size(), 1u) << stuck.out;
    EXPECT_NE(j["problems"].items[0].s.find("stuck at 0x103"), std::string::npos);
    EXPECT_NE(j["problems"].items[0].s.find("StateStuck=1"), std::string::npos);
    SimSetStateStuck(FALSE);
}

TEST_F(Cli, ARadioThatDidNotChangeIsNamed)
{
    SetRegDword(ADAPTER_KEY, L"Domain", 0x30);
    SimSetupRadios(SIM_RADIOS_TWO_WIFI);
    RunResult on = Run("on");
    EXPECT_EQ(on.exitCode, 0u) << on.err;
    EXPECT_NE(on.out.find("Wi-Fi is on"), std::string::npos);
    // The library switches off the first Wi-Fi radio only.
    RunResult off = Run("off");
    EXPECT_EQ(off.exitCode, 3u);
    EXPECT_NE(off.err.find("WLAN2"), std::string::npos) << off.err;
    EXPECT_NE(off.err.find("is still on"), std::string::npos) << off.err;
    EXPECT_EQ(off.err.find("TRXD385L1"), std::string::npos) << off.err;

    SimSetupRadios(SIM_RADIOS_NO_WIFI);
    RunResult none = Run("on");
    EXPECT_EQ(none.exitCode, 3u);
    EXPECT_NE(none.err.find("no Wi-Fi radio"), std::string::npos) << none.err;
}

// --- diagnose -----------------------------------------------------------------------

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

TEST_F(Cli, DiagnoseOfAHealthyDeviceFindsNothing)
{
    TurnWiFiOnHere();
    RunResult r = Run("--json diagnose");
    EXPECT_EQ(r.exitCode, 0u) << r.out;
    Json j = ParseJson(r.out);
    EXPECT_TRUE(j["wifi_on"].b);
    EXPECT_EQ(Causes(j), std::vector<std::string>{});
    EXPECT_NE(Run("diagnose").out.find("Wi-Fi is on and nothing is wrong"), std::string::npos);
}

TEST_F(Cli, DiagnoseNamesEachCauseWithItsFix)
{
    struct Case {
        const char* name;
        void (*arrange)();
        std::vector<std::string> causes;
        bool wifiOn;
        const char* fix;  // part of the first finding's fix
    } cases[] = {
        {"card out", [] { SimEjectCard(); }, {"card_missing"}, false, "insert the card"},
        {"driver not loaded",
         [] {
             SimEjectCard();
             SimInsertCard(FALSE);
         },
         {"driver_missing"},
         false,
         "rendakctl init"},
        {"driver activation failing",
         [] {
             SimEjectCard();
             SimInsertCard(FALSE);
             SimSetSetting(L"FailActivation", 1);
         },
         {"driver_missing"},
         false,
         "FailActivation"},
        {"no domain",
         [] { SimRegDeleteValue(ADAPTER_KEY, L"Domain"); },
         {"no_domain"},
         true,
         "rendakctl regulatory set"},
        {"OEM switch off",
         [] { SetRegDword(OEM_KEY, L"WIFI", 0); },
         {"oem_switch_off"},
         true,
         "OEMGeneric"},
        {"radio off",
         [] {
             SimSetSetting(L"PowerOffMs", 0);  // settled at once
             SimRadioSwitch(L"TRXD385L1", 0);
         },
         {"radio_off"},
         false,
         "rendakctl on"},
        {"state stuck by the device",
         [] { SimSetStateStuck(TRUE); },
         {"state_stuck"},
         false,
         "StateStuck"},
        {"switching left over by a program that ended",
         [] { SimRegSetDword(STATE_KEY, L"WiFi", 0x103); },
         {"state_stuck"},
         false,
         "rendakctl off, then rendakctl on"},
        {"status file off",
         [] { WriteDeviceFile(STATUS_FILE_PATH, "0"); },
         {"status_file_off"},
         true,
         "rendakctl on"},
        {"two faults at once",
         [] {
             SimRegDeleteValue(ADAPTER_KEY, L"Domain");
             SimEjectCard();
         },
         {"card_missing", "no_domain"},
         false,
         "insert the card"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimResetDevice();
        TurnWiFiOnHere();
        c.arrange();
        RunResult r = Run("--json diagnose");
        EXPECT_EQ(r.exitCode, 4u);
        Json j = ParseJson(r.out);
        EXPECT_EQ(Causes(j), c.causes) << r.out;
        EXPECT_EQ(j["wifi_on"].b, c.wifiOn);
        if (!j["findings"].items.empty()) {
            EXPECT_NE(j["findings"].items[0]["fix"].s.find(c.fix), std::string::npos) << r.out;
        }
        // The text says the same, with the fix.
        RunResult text = Run("diagnose");
        EXPECT_EQ(text.exitCode, 4u);
        EXPECT_NE(text.out.find("[" + c.causes[0] + "]"), std::string::npos) << text.out;
        EXPECT_NE(text.out.find(std::string("fix: ")), std::string::npos);
        SimSetStateStuck(FALSE);
    }
}

TEST_F(Cli, DiagnoseOfAFactoryDeviceSaysWhatToDoFirst)
{
    RunResult r = Run("diagnose");
    EXPECT_EQ(r.exitCode, 4u);
    EXPECT_NE(r.out.find("Wi-Fi is off, because:"), std::string::npos) << r.out;
    size_t domain = r.out.find("[no_domain]"), radio = r.out.find("[radio_off]");
    ASSERT_NE(domain, std::string::npos) << r.out;
    ASSERT_NE(radio, std::string::npos) << r.out;
    EXPECT_LT(domain, radio);
    // Switching on first would be refused: the radio's fix sets a domain first.
    EXPECT_NE(r.out.find("fix: rendakctl regulatory set DOMAIN, then rendakctl on"),
              std::string::npos);
}

// --- watch --json ---------------------------------------------------------------------

// A program left running while the test changes the device; its lines are
// collected as they come.
struct Background {
    HANDLE hProcess = NULL;
    HANDLE hOut = NULL;
    std::thread reader;
    std::mutex lock;
    std::condition_variable grew;
    std::vector<std::string> lines;

    explicit Background(const std::wstring& args)
    {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, TRUE};
        HANDLE hWrite, hNul;
        CreatePipe(&hOut, &hWrite, &sa, 0);
        SetHandleInformation(hOut, HANDLE_FLAG_INHERIT, 0);
        hNul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, NULL);
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = hWrite;
        si.hStdError = hNul;
        PROCESS_INFORMATION pi = {};
        std::wstring exe = Widen(BUILD_BIN_DIR) + L"/rendakctl.exe";
        std::wstring command = L"\"" + exe + L"\" " + args;
        EXPECT_TRUE(
            CreateProcessW(exe.c_str(), command.data(), NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi));
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
        return i < lines.size() ? ParseJson(lines[i]) : Json();
    }
    DWORD Finish()
    {
        DWORD code = (DWORD)-1;
        if (WaitForSingleObject(hProcess, 20000) != WAIT_OBJECT_0) {
            TerminateProcess(hProcess, 99);
            ADD_FAILURE() << "watch did not end";
        }
        GetExitCodeProcess(hProcess, &code);
        reader.join();
        CloseHandle(hOut);
        CloseHandle(hProcess);
        return code;
    }
};

TEST_F(Cli, WatchJsonPrintsEachChangeAsItHappensWithNames)
{
    Background watch(L"--json watch --count 5");
    ASSERT_TRUE(watch.WaitLines(1));
    Json now = watch.Line(0);
    EXPECT_EQ(now["event"].s, "now");
    EXPECT_EQ(now["state"]["hex"].s, "0x100");
    EXPECT_EQ(now["domain"]["name"].kind, Json::String);  // none stored: "None"
    ASSERT_EQ(now["radios"].items.size(), 3u);

    // One change at a time, each waited for, so the order is the device's.
    SetRegDword(ADAPTER_KEY, L"Domain", 0x32);
    ASSERT_TRUE(watch.WaitLines(2));
    SIMRADIO radios[3];
    for (DWORD i = 0; i < 3; i++) {
        SimGetRadio(i, &radios[i]);
    }
    radios[2].dwPower = 1;  // Bluetooth
    SimSetRadios(radios, 3);
    ASSERT_TRUE(watch.WaitLines(3));
    SimRegSetDword(STATE_KEY, L"WiFi", 0x103);
    ASSERT_TRUE(watch.WaitLines(4));
    SimSetSetting(L"DriverActive", 0);  // the driver and the adapter's listing, one reading
    ASSERT_TRUE(watch.WaitLines(6));
    EXPECT_EQ(watch.Finish(), 0u);

    ASSERT_EQ(watch.lines.size(), 6u);
    std::vector<std::string> kinds;
    for (size_t i = 0; i < watch.lines.size(); i++) {
        Json line = watch.Line(i);
        EXPECT_EQ(line["seq"].n, (double)i);
        kinds.push_back(line["event"].s);
    }
    EXPECT_EQ(kinds,
              (std::vector<std::string>{"now", "domain", "radio", "state", "driver", "radio"}));
    Json domain = watch.Line(1);
    EXPECT_EQ(domain["name"].s, "France");
    EXPECT_EQ(domain["code"].s, "0x32");
    Json bluetooth = watch.Line(2);
    EXPECT_EQ(bluetooth["name"].s, "BTH1");
    EXPECT_EQ(bluetooth["type"].s, "Bluetooth");
    EXPECT_EQ(bluetooth["power"].s, "on");
    Json state = watch.Line(3);
    EXPECT_EQ(state["value"].n, 0x103);
    ASSERT_EQ(state["bits"].items.size(), 3u);
    EXPECT_EQ(state["bits"].items[1].s, "switching");
    Json driver = watch.Line(4);
    EXPECT_EQ(driver["card"].s, "inserted");
    EXPECT_EQ(driver["driver"].s, "not loaded");
    Json adapter = watch.Line(5);
    EXPECT_EQ(adapter["name"].s, "TRXD385L1");
    EXPECT_FALSE(adapter["listed"].b);
}

TEST_F(Cli, WatchSeesAnotherProgramsReloadSignalThroughItsJournal)
{
    Background watch(L"--json watch --count 1");
    ASSERT_TRUE(watch.WaitLines(1));
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", L"1");
    RunResult signal = Run("reload-signal");
    SetEnvironmentVariableW(L"HANDHELD_JOURNAL", NULL);
    EXPECT_EQ(signal.exitCode, 0u);
    ASSERT_TRUE(watch.WaitLines(2));
    EXPECT_EQ(watch.Finish(), 0u);
    Json reload = watch.Line(1);
    EXPECT_EQ(reload["event"].s, "reload");
    EXPECT_EQ(reload["name"].s, "Olbrin_ReloadWiFi");
    EXPECT_TRUE(WaitForWorkerIdle(1));  // this process's worker took it
}

// --- answers with a time-out ----------------------------------------------------------

TEST_F(Cli, ABoxLeftUnansweredGetsTheDefaultWhenTheTimeIsUp)
{
    {
        BusyWorker busy;  // the tool's own worker asks
        RunResult r = Run("--answer-timeout 30 --default yes reload-signal");
        EXPECT_EQ(r.exitCode, 0u) << r.err;
        EXPECT_NE(r.err.find("-> Yes (unanswered after 30 s)"), std::string::npos) << r.err;
        EXPECT_EQ(RegDword(ADAPTER_KEY, L"WIFI"), 1u);
    }
    // An error box closes with OK, and still counts as a refusal.
    SimRegDeleteValue(ADAPTER_KEY, L"Domain");
    RunResult on = Run("--answer-timeout 5 on");
    EXPECT_EQ(on.exitCode, 1u);
    EXPECT_NE(on.err.find("[Error !]: The Wi-Fi Regulatory was lost, please set it again. -> "
                          "OK (unanswered after 5 s)"),
              std::string::npos)
        << on.err;
}

}  // namespace
