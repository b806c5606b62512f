// rules.cpp - today's rules, from the regulatory database that Linux uses:
// which channels a country allows, how a row of the domain table stands in the
// countries it is named for (regulatory explain), and which row to store for a
// country (regulatory suggest, regulatory set --country). The data is built
// in, generated from the installed database when the tool was built; --regdb
// FILE reads another database instead, with the same reader.
#include "rendakctl.h"

#include <advice.h>
#include <regdata.h>

#include <algorithm>
#include <ctype.h>
#include <stdio.h>

using namespace regdb;

static std::vector<CountryChannels> g_fileCountries;  // --regdb FILE's countries
static std::string g_regdbFile;                       // "" while the built-in data is used

int LoadTodaysRules(const std::string& file)
{
    if (file.empty()) {
        return EXIT_DONE;
    }
    Database db;
    std::string error;
    if (!ReadDatabaseFile(file, db, error)) {
        return UsageError("--regdb: " + error);
    }
    g_fileCountries = CountriesOf(db);
    if (g_fileCountries.empty()) {
        return UsageError("--regdb: " + file + " holds no country with a two-letter code");
    }
    g_regdbFile = file;
    return EXIT_DONE;
}

static CountryTable Rules()
{
    if (g_regdbFile.empty()) {
        return g_generatedCountries;
    }
    return CountryTable{g_fileCountries.data(), g_fileCountries.size()};
}

// --- the database, as the documents show it -------------------------------------------

// "wireless-regdb 2026.09.03-1~deb12u1" is the package and its version.
static std::string PackagePart(bool version)
{
    std::string package = g_regdbFile.empty() ? g_dbOrigin.package : "";
    size_t space = package.find(' ');
    if (space == std::string::npos) {
        return version ? "" : package;
    }
    return version ? package.substr(space + 1) : package.substr(0, space);
}

static JsonValue OrNull(const std::string& text)
{
    return text.empty() ? JsonValue() : JsonValue(text);
}

static JsonValue DatabaseJson()
{
    bool builtIn = g_regdbFile.empty();
    JsonValue j = JsonValue::MakeObject();
    j.Set("file", builtIn ? g_dbOrigin.file : g_regdbFile);
    j.Set("package", OrNull(PackagePart(false)));
    j.Set("version", OrNull(PackagePart(true)));
    j.Set("sha256", builtIn ? OrNull(g_dbOrigin.sha256) : JsonValue());
    j.Set("built_in", builtIn);
    return j;
}

static std::string DatabaseText()
{
    if (!g_regdbFile.empty()) {
        return g_regdbFile + ", given with --regdb";
    }
    std::string package = g_dbOrigin.package;
    return package.empty() ? std::string(g_dbOrigin.file) + " (no package owns it)" : package;
}

// --- shapes -------------------------------------------------------------------------------

static const char* VerdictName(Verdict v)
{
    switch (v) {
    case Verdict::kLawful:
        return "lawful";
    case Verdict::kUnlawful:
        return "unlawful";
    case Verdict::kUnknownCountry:
        break;
    }
    return "unknown country";
}

static uint32_t AllowedEitherWay(const CountryChannels& c)
{
    return ChannelMask(c, k80211bg) | ChannelMask(c, k80211bOnly);
}

static JsonValue CountryRulesJson(const CountryChannels& c)
{
    JsonValue limits = JsonValue::MakeArray();
    for (const LimitGroup& g : LimitGroups(c)) {
        JsonValue j = JsonValue::MakeObject();
        j.Set("channels", ChannelsJson(g.mask));
        j.Set("eirp_mbm", g.eirpMbm);
        j.Set("flags", JsonStrings(FlagNames(g.flags)));
        limits.Add(j);
    }
    JsonValue j = JsonValue::MakeObject();
    j.Set("country", std::string(c.code));
    j.Set("allowed", ChannelsJson(AllowedEitherWay(c)));
    j.Set("b_only", ChannelsJson(ChannelMask(c, k80211bOnly)));
    j.Set("limits", limits);
    return j;
}

// A row in a country; index and name are null for a stored code no row has.
static JsonValue JudgedJson(const Domain* row, const RowInCountry& r)
{
    JsonValue j = JsonValue::MakeObject();
    j.Set("country", r.country);
    j.Set("index", row ? JsonValue(row->index) : JsonValue());
    j.Set("name", row ? JsonValue(row->name) : JsonValue());
    j.Set("verdict", VerdictName(r.verdict));
    j.Set("left_out", ChannelsJson(r.leftOut));
    j.Set("added", ChannelsJson(r.added));
    j.Set("b_only", ChannelsJson(r.rowBOnly));
    return j;
}

static const Domain& Row(int index)
{
    return DeviceDomains()[index];
}

static JsonValue SuggestionJson(const Suggestion& s)
{
    JsonValue equals = JsonValue::MakeArray();
    for (int i : s.equals) {
        equals.Add(DomainRowJson(Row(i)));
    }
    JsonValue j = JsonValue::MakeObject();
    j.Set("status", s.status == SuggestStatus::kSuggested ? "suggested" : "no lawful row");
    j.Set("row", DomainRowJson(Row(s.row)));
    j.Set("in_country", JudgedJson(&Row(s.row), s.detail));
    j.Set("equals", equals);
    j.Set("named_row", s.namedRow >= 0 ? DomainRowJson(Row(s.namedRow)) : JsonValue());
    j.Set("gained_over_named", ChannelsJson(s.gainedOverNamed));
    j.Set("lost_against_named", ChannelsJson(s.lostAgainstNamed));
    return j;
}

// --- texts ----------------------------------------------------------------------------------

static std::string Lower(std::string text)
{
    for (char& c : text) {
        c = (char)tolower((unsigned char)c);
    }
    return text;
}

static std::string RulesText(const CountryChannels& c)
{
    return "channels " + AllowedText(c) + "; " + LimitsText(c);
}

// --- bad countries --------------------------------------------------------------------------

static std::string CountryList()
{
    CountryTable rules = Rules();
    std::string list;
    for (size_t i = 0; i < rules.count; i++) {
        list += (list.empty() ? "" : " ") + std::string(rules.countries[i].code);
    }
    return list;
}

// A usage error for a country the suggestion could not take; EXIT_DONE otherwise.
static int CheckCountry(const Suggestion& s, const std::string& given, const std::string& command)
{
    if (s.status == SuggestStatus::kMalformedCountry) {
        return ReportFinish(EXIT_USAGE, ErrorInfo{"usage",
                                                  "\"" + given +
                                                      "\" is not a country code: give two "
                                                      "letters, ISO 3166 alpha-2 (de, FR, jp)",
                                                  {},
                                                  "rendakctl " + command + " --help"});
    }
    if (s.status == SuggestStatus::kUnknownCountry) {
        return ReportFinish(EXIT_USAGE, ErrorInfo{"usage",
                                                  "unknown country \"" + s.country +
                                                      "\": the regulatory database (" +
                                                      DatabaseText() + ") does not hold it",
                                                  {"the countries it holds: " + CountryList()},
                                                  "give one of the countries it holds"});
    }
    return EXIT_DONE;
}

// --- regulatory explain DOMAIN ---------------------------------------------------------------

// Countries whose rules and verdict read the same share their lines (ETSI's
// member states mostly do), in the order the row names them.
static void PrintByCountry(const std::vector<RowInCountry>& judged, const CountryTable& rules)
{
    std::vector<std::pair<std::string, std::string>> groups;  // countries, what they read
    for (const RowInCountry& r : judged) {
        const CountryChannels* c = FindCountry(rules, r.country);
        std::string text = (c ? "      " + RulesText(*c) + "\n" : std::string()) +
                           "      the row: " + VerdictText(r) + "\n";
        auto same = std::find_if(groups.begin(), groups.end(),
                                 [&](const auto& g) { return g.second == text; });
        if (same == groups.end()) {
            groups.push_back({r.country, text});
        } else {
            same->first += " " + r.country;
        }
    }
    for (const auto& g : groups) {
        printf("  %s\n%s", g.first.c_str(), g.second.c_str());
    }
}

int CmdExplain(const std::vector<std::string>& args)
{
    if (args.size() < 2) {
        return UsageError("regulatory explain needs a domain: " + DomainChoices());
    }
    int index = ParseDomain(args[1]);
    if (index < 0) {
        return UsageError("unknown domain \"" + args[1] + "\"; give " + DomainChoices());
    }
    if (int rc = NoMoreWords(args, 2, "regulatory explain DOMAIN")) {
        return rc;
    }
    CountryTable rules = Rules();
    Explanation e = Explain(DeviceDomainRows(), index, rules);
    const Domain& row = Row(index);
    JsonValue countries = JsonValue::MakeArray(), judged = JsonValue::MakeArray();
    for (const RowInCountry& r : e.countries) {
        const CountryChannels* c = FindCountry(rules, r.country);
        if (c) {
            countries.Add(CountryRulesJson(*c));
        }
        judged.Add(JudgedJson(&row, r));
    }
    JsonValue& f = ReportFields();
    f.Set("database", DatabaseJson());
    f.Set("row", DomainRowJson(row));
    f.Set("countries", countries);
    f.Set("judged", judged);
    if (!ReportJson()) {
        printf("row %s: code %s, mask %s, channels %s\n", DomainLabel(row).c_str(),
               Hex(row.code, 2).c_str(), Hex(row.mask, 4).c_str(), ChannelText(row.mask).c_str());
        if (e.countries.empty()) {
            printf("it is named for no country: it enables no channel and is lawful anywhere\n");
        } else {
            printf("in the countries it is named for, under today's rules (%s):\n",
                   DatabaseText().c_str());
        }
        PrintByCountry(e.countries, rules);
    }
    return ReportFinish(EXIT_DONE);
}

// --- regulatory suggest COUNTRY ------------------------------------------------------------------

// The rows' verdicts, one line each.
static void PrintRows(const Suggestion& s)
{
    printf("every row in %s:\n", s.country.c_str());
    for (size_t i = 0; i < s.rows.size(); i++) {
        std::string label = DomainLabel(DeviceDomains()[i]);
        printf("  %-16s %s\n", label.c_str(), VerdictText(s.rows[i]).c_str());
    }
}

// What the suggestion means, in words: the row, its equals, against the row
// named for the country, and what it leaves out of today's rules.
static void PrintSuggestion(const Suggestion& s, const CountryChannels& rules)
{
    printf("today's rules in %s (%s): %s\n", s.country.c_str(), DatabaseText().c_str(),
           RulesText(rules).c_str());
    const Domain& row = Row(s.row);
    if (s.status == SuggestStatus::kNoLawfulRow) {
        printf(
            "no row with channels is lawful in %s: each has a channel that %s does not allow.\n"
            "%s is the only lawful row: stored, it leaves Wi-Fi without a channel\n",
            s.country.c_str(), s.country.c_str(), DomainLabel(row).c_str());
        return;
    }
    printf("store %s (channels %s): %s\n", DomainLabel(row).c_str(), ChannelText(row.mask).c_str(),
           VerdictText(s.detail).c_str());
    std::string equals = EqualsText(s);
    if (!equals.empty()) {
        printf("  as many channels, also lawful: %s\n", equals.c_str());
    }
    printf("  %s\n", NamedRowText(s).c_str());
}

// The suggestion for a country, or a usage error (EXIT_USAGE) for a code the
// database does not hold or that is not one.
static int SuggestFor(const std::string& given, const std::string& command, Suggestion* pSuggestion)
{
    *pSuggestion = Suggest(DeviceDomainRows(), given, Rules());
    if (int rc = CheckCountry(*pSuggestion, given, command)) {
        return rc;
    }
    if (pSuggestion->row < 0) {  // the table has no empty row: it always has
        return ReportFinish(
            EXIT_LOST,
            ErrorInfo{
                "lost", "the domain table has no empty row", {}, "report it: the tool is broken"});
    }
    return EXIT_DONE;
}

int CmdSuggest(const std::vector<std::string>& args)
{
    if (args.size() < 2) {
        return UsageError(
            "regulatory suggest needs a country: two letters, ISO 3166 alpha-2 (de, "
            "FR, jp)");
    }
    if (int rc = NoMoreWords(args, 2, "regulatory suggest COUNTRY")) {
        return rc;
    }
    Suggestion s;
    if (int rc = SuggestFor(args[1], "regulatory suggest", &s)) {
        return rc;
    }
    CountryTable rules = Rules();
    const CountryChannels& country = *FindCountry(rules, s.country);
    // The domain stored now, judged as stored: its own mask, whatever row its code names.
    std::optional<DWORD> code = DeviceDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
    std::optional<DWORD> mask = DeviceDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE);
    DomainRow storedRow = StoredDomainRow(code, mask);
    const Domain* stored = storedRow.index >= 0 ? &Row(storedRow.index) : NULL;
    RowInCountry storedThere = JudgeRow(storedRow, s.country, rules);

    JsonValue judged = JsonValue::MakeArray();
    for (size_t i = 0; i < s.rows.size(); i++) {
        judged.Add(JudgedJson(&DeviceDomains()[i], s.rows[i]));
    }
    JsonValue& f = ReportFields();
    f.Set("database", DatabaseJson());
    f.Set("country", s.country);
    f.Set("rules", CountryRulesJson(country));
    f.Set("suggestion", SuggestionJson(s));
    f.Set("judged", judged);
    f.Set("domain", DomainJson(code, mask));
    f.Set("domain_judged", JudgedJson(stored, storedThere));
    bool lawful = s.status == SuggestStatus::kSuggested;
    if (!ReportJson()) {
        PrintSuggestion(s, country);
        PrintRows(s);
        printf("stored now: %s: %s\n", StoredDomainText(code, mask).c_str(),
               VerdictText(storedThere).c_str());
        if (lawful && storedRow.index != s.row) {
            printf("to store the suggestion: %s\n",
                   ToolCommand("regulatory set --country " + Lower(s.country)).c_str());
        }
    }
    return ReportFinish(lawful ? EXIT_DONE : EXIT_NO_LAWFUL_ROW);
}

// --- regulatory set --country COUNTRY
// -------------------------------------------------------------

int SuggestForSet(const std::string& country, int* pIndex)
{
    Suggestion s;
    if (int rc = SuggestFor(country, "regulatory set", &s)) {
        return rc;
    }
    CountryTable rules = Rules();
    JsonValue& f = ReportFields();
    f.Set("database", DatabaseJson());
    f.Set("country", s.country);
    f.Set("rules", CountryRulesJson(*FindCountry(rules, s.country)));
    f.Set("suggestion", SuggestionJson(s));
    if (s.status == SuggestStatus::kNoLawfulRow) {
        return ReportFinish(
            EXIT_NO_LAWFUL_ROW,
            ErrorInfo{"no_lawful_row",
                      "no row with channels is lawful in " + s.country + ": nothing was stored",
                      {"today's rules in " + s.country + " (" + DatabaseText() +
                       "): " + RulesText(*FindCountry(rules, s.country))},
                      ToolCommand("regulatory suggest " + Lower(s.country)) +
                          " shows each row there; \"None\", the only lawful row, leaves Wi-Fi "
                          "without a channel: " +
                          ToolCommand("regulatory set none")});
    }
    if (!ReportJson()) {
        printf("for %s, today's rules (%s) suggest %s: %s\n", s.country.c_str(),
               DatabaseText().c_str(), DomainLabel(Row(s.row)).c_str(),
               VerdictText(s.detail).c_str());
    }
    *pIndex = s.row;
    return EXIT_DONE;
}
