#pragma once
// A time of day with an optional UTC offset, kept as a struct tm on
// 1970-01-01 normalised by mktime in the local time zone: the clock wraps at
// midnight (23:30 plus one hour is 00:30). A plain value; not shared between
// threads.

#include <cstdint>
#include <ctime>
#include <string>

class Time
{
public:
    // Marks the offset as unset.
    static constexpr int32_t noOffset = 65535;

    // 00:00:00, offset unset.
    Time();
    // No range check: overflow carries and wraps. Offset in minutes east of
    // UTC, or noOffset.
    Time(int hour, int minute, int second, int utcOffsetMinutes);

    Time& set(int hour, int minute, int second, int utcOffsetMinutes);
    Time& addSeconds(int seconds);
    Time& addMinutes(int minutes);
    Time& addHours(int hours);

    int hour() const;
    int minute() const;
    int second() const;
    // Minutes east of UTC: the set offset, or the local zone's on 1970-01-01.
    int utcOffset() const;
    // This clock time on 1970-01-01 local time, in seconds since the epoch.
    time_t seconds() const;

    // strftime text; empty when longer than 127 characters.
    std::string toString(const char* fmt) const;
    // 0x00HHMMSS, one decimal digit per nibble.
    int toBCD() const;
    // Nibbles are not checked; offset unset.
    static Time fromBCD(unsigned int v);
    static Time currentTime();
    static Time currentTimeUTC();
    // Seconds from b to a.
    static double diff(const Time& a, const Time& b);
    // True for hours 0-23 and minutes and seconds 0-59.
    static bool isValid(int hour, int minute, int second);
    // Parses with std::get_time in the C library's current locale; fields read
    // before a mismatch are kept and an empty text gives the default time.
    static Time fromString(const std::string& text, const char* fmt);
    // mktime, the offset into tm_gmtoff when set, then the date back to
    // 1970-01-01. Returns the mktime result.
    static time_t normalize(tm& t, int utcOffsetMinutes);
    // Seconds from b to a, read as local time.
    static double diffTime(const tm& a, const tm& b);

    bool operator<(const Time& other) const;
    bool operator>(const Time& other) const;
    bool operator<=(const Time& other) const;
    bool operator>=(const Time& other) const;
    bool operator==(const Time& other) const;
    bool operator!=(const Time& other) const;

private:
    tm mTm;
    int32_t mUtcOffset;
};
