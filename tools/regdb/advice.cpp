// advice.cpp - judging the device's domain table against today's rules, and
// choosing the row to store for a country: the lawful row that offers the
// most channels; among equals the row named for the country, then the one
// named for its region, then the first in the table. A channel allowed for
// 802.11b only counts as allowed.
#include "advice.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace regdb {

namespace {

// Domain codes are IEEE 802.11's regulatory domains; each names the countries
// whose rules it stood for.
const struct {
    uint32_t code;
    const char* countries;
} kNamesakes[] = {
    {0x10, "US"},
    {0x20, "CA"},
    {0x30, "AT BE BG CY CZ DE DK EE ES FI FR GR HR HU IE IT LT LU LV MT NL PL PT RO SE SI SK"},
    {0x31, "ES"},
    {0x32, "FR"},
    {0x40, "JP"},
};

int ChannelCount(uint32_t mask)
{
    int count = 0;
    for (; mask; mask &= mask - 1) {
        count++;
    }
    return count;
}

// 2: the row is named for this country alone; 1: for its region; 0: neither.
int NameRank(const DomainRow& row, const std::string& country)
{
    std::vector<std::string> named = CountriesNamedBy(row.code);
    if (std::find(named.begin(), named.end(), country) == named.end()) {
        return 0;
    }
    return named.size() == 1 ? 2 : 1;
}

// Two ASCII letters, in any case, become capitals; anything else is malformed.
bool NormalizeCountry(const std::string& given, std::string& code)
{
    if (given.size() != 2) {
        return false;
    }
    code.clear();
    for (char c : given) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
            return false;
        }
        code += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return true;
}

// The lawful row with channels that offers the most, or -1.
int ChooseRow(const std::vector<DomainRow>& table, const std::vector<RowInCountry>& judged,
              const std::string& country)
{
    int best = -1;
    for (size_t i = 0; i < table.size(); i++) {
        if (table[i].mask == 0 || judged[i].verdict != Verdict::kLawful) {
            continue;
        }
        if (best < 0) {
            best = static_cast<int>(i);
            continue;
        }
        int count = ChannelCount(table[i].mask), bestCount = ChannelCount(table[best].mask);
        if (count > bestCount ||
            (count == bestCount && NameRank(table[i], country) > NameRank(table[best], country))) {
            best = static_cast<int>(i);
        }
    }
    return best;
}

}  // namespace

std::vector<std::string> CountriesNamedBy(uint32_t code)
{
    std::vector<std::string> countries;
    for (const auto& namesake : kNamesakes) {
        if (namesake.code == code) {
            std::istringstream words(namesake.countries);
            for (std::string word; words >> word;) {
                countries.push_back(word);
            }
        }
    }
    return countries;
}

RowInCountry JudgeRow(const DomainRow& row, const std::string& country,
                      const CountryTable& countries)
{
    RowInCountry result = {};
    result.country = country;
    const CountryChannels* rules = FindCountry(countries, country);
    if (!rules) {
        result.verdict = Verdict::kUnknownCountry;
        return result;
    }
    result.allowed = ChannelMask(*rules, k80211bg);
    result.allowedBOnly = ChannelMask(*rules, k80211bOnly);
    uint32_t usable = result.allowed | result.allowedBOnly;
    result.leftOut = usable & ~row.mask;
    result.added = row.mask & ~usable;
    result.rowBOnly = row.mask & result.allowedBOnly;
    result.verdict = result.added ? Verdict::kUnlawful : Verdict::kLawful;
    bool first = true;
    for (int n = 1; n <= kChannels; n++) {
        const ChannelRule& channel = rules->channels[n - 1];
        if (channel.use == kNotAllowed) {
            continue;
        }
        result.minEirpMbm = first ? channel.eirpMbm : std::min(result.minEirpMbm, channel.eirpMbm);
        result.maxEirpMbm = first ? channel.eirpMbm : std::max(result.maxEirpMbm, channel.eirpMbm);
        first = false;
    }
    return result;
}

Explanation Explain(const std::vector<DomainRow>& table, int index, const CountryTable& countries)
{
    Explanation result = {};
    for (const DomainRow& row : table) {
        if (row.index == index) {
            result.found = true;
            result.row = row;
            for (const std::string& country : CountriesNamedBy(row.code)) {
                result.countries.push_back(JudgeRow(row, country, countries));
            }
            break;
        }
    }
    return result;
}

Suggestion Suggest(const std::vector<DomainRow>& table, const std::string& country,
                   const CountryTable& countries)
{
    Suggestion result;
    if (!NormalizeCountry(country, result.country)) {
        result.status = SuggestStatus::kMalformedCountry;
        result.country = country;
        return result;
    }
    if (!FindCountry(countries, result.country)) {
        result.status = SuggestStatus::kUnknownCountry;
        return result;
    }
    for (const DomainRow& row : table) {
        result.rows.push_back(JudgeRow(row, result.country, countries));
    }

    int chosen = ChooseRow(table, result.rows, result.country);
    result.status = SuggestStatus::kSuggested;
    if (chosen < 0) {
        result.status = SuggestStatus::kNoLawfulRow;
        for (size_t i = 0; i < table.size() && chosen < 0; i++) {
            if (table[i].mask == 0) {
                chosen = static_cast<int>(i);
            }
        }
        if (chosen < 0) {
            return result;  // the table has no empty row to fall back on
        }
    }
    result.row = table[chosen].index;
    result.detail = result.rows[chosen];
    for (size_t i = 0; i < table.size(); i++) {
        if (static_cast<int>(i) != chosen && table[i].mask != 0 &&
            result.rows[i].verdict == Verdict::kLawful &&
            ChannelCount(table[i].mask) == ChannelCount(table[chosen].mask)) {
            result.equals.push_back(table[i].index);
        }
    }

    int named = -1;
    for (size_t i = 0; i < table.size(); i++) {
        int rank = NameRank(table[i], result.country);
        if (rank > 0 && (named < 0 || rank > NameRank(table[named], result.country))) {
            named = static_cast<int>(i);
        }
    }
    if (named >= 0) {
        result.namedRow = table[named].index;
        result.gainedOverNamed = table[chosen].mask & ~table[named].mask;
        result.lostAgainstNamed = table[named].mask & ~table[chosen].mask;
    }
    return result;
}

std::string AllowedText(const CountryChannels& country)
{
    uint32_t bOnly = ChannelMask(country, k80211bOnly);
    std::string text = ChannelListText(ChannelMask(country, k80211bg));
    if (bOnly) {
        text = text == "none" ? ChannelListText(bOnly) + " for 802.11b only"
                              : text + ", and " + ChannelListText(bOnly) + " for 802.11b only";
    }
    return text;
}

std::string VerdictText(const RowInCountry& judged)
{
    if (judged.verdict == Verdict::kUnknownCountry) {
        return "not in the database";
    }
    std::string text = judged.verdict == Verdict::kLawful
                           ? "lawful"
                           : "not lawful: " + ChannelListText(judged.added) + " not allowed";
    if (judged.rowBOnly) {
        text += ", " + ChannelListText(judged.rowBOnly) + " for 802.11b only";
    }
    return text + "; leaves out " +
           (judged.leftOut ? ChannelListText(judged.leftOut) : std::string("nothing"));
}

}  // namespace regdb
