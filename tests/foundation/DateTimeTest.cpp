#include "foundation/DateTime.h"

#include "tests/support/ScopedTimeZone.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

const char* const europe = "CET-1CEST,M3.5.0,M10.5.0/3";

DateTime at(int year, int month, int day, int hour, int minute, int second)
{
    return DateTime::fromString(
        Date(year, month, day).toString("%F") + " " + Time(hour, minute, second, Time::noOffset).toString("%T"),
        "%Y-%m-%d %H:%M:%S");
}

std::string text(const DateTime& dt)
{
    return dt.toString("%F %T");
}

} // namespace

TEST(DateTimeTest, TextFormsOfNow)
{
    const DateTime now = DateTime::currentDateTime();
    EXPECT_TRUE(std::regex_match(now.toString("%FT%T"), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)")));
    EXPECT_TRUE(std::regex_match(now.toString("%Y%m%d%H%M%S"), std::regex(R"(\d{14})")));
    EXPECT_EQ(DateTime().toString("%FT%T"), "1970-01-01T00:00:00");
    EXPECT_EQ(DateTime().toString(""), "");
}

TEST(DateTimeTest, Offsets)
{
    ScopedTimeZone zone("XST-2");
    EXPECT_EQ(DateTime::currentDateTime().utcOffset(), 7200);
    EXPECT_EQ(DateTime::currentDateTimeUTC().utcOffset(), 0);
    EXPECT_EQ(DateTime(Date(2024, 5, 17), Time(8, 0, 0, 120)).utcOffset(), 7200);
    DateTime dt = at(2024, 5, 17, 8, 0, 0);
    EXPECT_EQ(dt.setUtcOffset(-3600).utcOffset(), -3600);
    EXPECT_EQ(dt.setUtcOffset(DateTime::noOffset).utcOffset(), 7200);
    // The offset takes no part in comparisons.
    EXPECT_TRUE(DateTime(Date(2024, 5, 17), Time(8, 0, 0, 120)) == DateTime(Date(2024, 5, 17), Time(8, 0, 0, -60)));
}

TEST(DateTimeTest, Arithmetic)
{
    ScopedTimeZone zone(europe);
    EXPECT_EQ(text(at(2024, 2, 28, 23, 0, 0).addHours(25)), "2024-03-01 00:00:00");
    EXPECT_EQ(text(at(2024, 3, 1, 0, 0, 0).addDays(-1)), "2024-02-29 00:00:00");
    EXPECT_EQ(text(at(2024, 1, 31, 12, 0, 0).addMonths(1)), "2024-03-02 12:00:00");
    EXPECT_EQ(text(at(2024, 2, 29, 12, 0, 0).addYears(1)), "2025-03-01 12:00:00");
    EXPECT_EQ(text(at(2024, 5, 17, 23, 59, 30).addSeconds(45).addMinutes(-1)), "2024-05-17 23:59:15");
    // A day step keeps the clock across the change to winter time; an hour
    // step counts elapsed time.
    EXPECT_EQ(text(at(2024, 10, 26, 12, 0, 0).addDays(1)), "2024-10-27 12:00:00");
    EXPECT_EQ(text(at(2024, 10, 27, 0, 0, 0).addHours(24)), "2024-10-27 23:00:00");
    EXPECT_DOUBLE_EQ(DateTime::diff(at(2024, 5, 18, 0, 0, 0), at(2024, 5, 17, 23, 0, 0)), 3600.0);
}

TEST(DateTimeTest, PartsAndSetters)
{
    ScopedTimeZone zone(europe);
    DateTime dt = at(2024, 5, 17, 8, 9, 10);
    EXPECT_EQ(dt.date().toString("%F"), "2024-05-17");
    EXPECT_EQ(dt.time().toString("%T"), "08:09:10");
    EXPECT_TRUE(dt.isDaylightSaving());
    EXPECT_FALSE(at(2024, 1, 17, 8, 9, 10).isDaylightSaving());
    dt.setDate(Date(2024, 12, 24));
    EXPECT_EQ(text(dt), "2024-12-24 08:09:10");
    dt.setTime(Time(18, 30, 0, 60));
    EXPECT_EQ(text(dt), "2024-12-24 18:30:00");
    EXPECT_EQ(dt.utcOffset(), 3600);
    EXPECT_EQ(dt.toCTime().tm_hour, 18);
    const DateTime fromC = DateTime::fromCTime(dt.toCTime(), 42);
    EXPECT_EQ(fromC.utcOffset(), 42);
    EXPECT_TRUE(fromC == dt);
}

TEST(DateTimeTest, BcdAndUnixForms)
{
    ScopedTimeZone zone("UTC0");
    const DateTime dt = at(2024, 5, 17, 8, 9, 10);
    EXPECT_EQ(dt.toBCD(), 0x20240517080910ull);
    EXPECT_EQ(text(DateTime::fromBCD(0x20240517080910ul)), "2024-05-17 08:09:10");
    EXPECT_EQ(dt.toUnixTime(), 1715933350);
    EXPECT_EQ(text(DateTime::fromUnixTime(1715933350)), "2024-05-17 08:09:10");
    EXPECT_EQ(text(DateTime::fromString("", "%F")), "1970-01-01 00:00:00");
}

TEST(DateTimeTest, ComparisonReadsLocalTime)
{
    ScopedTimeZone zone(europe);
    const DateTime a = at(2024, 5, 17, 8, 0, 0);
    const DateTime b = at(2024, 5, 17, 9, 0, 0);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b > a);
    EXPECT_TRUE(a <= a);
    EXPECT_TRUE(b >= a);
    EXPECT_TRUE(a != b);
    DateTime shifted = a;
    shifted.setUtcOffset(-18000);
    EXPECT_TRUE(shifted == a);
}

TEST(DateTimeTest, SplitDays)
{
    ScopedTimeZone zone(europe);
    auto pieces = DateTime::splitDays(at(2024, 10, 26, 10, 0, 0), at(2024, 10, 28, 12, 0, 0));
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(text(pieces[0].first), "2024-10-26 10:00:00");
    EXPECT_EQ(text(pieces[0].second), "2024-10-27 00:00:00");
    EXPECT_EQ(text(pieces[1].first), "2024-10-27 00:00:00");
    EXPECT_EQ(text(pieces[1].second), "2024-10-28 00:00:00");
    EXPECT_EQ(text(pieces[2].first), "2024-10-28 00:00:00");
    EXPECT_EQ(text(pieces[2].second), "2024-10-28 12:00:00");

    pieces = DateTime::splitDays(at(2024, 5, 17, 10, 0, 0), at(2024, 5, 18, 0, 0, 0));
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_TRUE(pieces[1].first == pieces[1].second);

    pieces = DateTime::splitDays(at(2024, 5, 17, 10, 0, 0), at(2024, 5, 16, 0, 0, 0));
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(text(pieces[0].second), "2024-05-16 00:00:00");
}

TEST(DateTimeTest, SplitRangeBy)
{
    ScopedTimeZone zone(europe);
    const DateTime start = at(2024, 5, 17, 0, 0, 0);
    auto pieces = DateTime::splitRangeBy(start, at(2024, 5, 17, 3, 0, 0), Time(1, 0, 0, Time::noOffset));
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(text(pieces[2].first), "2024-05-17 02:00:00");
    EXPECT_EQ(text(pieces[2].second), "2024-05-17 03:00:00");

    pieces = DateTime::splitRangeBy(start, at(2024, 5, 17, 2, 30, 0), Time(1, 0, 0, Time::noOffset));
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(text(pieces[2].second), "2024-05-17 02:30:00");

    pieces = DateTime::splitRangeBy(start, at(2024, 5, 17, 3, 0, 0), Time());
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(text(pieces[0].second), "2024-05-17 03:00:00");
}

TEST(DateTimeTest, ToLocalAndToUtc)
{
    ScopedTimeZone zone(europe);
    // Built in summer time: its daylight-saving flag must not shift the UTC reading.
    const DateTime utcNoon = at(2024, 7, 1, 12, 0, 0);
    ASSERT_TRUE(utcNoon.isDaylightSaving());
    {
        ScopedTimeZone restore(europe);
        const DateTime local = DateTime::toLocal(utcNoon, "XST-3");
        EXPECT_EQ(text(local), "2024-07-01 15:00:00");
        EXPECT_EQ(local.utcOffset(), 10800);
    }
    EXPECT_EQ(text(DateTime::toUTC(at(2024, 7, 1, 14, 0, 0))), "2024-07-01 12:00:00");
    EXPECT_EQ(text(DateTime::toUTC(at(2024, 1, 1, 0, 30, 0))), "2023-12-31 23:30:00");
    // The UTC value lies before the change to summer time.
    EXPECT_EQ(text(DateTime::toUTC(at(2024, 3, 31, 3, 30, 0))), "2024-03-31 01:30:00");
    EXPECT_EQ(DateTime::toUTC(at(2024, 7, 1, 14, 0, 0)).utcOffset(), 0);
    DateTime withOffset = at(2024, 7, 1, 14, 0, 0);
    withOffset.setUtcOffset(-18000);
    EXPECT_EQ(text(DateTime::toUTC(withOffset)), "2024-07-01 19:00:00");
}
