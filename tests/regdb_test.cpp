// regdb_test.cpp - the regulatory data: the database reader on databases the
// test writes itself (and breaks), the channel rule, the advice on a small
// database with ties, 802.11b-only channels and a country where no row is
// lawful, and the data the build generated from the installed database.
#include "regdb_image.h"

#include <advice.h>
#include <regdata.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>

using namespace regdb;

namespace {

// The image at the very end of readable memory, a no-access page after it:
// a read one byte past the end faults and ends the test program.
class Guarded {
public:
    explicit Guarded(const std::vector<uint8_t>& bytes) : size_(bytes.size())
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_t page = info.dwPageSize;
        total_ = (size_ + page - 1) / page * page + page;
        base_ = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, total_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + total_ - page, page, PAGE_NOACCESS, &old);
        data_ = base_ + total_ - page - size_;
        if (size_) {
            memcpy(data_, bytes.data(), size_);
        }
    }
    ~Guarded() { VirtualFree(base_, 0, MEM_RELEASE); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    bool Parse(Database& db, std::string& error) const
    {
        return ParseDatabase(data_, size_, db, error);
    }
    bool GuardInPlace() const { return IsBadReadPtr(data_ + size_, 1) != 0; }

private:
    size_t size_;
    size_t total_;
    uint8_t* base_;
    uint8_t* data_;
};

std::string ParseError(const std::vector<uint8_t>& bytes)
{
    Guarded guarded(bytes);
    Database db;
    std::string error;
    return guarded.Parse(db, error) ? "" : error;
}

const TestRule kWide = {2400, 2483.5, 40, 2000, 0, false};  // 1-13 for 802.11b/g

// --- The device's table and a small world to judge it in ---------------------------

// The rows as the library stores them.
// clang-format off
const std::vector<DomainRow> kDeviceTable = {
    {0, "None",        0x00, 0x0000},
    {1, "USA, FCC",    0x10, 0x07FF},
    {2, "Canada IC",   0x20, 0x07FF},
    {3, "Europe ETSI", 0x30, 0x1FFF},
    {4, "France",      0x32, 0x1E00},
    {5, "Spain",       0x31, 0x0600},
    {6, "Japan MKK",   0x40, 0x3FFF},
};
// clang-format on

constexpr uint32_t Channels(int first, int last)
{
    return ((1u << last) - 1) & ~((1u << (first - 1)) - 1);
}

// What a suggestion says first: its status and row, the other rows as good,
// the row named for the country, the channels gained and lost against that
// row, and the chosen row's verdict and what it leaves out.
auto Outline(const Suggestion& s)
{
    return std::make_tuple(s.status, s.row, s.equals, s.namedRow, s.gainedOverNamed,
                           s.lostAgainstNamed, s.detail.verdict, s.detail.leftOut);
}

class SmallWorld : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Countries the rows are named for, Mexico for one that no row is
        // named for, and made-up Q codes for rules no country has.
        Image image = Write({
            {"US", {{2400, 2472, 40, 3000, 0, false}}, 1},
            {"CA", {{2400, 2472, 40, 3000, 0, false}}, 1},
            {"MX", {{2400, 2472, 40, 3000, 0, false}}, 1},
            {"FR", {kWide}, 2},
            {"DE", {kWide}, 2},
            {"JP", {{2402, 2482, 40, 2000, 0, false}, {2474, 2494, 20, 1500, kNoOfdm, true}}, 3},
            {"QB", {{2400, 2483.5, 40, 2000, kNoOfdm, false}}, 0},  // 802.11b only
            {"QN", {{2457, 2483.5, 20, 2000, 0, false}}, 0},        // 12 and 13
            {"QZ", {}, 0},                                          // nothing at all
        });
        Database db;
        std::string error;
        ASSERT_TRUE(ParseDatabase(image.bytes.data(), image.bytes.size(), db, error)) << error;
        for (const Country& country : db.countries) {
            countries_.push_back(ChannelsOfCountry(country));
        }
        table_ = {countries_.data(), countries_.size()};
    }

    std::vector<CountryChannels> countries_;
    CountryTable table_;
};

}  // namespace

// --- The reader ----------------------------------------------------------------------

TEST(RegdbReader, ReadsEveryFieldAsWritten)
{
    // A 5-byte collection header puts the rule pointers at offset 6, and a
    // rule with the optional fields is 20 bytes: both must be stepped over.
    Image image =
        Write({{"AB", {{2400, 2483.5, 40, 3602, kNoOutdoor | kDfs, true}}, 2},
               {"00", {{2402, 2472, 40, 2000, 0, false}, {5170, 5250, 80, 2301, kNoIr, false}}, 0}},
              5);
    Guarded guarded(image.bytes);
    ASSERT_TRUE(guarded.GuardInPlace());
    Database db;
    std::string error;
    ASSERT_TRUE(guarded.Parse(db, error)) << error;
    ASSERT_EQ(db.countries.size(), 2u);
    const Country& ab = db.countries[0];
    EXPECT_EQ(ab.code, "AB");
    EXPECT_EQ(ab.dfsRegion, 2);
    ASSERT_EQ(ab.rules.size(), 1u);
    EXPECT_EQ(ab.rules[0].startKhz, 2400000u);
    EXPECT_EQ(ab.rules[0].endKhz, 2483500u);
    EXPECT_EQ(ab.rules[0].maxBandwidthKhz, 40000u);
    EXPECT_EQ(ab.rules[0].eirpMbm, 3602);
    EXPECT_EQ(ab.rules[0].flags, kNoOutdoor | kDfs);
    const Country& world = db.countries[1];
    EXPECT_EQ(world.code, "00");
    ASSERT_EQ(world.rules.size(), 2u);
    EXPECT_EQ(world.rules[1].startKhz, 5170000u);
    EXPECT_EQ(world.rules[1].eirpMbm, 2301);
    EXPECT_EQ(world.rules[1].flags, kNoIr);
}

TEST(RegdbReader, RejectsMalformedDatabasesSayingWhy)
{
    const std::vector<TestCountry> good = {{"AB", {kWide}, 2}, {"CD", {kWide, kWide}, 2}};
    Image base = Write(good);
    ASSERT_EQ(ParseError(base.bytes), "");
    size_t coll = base.firstCollection, rule = base.firstRule;
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> breakIt;
        const char* message;
    } cases[] = {
        {"empty file", [](auto& b) { b.clear(); }, "0 bytes is too short"},
        {"other magic", [](auto& b) { b[0] = 'X'; }, "not a regulatory database"},
        {"other version", [](auto& b) { Put32(b, 4, 19); }, "format version 19"},
        {"no end mark", [](auto& b) { b.resize(16); }, "without its end mark"},
        {"code not letters", [](auto& b) { b[9] = 'b'; }, "country entry 1 has the code 0x41 0x62"},
        {"same code twice",
         [](auto& b) {
             b[12] = 'A';
             b[13] = 'B';
         },
         "country AB appears twice"},
        {"collection past the end", [](auto& b) { Put16(b, 10, 0xFFFF); },
         "country AB: its rules lie outside the file"},
        {"collection in the list", [](auto& b) { Put16(b, 10, 2); },
         "country AB: its rules lie outside the file (offset 0x8)"},
        {"short collection header", [coll](auto& b) { b[coll] = 2; }, "a 2-byte header"},
        {"too many rules", [coll](auto& b) { b[coll + 1] = 200; },
         "its 200 rule pointers run past"},
        {"rule pointer past the end", [coll](auto& b) { Put16(b, coll + 4, 0x3FFF); },
         "country AB: rule 1 lies outside the rules"},
        {"short rule", [rule](auto& b) { b[rule] = 15; }, "rule 1 is 15 bytes long, fewer than 16"},
        {"rule past the end", [](auto& b) { b[b.size() - 16] = 40; }, "rule 2 runs past the end"},
        {"WMM past the end",
         [rule](auto& b) {
             b[rule] = 20;
             Put16(b, rule + 18, 0xFFFF);
         },
         "points to WMM parameters outside the file"},
        {"empty range", [rule](auto& b) { Put32(b, rule + 8, 2400000); }, "has an empty range"},
        {"bandwidth wider than range", [rule](auto& b) { Put32(b, rule + 12, 90000); },
         "allows 90000 kHz of bandwidth in a range of 83500 kHz"},
        {"no countries", [](auto& b) { Put16(b, 10, 0); }, "holds no countries"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = base.bytes;
        c.breakIt(bytes);
        EXPECT_NE(ParseError(bytes).find(c.message), std::string::npos)
            << c.what << ": " << ParseError(bytes);
    }
}

TEST(RegdbReader, NeverReadsPastTheEnd)
{
    Image image = Write({{"AB", {kWide, {5170, 5250, 80, 2301, kNoIr, true}}, 2},
                         {"CD", {{2402, 2482, 40, 2000, 0, false}}, 3}},
                        4);
    // Every shorter file is incomplete and must say so, without a read past its end.
    for (size_t size = 0; size < image.bytes.size(); size++) {
        std::vector<uint8_t> prefix(image.bytes.begin(), image.bytes.begin() + size);
        EXPECT_NE(ParseError(prefix), "") << "a prefix of " << size << " bytes was accepted";
    }
    // Any byte set to values that make pointers and lengths large or zero:
    // accepted or refused, never a read outside the file.
    for (size_t at = 0; at < image.bytes.size(); at++) {
        for (uint8_t value : {0x00, 0x01, 0x7F, 0xFF}) {
            std::vector<uint8_t> bytes = image.bytes;
            bytes[at] = value;
            Guarded guarded(bytes);
            Database db;
            std::string error;
            if (!guarded.Parse(db, error)) {
                EXPECT_FALSE(error.empty());
                EXPECT_TRUE(db.countries.empty()) << "a refused file left countries behind";
            }
        }
    }
}

TEST(RegdbReader, FileErrorsNameTheFile)
{
    Database db;
    std::string error;
    EXPECT_FALSE(ReadDatabaseFile("no-such-regulatory.db", db, error));
    EXPECT_EQ(error.rfind("no-such-regulatory.db: ", 0), 0u) << error;

    const char* path = "regdb_test_truncated.db";
    std::vector<uint8_t> bytes = Write({{"AB", {kWide}, 2}}).bytes;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size() - 1));
    EXPECT_FALSE(ReadDatabaseFile(path, db, error));
    EXPECT_EQ(error, std::string(path) +
                         ": country AB: rule 1 runs past the end of the file "
                         "(offset 0x38, 16 bytes)");

    // A large file of the right start is still refused, not read without end.
    bytes.resize(5 * 1024 * 1024);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    EXPECT_FALSE(ReadDatabaseFile(path, db, error));
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    remove(path);
}

// --- The channel rule ----------------------------------------------------------------

TEST(RegdbChannels, ChannelCountsOnlyWhenItsWhole20MHzFitsOneRange)
{
    auto use = [](std::vector<Rule> rules) {
        Country country = {"XX", 0, rules};
        CountryChannels c = ChannelsOfCountry(country);
        return std::make_pair(ChannelMask(c, k80211bg), ChannelMask(c, k80211bOnly));
    };
    EXPECT_EQ(ChannelCentreMhz(1), 2412);
    EXPECT_EQ(ChannelCentreMhz(13), 2472);
    EXPECT_EQ(ChannelCentreMhz(14), 2484);
    // Exactly channel 1's 2402-2422, then 1 kHz short of it.
    EXPECT_EQ(use({{2402000, 2422000, 20000, 2000, 0}}).first, Channels(1, 1));
    EXPECT_EQ(use({{2402000, 2421999, 20000, 2000, 0}}).first, 0u);
    // Channel 14 lies at 2474-2494, not 2479-2499.
    EXPECT_EQ(use({{2474000, 2494000, 20000, 2000, 0}}).first, Channels(14, 14));
    EXPECT_EQ(use({{2474000, 2493000, 20000, 2000, 0}}).first, 0u);
    // A range that allows less than 20 MHz allows no channel.
    EXPECT_EQ(use({{2400000, 2483500, 10000, 2000, 0}}).first, 0u);
    // Ranges are not joined: channels 5 to 8 straddle 2440 MHz.
    EXPECT_EQ(use({{2400000, 2440000, 40000, 2000, 0}, {2440000, 2483500, 40000, 2000, 0}}).first,
              Channels(1, 4) | Channels(9, 13));
    // The familiar ranges: 2400-2472 is 1 to 11, 2400-2483.5 is 1 to 13.
    EXPECT_EQ(use({{2400000, 2472000, 40000, 3000, 0}}).first, Channels(1, 11));
    EXPECT_EQ(use({{2400000, 2483500, 40000, 2000, 0}}).first, Channels(1, 13));
}

TEST(RegdbChannels, OfdmRangeWinsOverNoOfdmThenTheHigherPower)
{
    Country country = {"XX",
                       0,
                       {{2400000, 2483500, 40000, 3000, kNoOfdm | kNoOutdoor},
                        {2400000, 2450000, 40000, 1000, 0},
                        {2400000, 2430000, 40000, 2000, kNoIr}}};
    CountryChannels c = ChannelsOfCountry(country);
    EXPECT_STREQ(c.code, "XX");
    // Channel 1 (2402-2422) lies in all three: 802.11b/g, the stronger of the OFDM ranges.
    EXPECT_EQ(c.channels[0].use, k80211bg);
    EXPECT_EQ(c.channels[0].eirpMbm, 2000);
    EXPECT_EQ(c.channels[0].flags, kNoIr);
    // Channel 5 (2422-2442): only the weak OFDM range besides the 802.11b one.
    EXPECT_EQ(c.channels[4].use, k80211bg);
    EXPECT_EQ(c.channels[4].eirpMbm, 1000);
    // Channel 13 (2462-2482): 802.11b only, with that range's power and flags.
    EXPECT_EQ(c.channels[12].use, k80211bOnly);
    EXPECT_EQ(c.channels[12].eirpMbm, 3000);
    EXPECT_EQ(c.channels[12].flags, kNoOfdm | kNoOutdoor);
    EXPECT_EQ(c.channels[13].use, kNotAllowed);
    EXPECT_EQ(c.channels[13].eirpMbm, 0);
    EXPECT_EQ(ChannelMask(c, k80211bOnly), Channels(7, 13));
}

TEST(RegdbChannels, TextsForPeople)
{
    EXPECT_EQ(ChannelListText(0), "none");
    EXPECT_EQ(ChannelListText(0x07FF), "1-11");
    EXPECT_EQ(ChannelListText(0x0600), "10, 11");
    EXPECT_EQ(ChannelListText(Channels(1, 3) | Channels(5, 5) | Channels(7, 8) | Channels(14, 14)),
              "1-3, 5, 7, 8, 14");
    EXPECT_EQ(PowerText(2000), "20 dBm");
    EXPECT_EQ(PowerText(3602), "36.02 dBm");
    EXPECT_EQ(PowerText(2310), "23.1 dBm");
    EXPECT_EQ(PowerText(5), "0.05 dBm");
    EXPECT_EQ(FlagsText(0), "");
    EXPECT_EQ(FlagsText(kNoOfdm | kNoIr), "no OFDM, no initiating radiation");

    // Limits group the allowed channels by power and flags, wherever they lie.
    Country country = {"XX",
                       0,
                       {{2402000, 2432000, 40000, 2000, 0},
                        {2432000, 2462000, 40000, 2000, 0},
                        {2442000, 2494000, 20000, 3000, kNoOfdm | kNoOutdoor}}};
    CountryChannels c = ChannelsOfCountry(country);
    std::vector<LimitGroup> groups = LimitGroups(c);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].mask, Channels(1, 3) | Channels(7, 9));
    EXPECT_EQ(groups[0].eirpMbm, 2000);
    EXPECT_EQ(groups[1].mask, Channels(10, 14));
    EXPECT_EQ(groups[1].eirpMbm, 3000);
    EXPECT_EQ(groups[1].flags, kNoOfdm | kNoOutdoor);
    EXPECT_EQ(LimitsText(c), "20 dBm on 1-3, 7-9; 30 dBm, no OFDM, indoor only on 10-14");
    EXPECT_EQ(LimitsText(ChannelsOfCountry(Country{"XY", 0, {}})), "-");
}

// --- The advice, on a small world ----------------------------------------------------

TEST_F(SmallWorld, SuggestsTheLawfulRowWithTheMostChannels)
{
    // France allows 1-13: Europe ETSI, which gains 1-9 over the France row.
    Suggestion fr = Suggest(kDeviceTable, "FR", table_);
    EXPECT_EQ(Outline(fr), std::make_tuple(SuggestStatus::kSuggested, 3, std::vector<int>{}, 4,
                                           Channels(1, 9), 0u, Verdict::kLawful, 0u));
    ASSERT_EQ(fr.rows.size(), kDeviceTable.size());
    EXPECT_EQ(fr.rows[6].verdict, Verdict::kUnlawful);  // Japan MKK: 14 is not allowed
    EXPECT_EQ(fr.rows[6].added, Channels(14, 14));
}

TEST_F(SmallWorld, TiesGoToTheRowNamedForTheCountryThenToTheFirst)
{
    // USA and Canada offer the same 1-11.
    Suggestion us = Suggest(kDeviceTable, "US", table_);
    EXPECT_EQ(us.row, 1);
    EXPECT_EQ(us.equals, std::vector<int>{2});
    EXPECT_EQ(us.namedRow, 1);
    Suggestion ca = Suggest(kDeviceTable, "ca", table_);
    EXPECT_EQ(ca.country, "CA");
    EXPECT_EQ(ca.row, 2);
    EXPECT_EQ(ca.equals, std::vector<int>{1});
    Suggestion mx = Suggest(kDeviceTable, "Mx", table_);
    EXPECT_EQ(mx.row, 1);
    EXPECT_EQ(mx.namedRow, -1);
    EXPECT_EQ(mx.detail.leftOut, 0u);

    // With rows of equal channels, the row named for the country beats the
    // one named for its region, which beats a row named for neither.
    std::vector<DomainRow> table = {{0, "None", 0, 0},
                                    {1, "Other", 0x99, 0x1FFF},
                                    {2, "Europe ETSI", 0x30, 0x1FFF},
                                    {3, "France", 0x32, 0x1FFF}};
    EXPECT_EQ(Suggest(table, "DE", table_).row, 2);
    EXPECT_EQ(Suggest(table, "DE", table_).equals, (std::vector<int>{1, 3}));
    EXPECT_EQ(Suggest(table, "FR", table_).row, 3);
    EXPECT_EQ(Suggest(table, "FR", table_).namedRow, 3);
}

TEST_F(SmallWorld, An80211bOnlyChannelCountsAsAllowedAndIsMarked)
{
    // Japan allows 14 for 802.11b only: Japan MKK is lawful there and offers
    // the most, with 14 marked; ETSI is lawful too but leaves 14 out.
    Suggestion jp = Suggest(kDeviceTable, "jp", table_);
    EXPECT_EQ(Outline(jp), std::make_tuple(SuggestStatus::kSuggested, 6, std::vector<int>{}, 6, 0u,
                                           0u, Verdict::kLawful, 0u));
    EXPECT_EQ(jp.detail.rowBOnly, Channels(14, 14));
    EXPECT_EQ(jp.detail.allowed, Channels(1, 13));
    EXPECT_EQ(jp.detail.allowedBOnly, Channels(14, 14));
    EXPECT_EQ(jp.detail.minEirpMbm, 1500);
    EXPECT_EQ(jp.detail.maxEirpMbm, 2000);
    EXPECT_EQ(jp.rows[3].verdict, Verdict::kLawful);
    EXPECT_EQ(jp.rows[3].leftOut, Channels(14, 14));
    EXPECT_EQ(jp.rows[3].rowBOnly, 0u);

    // A country of 802.11b only: every row within 1-13 is lawful, each of its
    // channels marked; ETSI offers the most.
    Suggestion qb = Suggest(kDeviceTable, "QB", table_);
    EXPECT_EQ(qb.status, SuggestStatus::kSuggested);
    EXPECT_EQ(qb.row, 3);
    EXPECT_EQ(qb.detail.rowBOnly, Channels(1, 13));
    EXPECT_EQ(qb.detail.allowed, 0u);
    EXPECT_EQ(qb.rows[1].rowBOnly, Channels(1, 11));
    EXPECT_EQ(qb.rows[6].verdict, Verdict::kUnlawful);  // 14 is not allowed at all
    EXPECT_EQ(qb.rows[6].added, Channels(14, 14));
    EXPECT_EQ(qb.rows[6].rowBOnly, Channels(1, 13));
}

TEST_F(SmallWorld, NoRowIsLawfulWhereEveryRowHasAForbiddenChannel)
{
    // 12 and 13 only: even Spain's 10 and 11 are not allowed.
    for (const char* code : {"QN", "QZ"}) {
        Suggestion s = Suggest(kDeviceTable, code, table_);
        EXPECT_EQ(s.status, SuggestStatus::kNoLawfulRow) << code;
        EXPECT_EQ(s.row, 0) << code;
        EXPECT_EQ(s.detail.verdict, Verdict::kLawful) << code;
        EXPECT_TRUE(s.equals.empty()) << code;
    }
    EXPECT_EQ(Suggest(kDeviceTable, "QN", table_).detail.leftOut, Channels(12, 13));
    // Without an empty row there is nothing to store.
    std::vector<DomainRow> noEmptyRow(kDeviceTable.begin() + 1, kDeviceTable.end());
    Suggestion none = Suggest(noEmptyRow, "QN", table_);
    EXPECT_EQ(none.status, SuggestStatus::kNoLawfulRow);
    EXPECT_EQ(none.row, -1);
}

TEST_F(SmallWorld, UnknownAndMalformedCountriesAreToldApart)
{
    for (const char* code : {"ZZ", "xk"}) {
        Suggestion s = Suggest(kDeviceTable, code, table_);
        EXPECT_EQ(s.status, SuggestStatus::kUnknownCountry) << code;
        EXPECT_EQ(s.row, -1);
        EXPECT_TRUE(s.rows.empty());
    }
    EXPECT_EQ(Suggest(kDeviceTable, "xk", table_).country, "XK");
    for (const char* code : {"", "F", "FRA", "F1", "00", " FR", "F\xC9", "é"}) {
        Suggestion s = Suggest(kDeviceTable, code, table_);
        EXPECT_EQ(s.status, SuggestStatus::kMalformedCountry) << code;
        EXPECT_EQ(s.country, code);
        EXPECT_EQ(s.row, -1);
    }
}

TEST_F(SmallWorld, ExplainsARowAgainstTheCountriesItIsNamedFor)
{
    Explanation france = Explain(kDeviceTable, 4, table_);
    ASSERT_TRUE(france.found);
    EXPECT_EQ(france.row.code, 0x32u);
    ASSERT_EQ(france.countries.size(), 1u);
    EXPECT_EQ(france.countries[0].country, "FR");
    EXPECT_EQ(france.countries[0].verdict, Verdict::kLawful);
    EXPECT_EQ(france.countries[0].allowed, Channels(1, 13));
    EXPECT_EQ(france.countries[0].leftOut, Channels(1, 9));
    EXPECT_EQ(france.countries[0].added, 0u);
    EXPECT_EQ(france.countries[0].minEirpMbm, 2000);

    Explanation mkk = Explain(kDeviceTable, 6, table_);
    ASSERT_EQ(mkk.countries.size(), 1u);
    EXPECT_EQ(mkk.countries[0].verdict, Verdict::kLawful);
    EXPECT_EQ(mkk.countries[0].allowedBOnly, Channels(14, 14));
    EXPECT_EQ(mkk.countries[0].rowBOnly, Channels(14, 14));
    EXPECT_EQ(mkk.countries[0].added, 0u);

    // ETSI stands for the 27 member states; this world has two of them.
    Explanation etsi = Explain(kDeviceTable, 3, table_);
    ASSERT_EQ(etsi.countries.size(), 27u);
    int known = 0;
    for (const RowInCountry& c : etsi.countries) {
        if (c.verdict != Verdict::kUnknownCountry) {
            known++;
            EXPECT_TRUE(c.country == "DE" || c.country == "FR") << c.country;
        }
    }
    EXPECT_EQ(known, 2);

    // A USA row of 1-13 would add 12 and 13, which the US does not allow.
    std::vector<DomainRow> wider = {{1, "USA, FCC", 0x10, 0x1FFF}};
    Explanation us = Explain(wider, 1, table_);
    EXPECT_EQ(us.countries[0].verdict, Verdict::kUnlawful);
    EXPECT_EQ(us.countries[0].added, Channels(12, 13));
    EXPECT_EQ(us.countries[0].maxEirpMbm, 3000);

    EXPECT_TRUE(Explain(kDeviceTable, 0, table_).countries.empty());
    EXPECT_FALSE(Explain(kDeviceTable, 7, table_).found);
}

// --- The data generated from the installed database ----------------------------------

namespace {

// The generated channels of a country: these masks, and on each allowed
// channel this power and the flag that says 802.11b only where it is.
testing::AssertionResult ChannelsAre(const char* code, uint32_t bg, uint32_t bOnly, int eirpMbm)
{
    const CountryChannels* c = FindCountry(g_generatedCountries, code);
    if (c == nullptr) {
        return testing::AssertionFailure() << code << " is not in the generated data";
    }
    std::ostringstream differences;
    if (ChannelMask(*c, k80211bg) != bg || ChannelMask(*c, k80211bOnly) != bOnly) {
        differences << std::hex << " masks 0x" << ChannelMask(*c, k80211bg) << " and 0x"
                    << ChannelMask(*c, k80211bOnly) << std::dec;
    }
    for (int n = 1; n <= kChannels; n++) {
        const ChannelRule& r = c->channels[n - 1];
        if (r.eirpMbm != (r.use == kNotAllowed ? 0 : eirpMbm) ||
            r.flags != (r.use == k80211bOnly ? kNoOfdm : 0)) {
            differences << " channel " << n << ": " << r.eirpMbm << " mBm, flags " << (int)r.flags;
        }
    }
    if (!differences.str().empty()) {
        return testing::AssertionFailure() << code << differences.str();
    }
    return testing::AssertionSuccess();
}

}  // namespace

// Checked by hand against the database: US 2400-2472 MHz at 30 dBm; DE
// 2400-2483.5 MHz at 20 dBm; JP 2402-2482 MHz at 20 dBm and 2474-2494 MHz,
// 20 MHz wide, without OFDM at 20 dBm.
TEST(RegdbInstalled, GeneratedChannelsOfUsDeJp)
{
    EXPECT_TRUE(ChannelsAre("US", Channels(1, 11), 0, 3000));
    EXPECT_TRUE(ChannelsAre("DE", Channels(1, 13), 0, 2000));
    EXPECT_TRUE(ChannelsAre("JP", Channels(1, 13), Channels(14, 14), 2000));
}

TEST(RegdbInstalled, TableIsSortedAndSaysWhereItCameFrom)
{
    ASSERT_GT(g_generatedCountries.count, 100u);
    for (size_t i = 0; i < g_generatedCountries.count; i++) {
        const char* code = g_generatedCountries.countries[i].code;
        EXPECT_TRUE(isupper(code[0]) && isupper(code[1]) && code[2] == 0) << code;
        if (i > 0) {
            EXPECT_LT(strcmp(g_generatedCountries.countries[i - 1].code, code), 0) << code;
        }
    }
    EXPECT_EQ(std::string(g_dbOrigin.package).rfind("wireless-regdb ", 0), 0u)
        << g_dbOrigin.package;
    EXPECT_EQ(strlen(g_dbOrigin.sha256), 64u);
    EXPECT_EQ(strspn(g_dbOrigin.sha256, "0123456789abcdef"), 64u);
}

TEST(RegdbInstalled, SuggestionsUnderTodaysRules)
{
    Suggestion fr = Suggest(kDeviceTable, "fr", g_generatedCountries);
    EXPECT_EQ(fr.row, 3);
    EXPECT_EQ(fr.gainedOverNamed, Channels(1, 9));
    Suggestion us = Suggest(kDeviceTable, "US", g_generatedCountries);
    EXPECT_EQ(us.row, 1);
    EXPECT_EQ(us.equals, std::vector<int>{2});
    Suggestion jp = Suggest(kDeviceTable, "JP", g_generatedCountries);
    EXPECT_EQ(jp.row, 6);
    EXPECT_EQ(jp.detail.rowBOnly, Channels(14, 14));
    EXPECT_EQ(Suggest(kDeviceTable, "00", g_generatedCountries).status,
              SuggestStatus::kMalformedCountry);
}
