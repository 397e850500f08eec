// The statistics and the formatting of the result tables.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "Results.h"
#include "Stats.h"

namespace bench {
namespace {

TEST(StatsTest, MedianOfOddAndEvenCountsAndOfNothing) {
    EXPECT_DOUBLE_EQ(median({5, 1, 3}), 3);
    EXPECT_DOUBLE_EQ(median({4, 1, 3, 2}), 2.5);
    EXPECT_DOUBLE_EQ(median({7}), 7);
    EXPECT_DOUBLE_EQ(median({}), 0);
}

TEST(StatsTest, SpreadHasExtremesAndSampleCoefficientOfVariation) {
    const Spread spread = summarize({4, 1, 3, 2});
    EXPECT_EQ(spread.count, 4u);
    EXPECT_DOUBLE_EQ(spread.median, 2.5);
    EXPECT_DOUBLE_EQ(spread.min, 1);
    EXPECT_DOUBLE_EQ(spread.max, 4);
    // Sample standard deviation of 1..4 is sqrt(5/3); the mean is 2.5.
    EXPECT_NEAR(spread.cvPercent, 100 * std::sqrt(5.0 / 3) / 2.5, 1e-9);
    EXPECT_DOUBLE_EQ(summarize({9}).cvPercent, 0);
    EXPECT_EQ(summarize({}).count, 0u);
}

TEST(FormatTest, NumbersForTheTables) {
    EXPECT_EQ(withSeparators(1234567.4), "1,234,567");
    EXPECT_EQ(withSeparators(999.5), "1,000");
    EXPECT_EQ(withSeparators(-1234), "-1,234");
    EXPECT_EQ(withSeparators(12), "12");
    EXPECT_EQ(fixed(0.934, 2), "0.93");
    EXPECT_EQ(fixed(-0.0001, 2), "0.00");  // no "-0.00"
    EXPECT_EQ(fixed(-0.5, 1), "-0.5");
    EXPECT_EQ(fixed(std::nan(""), 2), "n/a");  // a case that did not run
}

TEST(FormatTest, TimePerItemPicksItsUnit) {
    EXPECT_EQ(timePerItem(2e8), "5.0 ns");
    EXPECT_EQ(timePerItem(2e6), "500 ns");
    EXPECT_EQ(timePerItem(50000), "20.0 µs");
    EXPECT_EQ(timePerItem(2000), "500 µs");
    EXPECT_EQ(timePerItem(100), "10.00 ms");
    EXPECT_EQ(timePerItem(0), "-");
}

TEST(FormatTest, RateCellsShowMedianRangeCvAndTimeOrThatNothingRan) {
    const auto cells = rateCells(summarize({40000, 50000, 45000}));
    ASSERT_EQ(cells.size(), 4u);
    EXPECT_EQ(cells[0], "45,000");
    EXPECT_EQ(cells[1], "40,000 – 50,000");
    EXPECT_EQ(cells[2], "11.1 %");
    EXPECT_EQ(cells[3], "22.2 µs");
    EXPECT_EQ(rateCells(summarize({}))[0], "not run");
}

TEST(TableTest, ColumnsAlignByCharactersNotBytes) {
    Table table({"case", "time"});
    table.add({"a", "5 µs"});
    table.add({"longer", "10 ms"});
    std::ostringstream out;
    table.print(out);
    EXPECT_EQ(out.str(),
              "| case   | time  |\n"
              "|--------|-------|\n"
              "| a      | 5 µs  |\n"
              "| longer | 10 ms |\n");
}

TEST(VerdictTest, BoundsAreInclusive) {
    EXPECT_TRUE((Verdict{"", 0.9, Relation::AtLeast, 0.9, ""}.met()));
    EXPECT_FALSE((Verdict{"", 0.89, Relation::AtLeast, 0.9, ""}.met()));
    EXPECT_TRUE((Verdict{"", 1.2, Relation::AtMost, 1.2, ""}.met()));
    EXPECT_FALSE((Verdict{"", 1.21, Relation::AtMost, 1.2, ""}.met()));
}

TEST(VerdictTest, UnmeasuredValuesShowAsNotAvailable) {
    std::ostringstream out;
    printVerdicts(out, {{"ratio", std::nan(""), Relation::AtLeast, 1, "not run"},
                        {"other", 0.5, Relation::AtLeast, 1, ""}});
    const std::string text = out.str();
    EXPECT_NE(text.find("| ratio  | n/a      | ≥ 1.00 | n/a | not run |"), std::string::npos) << text;
    EXPECT_NE(text.find("| other  | 0.50     | ≥ 1.00 | NO  |         |"), std::string::npos) << text;
}

using BenchRun = benchmark::BenchmarkReporter::Run;

BenchRun repetition(const std::string& name, double rate) {
    BenchRun run;
    run.run_name.function_name = name;
    run.repetitions = 3;
    run.counters[kRate] = benchmark::Counter(rate);
    return run;
}

class ResultCollectorTest : public ::testing::Test {
protected:
    ResultCollectorTest() { collector.SetOutputStream(&shown); }
    std::ostringstream shown;
    ResultCollector collector;
};

TEST_F(ResultCollectorTest, RepetitionsAreKeptPerBenchmarkAndAggregatesAreNot) {
    BenchRun aggregate = repetition("a", 999);
    aggregate.run_type = BenchRun::RT_Aggregate;
    aggregate.aggregate_name = "median";
    collector.ReportRuns({repetition("a", 10), repetition("a", 30), repetition("b", 5), aggregate});
    collector.ReportRuns({repetition("a", 20)});
    EXPECT_EQ(collector.values("a", kRate), (std::vector<double>{10, 30, 20}));
    EXPECT_DOUBLE_EQ(collector.rate("a").median, 20);
    EXPECT_EQ(collector.values("b", kRate), std::vector<double>{5});
    EXPECT_TRUE(collector.values("a", kAllocations).empty());
    EXPECT_FALSE(collector.has("c"));
    // Only the aggregate reached the console.
    EXPECT_NE(shown.str().find("a_median"), std::string::npos) << shown.str();
    EXPECT_EQ(shown.str().find("b "), std::string::npos) << shown.str();
}

TEST_F(ResultCollectorTest, AFailedBenchmarkHasNoValuesButItsError) {
    BenchRun failed = repetition("a", 0);
    failed.error_occurred = true;
    failed.error_message = "the index ran out of documents";
    collector.ReportRuns({repetition("a", 10), failed});
    EXPECT_TRUE(collector.values("a", kRate).empty());
    EXPECT_FALSE(collector.has("a"));
    ASSERT_EQ(collector.errors().count("a"), 1u);
    EXPECT_EQ(collector.errors().at("a"), "the index ran out of documents");
}

}  // namespace
}  // namespace bench
