#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/Figures.h"

namespace {

TEST(Figures, PercentileTakesTheNearestRank)
{
    const struct {
        std::vector<double> samples;
        double p;
        double expected;
    } cases[] = {
        {{}, 50, 0},
        {{7}, 99, 7},
        {{4, 1, 3, 2}, 50, 2},
        {{4, 1, 3, 2}, 99, 4},
        {{4, 1, 3, 2}, 0, 1},
        {{5, 1, 4, 2, 3, 10, 9, 8, 7, 6}, 90, 9},
    };
    for (const auto& c : cases)
        EXPECT_EQ(percentile(c.samples, c.p), c.expected) << c.p;
}

TEST(Figures, ParsersReadTheirFieldsAndRefuseDamagedText)
{
    const std::string rollup = "55d0-7ff [rollup]\nRss:  6000 kB\nPrivate_Clean:  1200 kB\nPrivate_Dirty:  800 kB\n";
    const struct {
        const char* name;
        long got;
        long expected;
    } cases[] = {
        {"stat", cpuTicksFromStat("42 (lumacore) S 1 42 42 0 -1 4194560 500 0 0 0 17 5 0 0 20 0 9 0"), 22},
        {"stat, name with spaces and parentheses", cpuTicksFromStat("42 (a) b (c) S 1 2 3 4 5 6 7 8 9 10 11 3 0 0"), 14},
        {"stat cut short", cpuTicksFromStat("42 (lumacore) S 1 42 42 0 -1 4194560 500 0 0 0 17"), -1},
        {"stat without a name", cpuTicksFromStat("42 lumacore S 1"), -1},
        {"stat, negative time", cpuTicksFromStat("42 (x) S 1 2 3 4 5 6 7 8 9 10 -3 5"), -1},
        {"status", kilobytesOf("Name:\tlumacore\nVmPeak:\t  9000 kB\nVmRSS:\t    5120 kB\n", "VmRSS:"), 5120},
        {"status without the field", kilobytesOf("Name:\tlumacore\n", "VmRSS:"), -1},
        {"status with another unit", kilobytesOf("VmRSS:\t5 MB\n", "VmRSS:"), -1},
        {"rollup", privateKilobytes(rollup), 2000},
        {"rollup without dirty pages", privateKilobytes("Private_Clean:  1200 kB\n"), -1},
        {"empty", privateKilobytes(std::string()), -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.expected) << c.name;
}

TEST(Figures, LoadTextKeepsThreeAveragesOrSaysItHasNone)
{
    const struct {
        const char* loadavg;
        const char* expected;
    } cases[] = {
        {"0.52 0.61 0.70 1/187 20166\n", "load 0.52 0.61 0.70"},
        {"0.52 0.61\n", "load ?"},
        {"x y z 1/2 3\n", "load ?"},
        {"", "load ?"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(loadText(c.loadavg), c.expected) << c.loadavg;
}

} // namespace
