// advice.h - which row of the device's domain table suits a country under
// today's rules, and how a row stands against the countries it is named for.
// Results are data for the tools to print as text or JSON.
//
// A channel that a country allows for 802.11b only (without OFDM) counts as
// allowed: a row is lawful when the country allows each of its channels
// either way. The channels of a row that are allowed there for 802.11b only
// are kept apart, so that the tools mark them "802.11b only" wherever they
// show them.
#pragma once

#include "regdb.h"

#include <string>
#include <vector>

namespace regdb {

// One row of the device's domain table, as the library stores it.
struct DomainRow {
    int index;
    std::string name;
    uint32_t code;  // domain code for the driver
    uint32_t mask;  // bit n-1 allows channel n
};

enum class Verdict {
    kLawful,          // the country allows every channel of the row (some maybe for 802.11b only)
    kUnlawful,        // some channel of the row is not allowed there at all
    kUnknownCountry,  // the database does not hold the country
};

// A row against one country's rules. Masks use the device's channel bits.
struct RowInCountry {
    std::string country;
    Verdict verdict;
    uint32_t allowed;       // channels the country allows for 802.11b/g
    uint32_t allowedBOnly;  // channels it allows for 802.11b only
    uint32_t leftOut;       // allowed there (either way) but not in the row
    uint32_t added;         // in the row but not allowed there
    uint32_t rowBOnly;      // in the row and allowed there for 802.11b only
    int minEirpMbm;         // power limits over the channels the country allows;
    int maxEirpMbm;         // both 0 when it allows none
};

RowInCountry JudgeRow(const DomainRow& row, const std::string& country,
                      const CountryTable& countries);

// The countries a row is named for, by its domain code: FCC the US, IC Canada,
// ETSI the EU member states, and so on; none for an unset code.
std::vector<std::string> CountriesNamedBy(uint32_t code);

struct Explanation {
    bool found;  // false when no row has the index
    DomainRow row;
    std::vector<RowInCountry> countries;  // one per country the row is named for
};

Explanation Explain(const std::vector<DomainRow>& table, int index, const CountryTable& countries);

enum class SuggestStatus {
    kSuggested,
    kNoLawfulRow,       // no row with channels is lawful there: only the empty row is
    kUnknownCountry,    // two letters, but not a country of the database
    kMalformedCountry,  // not two letters
};

struct Suggestion {
    SuggestStatus status = SuggestStatus::kMalformedCountry;
    std::string country;       // in capitals when well formed, else as given
    int row = -1;              // index of the row to store: with kNoLawfulRow the empty row
    std::vector<int> equals;   // other lawful rows offering as many channels, in table order
    RowInCountry detail = {};  // the chosen row there: what it offers, leaves out
    // The row named for the country itself, else for its region (-1: none),
    // and the channels the chosen row offers beyond it and lacks against it.
    int namedRow = -1;
    uint32_t gainedOverNamed = 0;
    uint32_t lostAgainstNamed = 0;
    std::vector<RowInCountry> rows;  // every row of the table there, in table order
};

// country: an ISO 3166 alpha-2 code in any case.
Suggestion Suggest(const std::vector<DomainRow>& table, const std::string& country,
                   const CountryTable& countries);

// Texts for people, the same in every tool. The channels a country allows,
// "1-13, and 14 for 802.11b only" or "none"; a row there, "lawful, 14 for
// 802.11b only; leaves out nothing" or "not lawful: 12, 13 not allowed;
// leaves out 1-9".
std::string AllowedText(const CountryChannels& country);
std::string VerdictText(const RowInCountry& judged);

}  // namespace regdb
