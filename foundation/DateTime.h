#pragma once
// A calendar date and time of day in the local time zone, kept as a struct tm
// normalised by mktime, with an optional UTC offset in seconds. Comparisons
// and differences read both values as local time; the offset takes no part.
// A plain value; not shared between threads.

#include "foundation/Date.h"
#include "foundation/Time.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

class DateTime
{
public:
    // Marks the offset as unset.
    static constexpr int32_t noOffset = 65535;

    // 1970-01-01 00:00:00 local time, offset unset.
    DateTime();
    // The offset becomes t.utcOffset() in seconds.
    DateTime(const Date& d, const Time& t);
    // Today's local date at the clock of t.
    explicit DateTime(const Time& t);

    // Calendar steps (days, months, years) keep the clock fields across a
    // change of daylight saving; clock steps count elapsed time.
    DateTime& addDays(int days);
    DateTime& addMonths(int months);
    DateTime& addYears(int years);
    DateTime& addHours(int hours);
    DateTime& addMinutes(int minutes);
    DateTime& addSeconds(int seconds);

    Date date() const;
    // The clock fields, offset unset.
    Time time() const;
    // Seconds east of UTC: the set offset, else the zone's for this instant.
    int utcOffset() const;
    DateTime& setDate(const Date& d);
    DateTime& setTime(const Time& t);
    // noOffset unsets it.
    DateTime& setUtcOffset(int seconds);

    // strftime text ("%FT%T", "%Y%m%d%H%M%S"); empty when longer than 127.
    std::string toString(const char* fmt) const;
    // 0xYYYYMMDDhhmmss, one decimal digit per nibble.
    uint64_t toBCD() const;
    tm toCTime() const;
    // The fields read as local time; the offset is ignored.
    time_t toUnixTime() const;
    bool isDaylightSaving() const;

    // t is taken as it is, not normalised.
    static DateTime fromCTime(tm t, int offset);
    // Counts from 1970-01-01 00:00:00 local time.
    static DateTime fromUnixTime(int seconds);
    static DateTime fromBCD(unsigned long v);
    static DateTime currentDateTime();
    static DateTime currentDateTimeUTC();
    // Seconds from b to a.
    static double diff(const DateTime& a, const DateTime& b);
    // Reads dt as UTC and converts it into zone tz. Sets TZ to tz for the
    // whole process and leaves it so; not to be run while other threads
    // convert local times.
    static DateTime toLocal(const DateTime& dt, const std::string& tz);
    // Converts a local dt (its offset, else its zone's) into UTC.
    static DateTime toUTC(const DateTime& dt);
    // Parses with std::get_time; fields read before a mismatch are kept and
    // an empty text gives the default value.
    static DateTime fromString(const std::string& text, const char* fmt);
    // Cuts [start, end] at local midnights. A span ending exactly at midnight
    // ends with the pair (end, end).
    static std::vector<std::pair<DateTime, DateTime>> splitDays(const DateTime& start, const DateTime& end);
    // Cuts [start, end] into pieces of step's length; a step of zero length
    // gives the single pair (start, end).
    static std::vector<std::pair<DateTime, DateTime>> splitRangeBy(const DateTime& start, const DateTime& end,
                                                                   const Time& step);

    bool operator<(const DateTime& other) const;
    bool operator>(const DateTime& other) const;
    bool operator<=(const DateTime& other) const;
    bool operator>=(const DateTime& other) const;
    bool operator==(const DateTime& other) const;
    bool operator!=(const DateTime& other) const;

    // mktime, then tm_gmtoff = offset unless offset is noOffset.
    static time_t normalize(tm& t, int offset);
    // Seconds from b to a, read as local time.
    static double diffTime(const tm& a, const tm& b);

private:
    // For calendar changes: mktime decides daylight saving afresh.
    DateTime& renormalizeCalendar();

    tm mTm;
    int32_t mUtcOffset;
};
