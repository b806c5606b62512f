// bench_report_test.cpp - how rendak-bench states its figures: the JSON
// document every run can write, whether a figure meets its goal, and the
// statistics of paired trials. Shape and arithmetic, never speed.
#include "bench.h"
#include "json_check.h"

#include <gtest/gtest.h>
#include <math.h>

TEST(BenchReport, JsonHoldsEveryFigureWithItsVerdict)
{
    std::vector<Figure> figures = {
        {"cost.InitWiFi", 0.93, "ratio", "<= 1.5", "1365 us; median of 300", 1},
        {"overhead.reg-flush", 2.4, "ratio", "<= 1.2", "", 0},
        {"library.load", 1.08, "ms", "none set", "with \"quotes\", a \\ and a\ttab", -1},
        {"realtime.InitWiFi", NAN, "%", "< 1%", "it made no pause", -1},
    };
    bool ok = false;
    Json doc = ParseJsonText(FiguresJson(figures, "x86_64", "0.45 1.19 1.56"), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(doc["arch"].s, "x86_64");
    EXPECT_EQ(doc["load"].s, "0.45 1.19 1.56");
    const Json& list = doc["figures"];
    ASSERT_EQ(list.kind, Json::Array);
    ASSERT_EQ(list.items.size(), figures.size());
    for (size_t i = 0; i < figures.size(); i++) {
        const Json& f = list.items[i];
        EXPECT_EQ(f.fields.size(), 6u);
        EXPECT_EQ(f["name"].s, figures[i].name);
        EXPECT_EQ(f["unit"].s, figures[i].unit);
        EXPECT_EQ(f["goal"].s, figures[i].goal);
        EXPECT_EQ(f["detail"].s, figures[i].detail);  // escaped and read back whole
    }
    EXPECT_NEAR(list.items[0]["value"].n, 0.93, 1e-9);
    EXPECT_EQ(list.items[0]["met"].kind, Json::Bool);
    EXPECT_TRUE(list.items[0]["met"].b);
    EXPECT_FALSE(list.items[1]["met"].b);
    EXPECT_TRUE(list.items[2]["met"].IsNull());
    EXPECT_TRUE(list.items[3]["value"].IsNull());  // no number is not NaN in JSON

    Json empty = ParseJsonText(FiguresJson({}, "i686", "unknown"), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(empty["figures"].kind, Json::Array);
    EXPECT_TRUE(empty["figures"].items.empty());
}

TEST(BenchReport, GoalsAreMetAsThePrintedValueReadsThem)
{
    EXPECT_EQ(GoalMet("<= 1.5", 1.5), 1);
    EXPECT_EQ(GoalMet("<= 1.5", 1.504), 1);  // printed 1.50
    EXPECT_EQ(GoalMet("<= 1.5", 1.506), 0);  // printed 1.51
    EXPECT_EQ(GoalMet("<= 1.2", 2.4), 0);
    EXPECT_EQ(GoalMet("< 5 ms", 4.99), 1);
    EXPECT_EQ(GoalMet("< 5 ms", 5.0), 0);
    EXPECT_EQ(GoalMet("< 1%", 0.21), 1);
    EXPECT_EQ(GoalMet("0", 0.0), 1);  // a bare number is a bound: at most
    EXPECT_EQ(GoalMet("0", 0.02), 0);
    EXPECT_EQ(GoalMet(">= 10", 9.0), 0);
    EXPECT_EQ(GoalMet("none set", 3.0), -1);
    EXPECT_EQ(GoalMet("n/a", 3.0), -1);
}

TEST(BenchReport, RatiosComeFromPairsAndSpreadFromTheirPercentiles)
{
    // Each pair ran under the same load: the ratio is taken within the pair,
    // so a slow patch that slows both halves leaves it alone.
    std::vector<double> mine = {10, 20, 300, 40, 50};
    std::vector<double> theirs = {10, 10, 300, 20, 25};
    Spread r = RatioOf(mine, theirs);
    EXPECT_EQ(r.count, 5u);
    EXPECT_DOUBLE_EQ(r.median, 2.0);  // ratios 1 2 1 2 2
    EXPECT_DOUBLE_EQ(r.p10, 1.0);
    EXPECT_DOUBLE_EQ(r.p90, 2.0);
    // Pairs beyond the shorter list, or with nothing to divide by, are left out.
    EXPECT_EQ(RatioOf({1, 2, 3}, {1, 0}).count, 1u);

    EXPECT_DOUBLE_EQ(Percentile({4, 1, 3, 2}, 0.5), 2.5);  // between the middle two
    EXPECT_DOUBLE_EQ(Percentile({4, 1, 3, 2}, 0.0), 1.0);
    EXPECT_DOUBLE_EQ(Percentile({4, 1, 3, 2}, 1.0), 4.0);
    EXPECT_DOUBLE_EQ(Median({}), 0.0);
    EXPECT_EQ(SpreadText({1.234, 0.5, 2.25, 41, 1}), "median of 41, spread P10-P90 0.50-2.25");
    EXPECT_EQ(SpreadText({1.234, 0.5, 2.25, 41, 3}),
              "median of 41 blocks of 3, spread P10-P90 0.50-2.25");
}

TEST(BenchReport, ABlockRatioTakesTheLeastOfEachSideAndDropsAPartBlock)
{
    // Block 1: least 10 against least 5; block 2: 30 against 10; the
    // seventh pair makes no whole block. A trial slowed by other work (90,
    // 400) moves nothing.
    std::vector<double> mine = {10, 90, 12, 30, 31, 400, 1};
    std::vector<double> theirs = {8, 5, 6, 10, 11, 12, 100};
    Spread r = RatioOf(mine, theirs, 3);
    EXPECT_EQ(r.count, 2u);
    EXPECT_EQ(r.block, 3u);
    EXPECT_DOUBLE_EQ(r.p10, 2.1);  // between 2 and 3
    EXPECT_DOUBLE_EQ(r.p90, 2.9);
    EXPECT_EQ(BlockMinima(mine, 3), (std::vector<double>{10, 30}));
}
