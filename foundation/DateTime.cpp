#include "foundation/DateTime.h"

#include "foundation/Clock.h"
#include "foundation/TmHelpers.h"

#include <cstdlib>
#include <iomanip>
#include <sstream>

DateTime::DateTime() : mTm(), mUtcOffset(noOffset)
{
    mTm.tm_year = 70;
    mTm.tm_mday = 1;
    renormalizeCalendar();
}

DateTime::DateTime(const Date& d, const Time& t) : mTm(), mUtcOffset(t.utcOffset() * 60)
{
    mTm.tm_year = d.year() - 1900;
    mTm.tm_mon = d.month() - 1;
    mTm.tm_mday = d.day();
    mTm.tm_hour = t.hour();
    mTm.tm_min = t.minute();
    mTm.tm_sec = t.second();
    renormalizeCalendar();
}

DateTime::DateTime(const Time& t) : DateTime(Date::currentDate(), t)
{
}

DateTime& DateTime::renormalizeCalendar()
{
    mTm.tm_isdst = -1;
    normalize(mTm, mUtcOffset);
    return *this;
}

DateTime& DateTime::addDays(int days)
{
    mTm.tm_mday += days;
    return renormalizeCalendar();
}

DateTime& DateTime::addMonths(int months)
{
    mTm.tm_mon += months;
    return renormalizeCalendar();
}

DateTime& DateTime::addYears(int years)
{
    mTm.tm_year += years;
    return renormalizeCalendar();
}

DateTime& DateTime::addHours(int hours)
{
    mTm.tm_hour += hours;
    normalize(mTm, mUtcOffset);
    return *this;
}

DateTime& DateTime::addMinutes(int minutes)
{
    mTm.tm_min += minutes;
    normalize(mTm, mUtcOffset);
    return *this;
}

DateTime& DateTime::addSeconds(int seconds)
{
    mTm.tm_sec += seconds;
    normalize(mTm, mUtcOffset);
    return *this;
}

Date DateTime::date() const
{
    return Date(mTm.tm_year + 1900, mTm.tm_mon + 1, mTm.tm_mday);
}

Time DateTime::time() const
{
    return Time(mTm.tm_hour, mTm.tm_min, mTm.tm_sec, Time::noOffset);
}

int DateTime::utcOffset() const
{
    return mUtcOffset != noOffset ? mUtcOffset : static_cast<int>(mTm.tm_gmtoff);
}

DateTime& DateTime::setDate(const Date& d)
{
    mTm.tm_year = d.year() - 1900;
    mTm.tm_mon = d.month() - 1;
    mTm.tm_mday = d.day();
    return renormalizeCalendar();
}

DateTime& DateTime::setTime(const Time& t)
{
    mTm.tm_hour = t.hour();
    mTm.tm_min = t.minute();
    mTm.tm_sec = t.second();
    mUtcOffset = t.utcOffset() * 60;
    return renormalizeCalendar();
}

DateTime& DateTime::setUtcOffset(int seconds)
{
    mUtcOffset = seconds;
    normalize(mTm, mUtcOffset);
    return *this;
}

std::string DateTime::toString(const char* fmt) const
{
    return TmHelpers::format(mTm, fmt);
}

uint64_t DateTime::toBCD() const
{
    const uint64_t datePart = static_cast<uint32_t>(date().toBCD());
    const uint64_t timePart = static_cast<uint32_t>(time().toBCD());
    return datePart << 24 | timePart;
}

tm DateTime::toCTime() const
{
    return mTm;
}

time_t DateTime::toUnixTime() const
{
    tm copy = mTm;
    return mktime(&copy);
}

bool DateTime::isDaylightSaving() const
{
    return mTm.tm_isdst == 1;
}

DateTime DateTime::fromCTime(tm t, int offset)
{
    DateTime value;
    value.mTm = t;
    value.mUtcOffset = offset;
    return value;
}

DateTime DateTime::fromUnixTime(int seconds)
{
    return DateTime().addSeconds(seconds);
}

DateTime DateTime::fromBCD(unsigned long v)
{
    return DateTime(Date::fromBCD(static_cast<unsigned int>(v >> 24)),
                    Time::fromBCD(static_cast<unsigned int>(v & 0xFFFFFFFFul)));
}

DateTime DateTime::currentDateTime()
{
    DateTime now;
    now.mTm = Clock::getTime();
    now.mUtcOffset = noOffset;
    return now;
}

DateTime DateTime::currentDateTimeUTC()
{
    DateTime now;
    now.mTm = Clock::getTimeUTC();
    now.mTm.tm_gmtoff = 0;
    now.mUtcOffset = 0;
    return now;
}

double DateTime::diff(const DateTime& a, const DateTime& b)
{
    return diffTime(a.mTm, b.mTm);
}

DateTime DateTime::toLocal(const DateTime& dt, const std::string& tz)
{
    DateTime result = dt;
    setenv("TZ", "UTC", 1);
    tzset();
    // The fields name UTC, where there is no daylight saving: a flag left
    // from a local summer time would shift the instant by an hour.
    result.mTm.tm_isdst = 0;
    const time_t instant = mktime(&result.mTm);
    result.mTm.tm_gmtoff = 0;
    setenv("TZ", tz.c_str(), 1);
    tzset();
    localtime_r(&instant, &result.mTm);
    return result;
}

DateTime DateTime::toUTC(const DateTime& dt)
{
    DateTime result = dt;
    result.mUtcOffset = 0;
    normalize(result.mTm, 0);
    const long offset = dt.mUtcOffset != noOffset ? dt.mUtcOffset : dt.mTm.tm_gmtoff;
    // Field arithmetic free of any zone, so a daylight-saving change between
    // the local time and its UTC value cannot shift the result.
    const time_t utc = timegm(&result.mTm) - offset;
    gmtime_r(&utc, &result.mTm);
    return result;
}

DateTime DateTime::fromString(const std::string& text, const char* fmt)
{
    DateTime value;
    if (text.empty()) {
        return value;
    }
    std::istringstream in(text);
    in >> std::get_time(&value.mTm, fmt);
    return value.renormalizeCalendar();
}

std::vector<std::pair<DateTime, DateTime>> DateTime::splitDays(const DateTime& start, const DateTime& end)
{
    const Time midnight = Time::fromString("00:00:00", "%H:%M:%S");
    std::vector<std::pair<DateTime, DateTime>> pieces{{start, DateTime()}};
    for (;;) {
        DateTime boundary;
        boundary.setDate(pieces.back().first.date()).setTime(midnight).addDays(1);
        if (diffTime(boundary.mTm, end.mTm) > 0) {
            pieces.back().second = end;
            return pieces;
        }
        pieces.back().second = boundary;
        pieces.emplace_back(boundary, DateTime());
    }
}

std::vector<std::pair<DateTime, DateTime>> DateTime::splitRangeBy(const DateTime& start, const DateTime& end,
                                                                  const Time& step)
{
    std::vector<std::pair<DateTime, DateTime>> pieces{{start, DateTime()}};
    if (step.hour() == 0 && step.minute() == 0 && step.second() == 0) {
        // A step of no length would never advance.
        pieces.back().second = end;
        return pieces;
    }
    for (;;) {
        DateTime boundary = pieces.back().first;
        boundary.addSeconds(step.second()).addMinutes(step.minute()).addHours(step.hour());
        if (diffTime(boundary.mTm, end.mTm) >= 0) {
            pieces.back().second = end;
            return pieces;
        }
        pieces.back().second = boundary;
        pieces.emplace_back(boundary, DateTime());
    }
}

bool DateTime::operator<(const DateTime& other) const
{
    return diffTime(mTm, other.mTm) < 0;
}

bool DateTime::operator>(const DateTime& other) const
{
    return diffTime(mTm, other.mTm) > 0;
}

bool DateTime::operator<=(const DateTime& other) const
{
    return diffTime(mTm, other.mTm) <= 0;
}

bool DateTime::operator>=(const DateTime& other) const
{
    return diffTime(mTm, other.mTm) >= 0;
}

bool DateTime::operator==(const DateTime& other) const
{
    return diffTime(mTm, other.mTm) == 0;
}

bool DateTime::operator!=(const DateTime& other) const
{
    return diffTime(mTm, other.mTm) != 0;
}

time_t DateTime::normalize(tm& t, int offset)
{
    const time_t result = mktime(&t);
    if (offset != noOffset) {
        t.tm_gmtoff = offset;
    }
    return result;
}

double DateTime::diffTime(const tm& a, const tm& b)
{
    return TmHelpers::diff(a, b);
}
