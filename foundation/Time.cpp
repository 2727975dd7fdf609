#include "foundation/Time.h"

#include "foundation/Clock.h"
#include "foundation/TmHelpers.h"

#include <clocale>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

namespace {

void resetDate(tm& t)
{
    t.tm_mday = 1;
    t.tm_mon = 0;
    t.tm_year = 70;
    t.tm_wday = 0;
    t.tm_yday = 0;
}

} // namespace

Time::Time() : Time(0, 0, 0, noOffset)
{
}

Time::Time(int hour, int minute, int second, int utcOffsetMinutes) : mTm(), mUtcOffset(noOffset)
{
    set(hour, minute, second, utcOffsetMinutes);
}

Time& Time::set(int hour, int minute, int second, int utcOffsetMinutes)
{
    mTm = tm();
    resetDate(mTm);
    mTm.tm_hour = hour;
    mTm.tm_min = minute;
    mTm.tm_sec = second;
    mTm.tm_isdst = -1;
    mUtcOffset = utcOffsetMinutes;
    normalize(mTm, mUtcOffset);
    return *this;
}

Time& Time::addSeconds(int seconds)
{
    mTm.tm_sec += seconds;
    normalize(mTm, mUtcOffset);
    return *this;
}

Time& Time::addMinutes(int minutes)
{
    mTm.tm_min += minutes;
    normalize(mTm, mUtcOffset);
    return *this;
}

Time& Time::addHours(int hours)
{
    mTm.tm_hour += hours;
    normalize(mTm, mUtcOffset);
    return *this;
}

int Time::hour() const
{
    return mTm.tm_hour;
}

int Time::minute() const
{
    return mTm.tm_min;
}

int Time::second() const
{
    return mTm.tm_sec;
}

int Time::utcOffset() const
{
    return static_cast<int>(mTm.tm_gmtoff / 60);
}

time_t Time::seconds() const
{
    tm copy = mTm;
    return mktime(&copy);
}

std::string Time::toString(const char* fmt) const
{
    return TmHelpers::format(mTm, fmt);
}

int Time::toBCD() const
{
    auto bcd = [](int value) { return static_cast<unsigned>(value / 10 % 10) << 4 | static_cast<unsigned>(value % 10); };
    return static_cast<int>(bcd(hour()) << 16 | bcd(minute()) << 8 | bcd(second()));
}

Time Time::fromBCD(unsigned int v)
{
    auto decimal = [v](int shift) { return static_cast<int>((v >> (shift + 4) & 0x0F) * 10 + (v >> shift & 0x0F)); };
    return Time(decimal(16), decimal(8), decimal(0), noOffset);
}

Time Time::currentTime()
{
    // Only the clock fields: today's daylight-saving flag must not shift them
    // on 1970-01-01.
    const tm now = Clock::getTime();
    return Time(now.tm_hour, now.tm_min, now.tm_sec, noOffset);
}

Time Time::currentTimeUTC()
{
    const tm now = Clock::getTimeUTC();
    return Time(now.tm_hour, now.tm_min, now.tm_sec, noOffset);
}

double Time::diff(const Time& a, const Time& b)
{
    return diffTime(a.mTm, b.mTm);
}

bool Time::isValid(int hour, int minute, int second)
{
    tm t = tm();
    resetDate(t);
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return TmHelpers::normalizeChecked(t) && t.tm_hour == hour && t.tm_min == minute && t.tm_sec == second;
}

Time Time::fromString(const std::string& text, const char* fmt)
{
    Time time;
    if (text.empty()) {
        return time;
    }
    std::istringstream in(text);
    try {
        in.imbue(std::locale(setlocale(LC_ALL, nullptr)));
    } catch (const std::runtime_error&) {
        // A locale name the C++ library cannot build: parse in the stream's own.
    }
    in >> std::get_time(&time.mTm, fmt);
    normalize(time.mTm, time.mUtcOffset);
    return time;
}

time_t Time::normalize(tm& t, int utcOffsetMinutes)
{
    const time_t result = mktime(&t);
    if (utcOffsetMinutes != noOffset) {
        t.tm_gmtoff = static_cast<long>(utcOffsetMinutes) * 60;
    }
    resetDate(t);
    return result;
}

double Time::diffTime(const tm& a, const tm& b)
{
    return TmHelpers::diff(a, b);
}

bool Time::operator<(const Time& other) const
{
    return diffTime(mTm, other.mTm) < 0;
}

bool Time::operator>(const Time& other) const
{
    return diffTime(mTm, other.mTm) > 0;
}

bool Time::operator<=(const Time& other) const
{
    return diffTime(mTm, other.mTm) <= 0;
}

bool Time::operator>=(const Time& other) const
{
    return diffTime(mTm, other.mTm) >= 0;
}

bool Time::operator==(const Time& other) const
{
    return diffTime(mTm, other.mTm) == 0;
}

bool Time::operator!=(const Time& other) const
{
    return diffTime(mTm, other.mTm) != 0;
}
