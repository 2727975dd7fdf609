#include "foundation/Date.h"
#include "foundation/Time.h"

#include "tests/support/ScopedTimeZone.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Central European time with its daylight-saving rules, and a zone one second
// east of UTC, where local midnight of 1970-01-01 is the instant -1.
const char* const europe = "CET-1CEST,M3.5.0,M10.5.0/3";
const char* const oneSecondEast = "XST-0:00:01";

std::string text(const Date& d)
{
    return d.toString("%F");
}

std::string text(const Time& t)
{
    return t.toString("%T");
}

} // namespace

TEST(DateTest, ConstructionClampsAndCarries)
{
    ScopedTimeZone zone(europe);
    EXPECT_EQ(text(Date()), "1970-01-01");
    EXPECT_EQ(text(Date(2023, 0, 0)), "2023-01-01");
    EXPECT_EQ(text(Date(2023, 13, 1)), "2024-01-01");
    EXPECT_EQ(text(Date(2024, 2, 30)), "2024-03-01");
    EXPECT_EQ(text(Date(2024, 60)), "2024-02-29");
    EXPECT_EQ(text(Date(2023, 60)), "2023-03-01");
    EXPECT_EQ(text(Date(2024, -5)), "2024-01-01");
    Date d;
    EXPECT_EQ(text(d.set(2024, 5, 17)), "2024-05-17");
    EXPECT_EQ(d.year(), 2024);
    EXPECT_EQ(d.month(), 5);
    EXPECT_EQ(d.day(), 17);
}

TEST(DateTest, ValidityAndLeapYears)
{
    EXPECT_FALSE(Date::isValid(2023, 2, 29));
    EXPECT_TRUE(Date::isValid(2024, 2, 29));
    EXPECT_FALSE(Date::isValid(2024, 4, 31));
    EXPECT_FALSE(Date::isValid(2024, 0, 1));
    EXPECT_FALSE(Date::isValid(2024, 1, 0));
    EXPECT_FALSE(Date::isLeapYear(1900));
    EXPECT_TRUE(Date::isLeapYear(2000));
    EXPECT_TRUE(Date::isLeapYear(2024));
    EXPECT_FALSE(Date::isLeapYear(2023));
}

TEST(DateTest, ValidWhenMidnightIsTheInstantMinusOne)
{
    ScopedTimeZone zone(oneSecondEast);
    EXPECT_TRUE(Date::isValid(1970, 1, 1));
    EXPECT_TRUE(Time::isValid(0, 0, 0));
}

TEST(DateTest, WeekdayDayOfYearAndArithmetic)
{
    ScopedTimeZone zone(europe);
    EXPECT_EQ(Date(2024, 5, 19).dayOfWeek(), 7);
    EXPECT_EQ(Date(2024, 5, 13).dayOfWeek(), 1);
    EXPECT_EQ(Date(2024, 1, 1).dayOfYear(), 1);
    EXPECT_EQ(Date(2024, 12, 31).dayOfYear(), 366);
    EXPECT_EQ(text(Date(2024, 1, 31).addMonths(1)), "2024-03-02");
    EXPECT_EQ(text(Date(2024, 3, 1).addDays(-1)), "2024-02-29");
    EXPECT_EQ(text(Date(2024, 2, 29).addYears(1)), "2025-03-01");
}

TEST(DateTest, DayStepsAcrossDaylightSavingChangesStayAtMidnight)
{
    ScopedTimeZone zone(europe);
    Date autumn(2024, 10, 26);
    autumn.addDays(1).addDays(1);
    EXPECT_EQ(autumn.toString("%F %T"), "2024-10-28 00:00:00");
    Date spring(2024, 3, 30);
    spring.addDays(1).addDays(1);
    EXPECT_EQ(spring.toString("%F %T"), "2024-04-01 00:00:00");
    Date back(2024, 4, 1);
    back.addDays(-2).addMonths(7);
    EXPECT_EQ(back.toString("%F %T"), "2024-10-30 00:00:00");
}

TEST(DateTest, BcdForms)
{
    EXPECT_EQ(Date(2024, 5, 17).toBCD(), 0x20240517);
    EXPECT_EQ(text(Date::fromBCD(0x20240517)), "2024-05-17");
    EXPECT_EQ(text(Date::fromBCD(0x20240000)), "2024-01-01");
    // Nibbles above 9 count at face value: day 1A is 20.
    EXPECT_EQ(text(Date::fromBCD(0x2024011A)), "2024-01-20");
}

TEST(DateTest, ParsingAndComparison)
{
    ScopedTimeZone zone(europe);
    EXPECT_EQ(text(Date::fromString("2024-05-17", "%Y-%m-%d")), "2024-05-17");
    EXPECT_EQ(text(Date::fromString("", "%Y-%m-%d")), "1970-01-01");
    EXPECT_EQ(text(Date::fromString("2024-xx-17", "%Y-%m-%d")).substr(0, 4), "2024");
    const Date a(2024, 5, 17);
    const Date b(2024, 5, 18);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b > a);
    EXPECT_TRUE(a <= a);
    EXPECT_TRUE(a >= a);
    EXPECT_TRUE(a == Date(2024, 4, 47));
    EXPECT_TRUE(a != b);
    const Date copy = a;
    EXPECT_EQ(text(copy), "2024-05-17");
}

TEST(TimeTest, WrapsAtMidnightOn1970)
{
    ScopedTimeZone zone(europe);
    EXPECT_EQ(text(Time()), "00:00:00");
    Time late(23, 30, 0, Time::noOffset);
    late.addHours(1);
    EXPECT_EQ(late.toString("%F %T"), "1970-01-01 00:30:00");
    EXPECT_EQ(text(Time(0, 0, 0, Time::noOffset).addSeconds(-1)), "23:59:59");
    EXPECT_EQ(text(Time(25, 0, 0, Time::noOffset)), "01:00:00");
    EXPECT_EQ(text(Time(10, 59, 30, Time::noOffset).addMinutes(2)), "11:01:30");
    const Time t(8, 9, 10, Time::noOffset);
    EXPECT_EQ(t.hour(), 8);
    EXPECT_EQ(t.minute(), 9);
    EXPECT_EQ(t.second(), 10);
}

TEST(TimeTest, Offsets)
{
    ScopedTimeZone zone(europe);
    EXPECT_EQ(Time(1, 0, 0, 120).utcOffset(), 120);
    EXPECT_EQ(Time(1, 0, 0, -330).utcOffset(), -330);
    EXPECT_EQ(Time(1, 0, 0, Time::noOffset).utcOffset(), 60);
    Time other;
    other = Time(1, 0, 0, 120);
    other.addHours(1);
    EXPECT_EQ(other.utcOffset(), 120);
    EXPECT_EQ(text(other), "02:00:00");
    {
        ScopedTimeZone utc("UTC0");
        EXPECT_EQ(Time(1, 0, 0, Time::noOffset).utcOffset(), 0);
        EXPECT_EQ(Time(1, 0, 5, Time::noOffset).seconds(), 3605);
    }
}

TEST(TimeTest, ValidityBcdAndParsing)
{
    EXPECT_TRUE(Time::isValid(23, 59, 59));
    EXPECT_FALSE(Time::isValid(24, 0, 0));
    EXPECT_FALSE(Time::isValid(0, 60, 0));
    EXPECT_FALSE(Time::isValid(0, 0, -1));
    EXPECT_EQ(Time(8, 9, 10, Time::noOffset).toBCD(), 0x080910);
    EXPECT_EQ(text(Time::fromBCD(0x080910)), "08:09:10");
    EXPECT_EQ(text(Time::fromBCD(0x235959)), "23:59:59");
    EXPECT_EQ(text(Time::fromString("12:34:56", "%H:%M:%S")), "12:34:56");
    EXPECT_EQ(text(Time::fromString("", "%H:%M:%S")), "00:00:00");
}

TEST(TimeTest, ComparisonAndCurrentTime)
{
    ScopedTimeZone zone(europe);
    const Time nine(9, 0, 0, Time::noOffset);
    const Time ten(10, 0, 0, 120);
    EXPECT_DOUBLE_EQ(Time::diff(ten, nine), 3600.0);
    EXPECT_TRUE(nine < ten);
    EXPECT_TRUE(ten > nine);
    EXPECT_TRUE(nine == Time(9, 0, 0, 300));
    EXPECT_TRUE(nine != ten);

    // The clock fields of now, whatever today's daylight-saving flag is.
    const time_t before = time(nullptr);
    const Time now = Time::currentTime();
    tm local{};
    localtime_r(&before, &local);
    const int expected = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    const int actual = now.hour() * 3600 + now.minute() * 60 + now.second();
    EXPECT_LE((actual - expected + 86400) % 86400, 2);
    const Time utcNow = Time::currentTimeUTC();
    tm utc{};
    gmtime_r(&before, &utc);
    EXPECT_LE((utcNow.hour() * 3600 + utcNow.minute() * 60 + utcNow.second() -
               (utc.tm_hour * 3600 + utc.tm_min * 60 + utc.tm_sec) + 86400) % 86400,
              2);
}
