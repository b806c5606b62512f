// channels.cpp - which 2.4 GHz channels a country's ranges allow a 20 MHz
// 802.11b/g transmission. A channel counts when its whole 20 MHz lies inside
// one permitted range that allows at least 20 MHz; two adjacent ranges are not
// joined. A range without OFDM allows the channel for 802.11b only.
#include "regdb.h"

#include <algorithm>
#include <cctype>

namespace regdb {

namespace {

constexpr int kChannelWidthMhz = 20;

// Orders what a range gives a channel: more use first, then more power.
bool Better(const ChannelRule& a, const ChannelRule& b)
{
    return a.use != b.use ? a.use > b.use : a.eirpMbm > b.eirpMbm;
}

}  // namespace

int ChannelCentreMhz(int channel)
{
    return channel == 14 ? 2484 : 2407 + 5 * channel;
}

CountryChannels ChannelsOfCountry(const Country& country)
{
    CountryChannels result = {};
    result.code[0] = country.code.size() > 0 ? country.code[0] : '?';
    result.code[1] = country.code.size() > 1 ? country.code[1] : '?';
    for (int n = 1; n <= kChannels; n++) {
        uint32_t lowKhz = (ChannelCentreMhz(n) - kChannelWidthMhz / 2) * 1000u;
        uint32_t highKhz = (ChannelCentreMhz(n) + kChannelWidthMhz / 2) * 1000u;
        ChannelRule& best = result.channels[n - 1];
        for (const Rule& rule : country.rules) {
            if (rule.startKhz > lowKhz || rule.endKhz < highKhz ||
                rule.maxBandwidthKhz < kChannelWidthMhz * 1000u) {
                continue;
            }
            ChannelRule candidate = {(rule.flags & kNoOfdm) ? k80211bOnly : k80211bg, rule.eirpMbm,
                                     rule.flags};
            if (Better(candidate, best)) {
                best = candidate;
            }
        }
    }
    return result;
}

uint32_t ChannelMask(const CountryChannels& country, ChannelUse use)
{
    uint32_t mask = 0;
    for (int n = 1; n <= kChannels; n++) {
        if (country.channels[n - 1].use == use) {
            mask |= 1u << (n - 1);
        }
    }
    return mask;
}

std::string ChannelListText(uint32_t mask)
{
    std::string text;
    for (int n = 1; n <= 32; n++) {
        if (!(mask & (1u << (n - 1)))) {
            continue;
        }
        int last = n;
        while (last < 32 && (mask & (1u << last))) {
            last++;
        }
        // Runs of three or more read as a range; a pair stays a list.
        std::string part = std::to_string(n);
        if (last - n >= 2) {
            part += "-" + std::to_string(last);
            n = last;
        }
        text += (text.empty() ? "" : ", ") + part;
    }
    return text.empty() ? "none" : text;
}

std::string PowerText(int eirpMbm)
{
    std::string text = std::to_string(eirpMbm / 100);
    int hundredths = eirpMbm % 100;
    if (hundredths != 0) {
        text += (hundredths < 10 ? ".0" : ".") + std::to_string(hundredths);
        if (text.back() == '0') {
            text.pop_back();
        }
    }
    return text + " dBm";
}

std::vector<std::string> FlagNames(uint8_t flags)
{
    static const struct {
        uint8_t flag;
        const char* text;
    } kNames[] = {
        {kNoOfdm, "no OFDM"},        {kNoOutdoor, "indoor only"},
        {kDfs, "radar detection"},   {kNoIr, "no initiating radiation"},
        {kAutoBw, "auto bandwidth"},
    };
    std::vector<std::string> names;
    for (const auto& name : kNames) {
        if (flags & name.flag) {
            names.push_back(name.text);
        }
    }
    return names;
}

std::string FlagsText(uint8_t flags)
{
    std::string text;
    for (const std::string& name : FlagNames(flags)) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

std::vector<LimitGroup> LimitGroups(const CountryChannels& country)
{
    std::vector<LimitGroup> groups;
    uint32_t done = 0;
    for (int n = 1; n <= kChannels; n++) {
        const ChannelRule& first = country.channels[n - 1];
        if (first.use == kNotAllowed || (done & (1u << (n - 1)))) {
            continue;
        }
        LimitGroup group = {0, first.eirpMbm, first.flags};
        for (int m = n; m <= kChannels; m++) {
            const ChannelRule& r = country.channels[m - 1];
            if (r.use != kNotAllowed && r.eirpMbm == first.eirpMbm && r.flags == first.flags) {
                group.mask |= 1u << (m - 1);
            }
        }
        done |= group.mask;
        groups.push_back(group);
    }
    return groups;
}

std::string LimitsText(const CountryChannels& country)
{
    std::string text;
    for (const LimitGroup& group : LimitGroups(country)) {
        std::string flags = FlagsText(group.flags);
        text += (text.empty() ? "" : "; ") + PowerText(group.eirpMbm) +
                (flags.empty() ? "" : ", " + flags) + " on " + ChannelListText(group.mask);
    }
    return text.empty() ? "-" : text;
}

std::vector<CountryChannels> CountriesOf(const Database& db)
{
    std::vector<CountryChannels> countries;
    for (const Country& country : db.countries) {
        if (country.code.size() == 2 && isupper(static_cast<unsigned char>(country.code[0])) &&
            isupper(static_cast<unsigned char>(country.code[1]))) {
            countries.push_back(ChannelsOfCountry(country));
        }
    }
    std::sort(countries.begin(), countries.end(),
              [](const CountryChannels& a, const CountryChannels& b) {
                  return std::string(a.code) < std::string(b.code);
              });
    return countries;
}

const CountryChannels* FindCountry(const CountryTable& table, const std::string& code)
{
    for (size_t i = 0; i < table.count; i++) {
        if (code.size() == 2 && table.countries[i].code[0] == code[0] &&
            table.countries[i].code[1] == code[1]) {
            return &table.countries[i];
        }
    }
    return nullptr;
}

}  // namespace regdb
