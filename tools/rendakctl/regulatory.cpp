// regulatory.cpp - the regulatory command: the stored domain (show), the
// table (list), storing a row (set DOMAIN, or set --country COUNTRY for the
// row today's rules suggest), and, through rules.cpp, how a row stands under
// today's rules (explain) and which row suits a country (suggest).
#include "rendakctl.h"

#include <Rendak.h>

#include <stdio.h>

#define DOMAIN_CLEARED_MS 1000  // the library's pause after marking a domain cleared

// The journal's entries of a reload signal and of a store of the adapter's "Domain".
static bool IsReloadSignal(const handheld::JournalEntry& e)
{
    return e.text == handheld::EventSetEntry(RELOAD_EVENT_NAME);
}
static bool IsDomainStore(const handheld::JournalEntry& e)
{
    return e.Is(SIM_J_REG_SET) && e.Field(0) == REG_ADAPTER_KEY L"\\" REG_DOMAIN_VALUE;
}

static void PrintDomain(std::optional<DWORD> code, std::optional<DWORD> mask)
{
    int index = code ? DomainIndexOfCode(*code) : 0;
    printf("regulatory domain: %d \"%s\"\n", index < 0 ? 0 : index,
           index < 0 ? "?" : DeviceDomains()[index].name.c_str());
    printf("  code:     %s\n", code ? Hex(*code, 2).c_str() : "not stored");
    if (index < 0) {
        printf("            (no row of the domain table has this code)\n");
    }
    printf("  mask:     %s\n", mask ? Hex(*mask, 4).c_str() : "not stored");
    printf("  channels: %s\n", mask ? ChannelText(*mask).c_str() : "none");
}

static int ListDomains()
{
    if (ReportJson()) {
        JsonValue rows = JsonValue::MakeArray();
        for (const Domain& d : DeviceDomains()) {
            rows.Add(DomainRowJson(d));
        }
        ReportFields().Set("domains", rows);
        return ReportFinish(EXIT_DONE);
    }
    printf("%-5s %-12s %-5s %-5s %-7s %s\n", "index", "name", "alias", "code", "mask", "channels");
    for (const Domain& d : DeviceDomains()) {
        printf("%-5d %-12s %-5s %-5s %-7s %s\n", d.index, d.name.c_str(), d.alias.c_str(),
               Hex(d.code, 2).c_str(), Hex(d.mask, 4).c_str(), ChannelText(d.mask).c_str());
    }
    // The masks are those of the table's time; the tool judges them, it does not annotate them.
    printf("\nhow a row stands under today's rules: %s\nwhich row suits a country: %s\n",
           ToolCommand("regulatory explain DOMAIN").c_str(),
           ToolCommand("regulatory suggest COUNTRY").c_str());
    return ReportFinish(EXIT_DONE);
}

static int SetDomain(int index)
{
    const Domain& row = DeviceDomains()[index];
    // The library compares the new code with the one it last read; a fresh
    // process has read nothing, so read the stored domain first, as the panel
    // does when it opens: choosing "None" then really clears a stored domain,
    // and choosing the stored one again stores and signals nothing.
    GetLastWiFiRegulatoryIndex();
    DWORD signals = JournalCountOf(IsReloadSignal), stores = JournalCountOf(IsDomainStore);
    bool clearing = row.code == 0 && DeviceDword(REG_OEM_KEY, REG_WIFI_VALUE).value_or(0) != 0;
    if (clearing) {
        ProgressBegin("ChangeWiFiRegulatory: the library marks the domain cleared",
                      DOMAIN_CLEARED_MS);
    }
    ChangeWiFiRegulatory(index);
    if (clearing) {
        ProgressEnd();
    }
    bool signalled = JournalCountOf(IsReloadSignal) > signals;
    bool stored = JournalCountOf(IsDomainStore) > stores;

    std::vector<std::string> problems;
    std::optional<DWORD> code = DeviceDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
    std::optional<DWORD> mask = DeviceDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE);
    if (code.value_or(0) != row.code) {
        problems.push_back("the adapter's \"Domain\" is " +
                           (code ? Hex(*code, 2) : std::string("missing")) + ", not " +
                           Hex(row.code, 2) + " (" + row.name + ")");
    }
    if (stored && mask.value_or(0) != row.mask) {
        problems.push_back("\"ChannelDomain\" is " +
                           (mask ? Hex(*mask, 4) : std::string("missing")) + ", not " +
                           Hex(row.mask, 4));
    }
    if (!ReportJson()) {
        PrintDomain(code, mask);
        if (!stored && problems.empty()) {
            printf("(already stored: nothing was changed or signalled)\n");
        }
        if (clearing && stored) {
            printf("the state value was marked %s: the library's sign that no domain is set\n",
                   Hex(VENDOR_DOMAIN_MARK, 3).c_str());
        }
        if (signalled) {
            printf("reload signalled\n");
        }
        fflush(stdout);
    }
    JsonValue reload;
    if (signalled) {
        ReloadResult r = ServeOwnReloadSignal();
        reload = ReloadJson(r);
        PrintReload(r);
        if (!ReportJson() && r.answer && !*r.answer) {
            printf("(--yes answers the question Yes: Wi-Fi is switched off and on again)\n");
        }
    }
    JsonValue& f = ReportFields();
    f.Set("requested", DomainRowJson(row));
    f.Set("stored", stored);
    f.Set("reload", reload);
    AddSnapshot(f);
    if (!problems.empty()) {
        return NotTaken("the domain was not stored as asked", problems);
    }
    return ReportFinish(EXIT_DONE);
}

int CmdRegulatory(const Options& opt, const std::vector<std::string>& args)
{
    std::string sub = args.empty() ? "show" : args[0];
    if (sub == "show") {
        if (int rc = NoMoreWords(args, args.empty() ? 0 : 1, "regulatory")) {
            return rc;
        }
        std::optional<DWORD> code = DeviceDword(REG_ADAPTER_KEY, REG_DOMAIN_VALUE);
        std::optional<DWORD> mask = DeviceDword(REG_VENDOR_KEY, REG_CHANNEL_DOMAIN_VALUE);
        if (!ReportJson()) {
            PrintDomain(code, mask);
        }
        ReportFields().Set("domain", DomainJson(code, mask));
        return ReportFinish(EXIT_DONE);
    }
    if (sub == "list") {
        if (int rc = NoMoreWords(args, 1, "regulatory list")) {
            return rc;
        }
        return ListDomains();
    }
    if (sub == "explain" || sub == "suggest") {
        if (int rc = LoadTodaysRules(opt.regdb)) {
            return rc;
        }
        return sub == "explain" ? CmdExplain(args) : CmdSuggest(args);
    }
    if (sub != "set") {
        return UsageError("unknown regulatory command \"" + sub +
                          "\"; use show, list, explain, suggest or set");
    }
    int index = -1;
    if (!opt.country.empty()) {
        if (args.size() > 1) {
            return UsageError("give a DOMAIN or --country COUNTRY, not both");
        }
        if (int rc = LoadTodaysRules(opt.regdb)) {
            return rc;
        }
        if (int rc = SuggestForSet(opt.country, &index)) {
            return rc;
        }
        return SetDomain(index);
    }
    if (args.size() < 2) {
        return UsageError("regulatory set needs a domain: " + DomainChoices() +
                          "; or --country COUNTRY");
    }
    index = ParseDomain(args[1]);
    if (index < 0) {
        return UsageError("unknown domain \"" + args[1] + "\"; give " + DomainChoices());
    }
    if (int rc = NoMoreWords(args, 2, "regulatory set DOMAIN")) {
        return rc;
    }
    return SetDomain(index);
}
