// regdb.h - the regulatory database of the Linux wireless world, as the
// wireless-regdb package installs it (regulatory.db): its reader, and the
// rule that turns a country's frequency ranges into 2.4 GHz channels.
// Standard C++ only: the same code runs on the build host, where it generates
// the tools' data, and in the cross-compiled tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace regdb {

// What a range allows beyond its bounds, as the database's rule flags.
enum RuleFlag : uint8_t {
    kNoOfdm = 0x01,     // 802.11b (DSSS/CCK) only
    kNoOutdoor = 0x02,  // indoor use only
    kDfs = 0x04,        // radar detection required
    kNoIr = 0x08,       // no initiating radiation: no beacons, probes or own networks
    kAutoBw = 0x10,     // may join adjacent ranges for bandwidth
};

struct Rule {
    uint32_t startKhz;
    uint32_t endKhz;
    uint32_t maxBandwidthKhz;
    int eirpMbm;  // power limit, hundredths of a dBm
    uint8_t flags;
};

struct Country {
    std::string code;   // two characters as stored: "US", or "00" for the world
    uint8_t dfsRegion;  // 0 unset, 1 FCC, 2 ETSI, 3 JP
    std::vector<Rule> rules;
};

struct Database {
    std::vector<Country> countries;  // in file order
};

// Reads a database image. Every offset is checked against size before it is
// read; a malformed image gives false and a message that says what is wrong.
bool ParseDatabase(const uint8_t* data, size_t size, Database& db, std::string& error);
bool ReadDatabaseFile(const std::string& path, Database& db, std::string& error);

// --- 2.4 GHz channels -------------------------------------------------------------

constexpr int kChannels = 14;

enum ChannelUse : uint8_t {
    kNotAllowed = 0,
    k80211bOnly = 1,  // lawful only without OFDM
    k80211bg = 2,
};

struct ChannelRule {
    uint8_t use;      // ChannelUse
    int32_t eirpMbm;  // power limit of the range that allows it; 0 when not allowed
    uint8_t flags;    // RuleFlag bits of that range
};

// One country's channels 1 to 14 (channels[n - 1] is channel n).
struct CountryChannels {
    char code[3];
    ChannelRule channels[kChannels];
};

int ChannelCentreMhz(int channel);  // 2407 + 5n, channel 14 at 2484
CountryChannels ChannelsOfCountry(const Country& country);

// Channel masks as the device stores them: bit n-1 is channel n.
uint32_t ChannelMask(const CountryChannels& country, ChannelUse use);
std::string ChannelListText(uint32_t mask);         // "1-11, 14", or "none"
std::string PowerText(int eirpMbm);                 // "20 dBm", "36.02 dBm"
std::vector<std::string> FlagNames(uint8_t flags);  // {"no OFDM", "indoor only"}
std::string FlagsText(uint8_t flags);               // "no OFDM, indoor only", or ""
// The allowed channels grouped by power limit and flags, in channel order,
// and as text: "20 dBm on 1-13; 20 dBm, no OFDM on 14", or "-" for none.
struct LimitGroup {
    uint32_t mask;  // the channels, as the device's bits
    int eirpMbm;
    uint8_t flags;  // RuleFlag bits
};
std::vector<LimitGroup> LimitGroups(const CountryChannels& country);
std::string LimitsText(const CountryChannels& country);

// Countries' channels: the generated table, or one made from a database.
struct CountryTable {
    const CountryChannels* countries;
    size_t count;
};

// The channels of every country of a database with a two-letter code, in
// code order (the world entry "00" is left out).
std::vector<CountryChannels> CountriesOf(const Database& db);

// The country with this code (two capital letters), or nullptr.
const CountryChannels* FindCountry(const CountryTable& table, const std::string& code);

}  // namespace regdb
