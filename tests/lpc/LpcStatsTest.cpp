#include <gtest/gtest.h>

#include "lpc/LpcStats.h"

namespace {

TEST(LpcStats, AllZeroGivesZeroTotalInBothForms)
{
    const LpcStats stats;
    EXPECT_EQ(stats.toIni(), "\n[serial]\ndroppedBytes = 0\n\n[packets]\nsuccesses = 0\nfailures = 0\n"
                             "retransmitted = 0\ntotal = 0\n");
    EXPECT_EQ(stats.toJson().dump(),
              R"({"packets":{"failures":0,"retransmitted":0,"successes":0,"total":0},"serial":{"droppedBytes":0}})");
}

TEST(LpcStats, TotalLeavesDroppedBytesOut)
{
    LpcStats stats;
    stats.droppedBytes = 7;
    stats.successes = 10;
    stats.failures = 2;
    stats.retransmitted = 3;
    EXPECT_EQ(stats.toIni(), "\n[serial]\ndroppedBytes = 7\n\n[packets]\nsuccesses = 10\nfailures = 2\n"
                             "retransmitted = 3\ntotal = 15\n");
    EXPECT_EQ(stats.toJson().dump(),
              R"({"packets":{"failures":2,"retransmitted":3,"successes":10,"total":15},"serial":{"droppedBytes":7}})");
}

TEST(LpcStats, CountersAbove32BitsPrintInFull)
{
    LpcStats stats;
    stats.droppedBytes = 4294967296ULL;
    stats.successes = 5000000000ULL;
    EXPECT_NE(stats.toIni().find("droppedBytes = 4294967296\n"), std::string::npos);
    EXPECT_NE(stats.toIni().find("total = 5000000000\n"), std::string::npos);
    EXPECT_EQ(stats.toJson()["serial"]["droppedBytes"].get<uint64_t>(), 4294967296ULL);
    EXPECT_EQ(stats.toJson()["packets"]["total"].get<uint64_t>(), 5000000000ULL);
}

} // namespace
