// device_domains.cpp - the device's regulatory domain table: rows, codes and
// masks as the library stores them, read from the library's own table. The
// masks are those of the table's time; the advice (tools/regdb) says how each
// stands under today's rules.
#include "device_domains.h"

#include <rendak_domains.h>

#include <cstdio>

// The tools' short name of each row, in the table's order.
static const char* const kAliases[] = {"none", "us", "ca", "eu", "fr", "es", "jp"};
static_assert(sizeof(kAliases) / sizeof(kAliases[0]) == RENDAK_DOMAIN_COUNT,
              "every row of the library's table has an alias");

const std::vector<DeviceDomain>& DeviceDomains()
{
    static const std::vector<DeviceDomain> rows = [] {
        std::vector<DeviceDomain> table;
        for (int i = 0; i < RENDAK_DOMAIN_COUNT; i++) {
            const RENDAKDOMAIN& row = g_aRendakDomains[i];
            int cch = WideCharToMultiByte(CP_UTF8, 0, row.pszName, -1, NULL, 0, NULL, NULL);
            std::string name(cch > 0 ? (size_t)cch - 1 : 0, '\0');
            WideCharToMultiByte(CP_UTF8, 0, row.pszName, -1, &name[0], cch, NULL, NULL);
            table.push_back({i, name, kAliases[i], row.dwCode, row.dwMask});
        }
        return table;
    }();
    return rows;
}

const DeviceDomain* DeviceDomainOfCode(uint32_t code)
{
    for (const DeviceDomain& d : DeviceDomains()) {
        if (d.code == code) {
            return &d;
        }
    }
    return nullptr;
}

std::vector<regdb::DomainRow> DeviceDomainRows()
{
    std::vector<regdb::DomainRow> rows;
    for (const DeviceDomain& d : DeviceDomains()) {
        rows.push_back({d.index, d.name, d.code, d.mask});
    }
    return rows;
}

std::string DomainLabel(const DeviceDomain& row)
{
    return std::to_string(row.index) + " \"" + row.name + "\"";
}

regdb::DomainRow StoredDomainRow(std::optional<uint32_t> code, std::optional<uint32_t> mask)
{
    const DeviceDomain* row = DeviceDomainOfCode(code.value_or(0));
    return {row ? row->index : -1, row ? row->name : "", code.value_or(0), mask.value_or(0)};
}

static std::string Hex(uint32_t value, int digits)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%0*X", digits, value);
    return text;
}

std::string StoredDomainText(std::optional<uint32_t> code, std::optional<uint32_t> mask)
{
    if (!code) {
        return "nothing (read as " + DomainLabel(DeviceDomains()[0]) + ")";
    }
    const DeviceDomain* row = DeviceDomainOfCode(*code);
    std::string text = row ? DomainLabel(*row) : "code " + Hex(*code, 2) + " (no row has it)";
    if (!row || mask.value_or(0) != row->mask) {
        text += ", mask " + (mask ? Hex(*mask, 4) : std::string("not stored")) + " (channels " +
                regdb::ChannelListText(mask.value_or(0) & 0x3FFF) + ")";
    }
    return text;
}

std::string NamedRowText(const regdb::Suggestion& suggestion)
{
    const std::string& country = suggestion.country;
    if (suggestion.namedRow < 0) {
        return "no row is named for " + country;
    }
    const DeviceDomain& named = DeviceDomains()[suggestion.namedRow];
    bool region = regdb::CountriesNamedBy(named.code).size() > 1;
    std::string whose = region ? country + "'s region" : country;
    if (suggestion.namedRow == suggestion.row) {
        return "it is the row named for " + whose;
    }
    auto listed = [](uint32_t mask) {
        return mask ? regdb::ChannelListText(mask) : std::string("nothing");
    };
    return "against " + DomainLabel(named) + ", the row named for " + whose + ": gains " +
           listed(suggestion.gainedOverNamed) + ", loses " + listed(suggestion.lostAgainstNamed);
}

std::string EqualsText(const regdb::Suggestion& suggestion)
{
    std::string text;
    for (int index : suggestion.equals) {
        text += (text.empty() ? "" : ", ") + DomainLabel(DeviceDomains()[index]);
    }
    return text;
}
