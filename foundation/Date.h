#pragma once
// A calendar day in the local time zone, kept as a struct tm normalised by
// mktime: out-of-range fields carry into the next larger one (2024-02-30 is
// 2024-03-01). A plain value; not shared between threads.

#include <ctime>
#include <string>

class Date
{
public:
    // 1970-01-01.
    Date();
    // Month and day below 1 become 1; larger values carry over.
    Date(int year, int month, int day);
    Date(int year, int dayOfYear);

    Date& set(int year, int month, int day);
    Date& set(int year, int dayOfYear);
    Date& addDays(int days);
    Date& addMonths(int months);
    Date& addYears(int years);

    int year() const;
    // 1 to 12.
    int month() const;
    int day() const;
    // 1 Monday to 7 Sunday.
    int dayOfWeek() const;
    // 1 to 366.
    int dayOfYear() const;

    // strftime text; empty when longer than 127 characters.
    std::string toString(const char* fmt) const;
    // 0xYYYYMMDD, one decimal digit per nibble.
    int toBCD() const;
    // Nibbles above 9 count at face value; month and day 0 become 1.
    static Date fromBCD(unsigned int v);
    // Today, with the current clock time left in the hour fields.
    static Date currentDate();
    static bool isLeapYear(int year);
    // True when the date exists as given (no carrying needed).
    static bool isValid(int year, int month, int day);
    // Parses with std::get_time; fields read before a mismatch are kept and
    // an empty text gives the default date.
    static Date fromString(const std::string& text, const char* fmt);
    static time_t normalize(tm& t);
    // Seconds from b to a, read as local time.
    static double diffTime(const tm& a, const tm& b);

    bool operator<(const Date& other) const;
    bool operator>(const Date& other) const;
    bool operator<=(const Date& other) const;
    bool operator>=(const Date& other) const;
    bool operator==(const Date& other) const;
    bool operator!=(const Date& other) const;

private:
    // A calendar change lets mktime decide daylight saving afresh, so a day
    // step across a change of offset keeps the clock fields.
    Date& renormalize();

    tm mTm;
};
