// device_domains.cpp - the device's regulatory domain table: rows, codes and
// masks as the library stores them. The masks are those of the table's time;
// the advice (tools/regdb) says how each stands under today's rules.
#include "device_domains.h"

#include <cstdio>

// clang-format off
const DeviceDomain g_aDeviceDomains[DEVICE_DOMAIN_COUNT] = {
    {0, "None",        "none", 0x00, 0x0000},
    {1, "USA, FCC",    "us",   0x10, 0x07FF},
    {2, "Canada IC",   "ca",   0x20, 0x07FF},
    {3, "Europe ETSI", "eu",   0x30, 0x1FFF},
    {4, "France",      "fr",   0x32, 0x1E00},
    {5, "Spain",       "es",   0x31, 0x0600},
    {6, "Japan MKK",   "jp",   0x40, 0x3FFF},
};
// clang-format on

const DeviceDomain* DeviceDomainOfCode(uint32_t code)
{
    for (const DeviceDomain& d : g_aDeviceDomains) {
        if (d.code == code) {
            return &d;
        }
    }
    return nullptr;
}

std::vector<regdb::DomainRow> DeviceDomainRows()
{
    std::vector<regdb::DomainRow> rows;
    for (const DeviceDomain& d : g_aDeviceDomains) {
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
        return "nothing (read as " + DomainLabel(g_aDeviceDomains[0]) + ")";
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
    const DeviceDomain& named = g_aDeviceDomains[suggestion.namedRow];
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
        text += (text.empty() ? "" : ", ") + DomainLabel(g_aDeviceDomains[index]);
    }
    return text;
}
