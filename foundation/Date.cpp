#include "foundation/Date.h"

#include "foundation/Clock.h"
#include "foundation/TmHelpers.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

Date::Date() : Date(1970, 1, 1)
{
}

Date::Date(int year, int month, int day) : mTm()
{
    set(year, month, day);
}

Date::Date(int year, int dayOfYear) : mTm()
{
    set(year, dayOfYear);
}

Date& Date::set(int year, int month, int day)
{
    mTm = tm();
    mTm.tm_year = year - 1900;
    mTm.tm_mon = std::max(month, 1) - 1;
    mTm.tm_mday = std::max(day, 1);
    return renormalize();
}

Date& Date::set(int year, int dayOfYear)
{
    return set(year, 1, dayOfYear);
}

Date& Date::addDays(int days)
{
    mTm.tm_mday += days;
    return renormalize();
}

Date& Date::addMonths(int months)
{
    mTm.tm_mon += months;
    return renormalize();
}

Date& Date::addYears(int years)
{
    mTm.tm_year += years;
    return renormalize();
}

Date& Date::renormalize()
{
    mTm.tm_isdst = -1;
    mktime(&mTm);
    return *this;
}

int Date::year() const
{
    return mTm.tm_year + 1900;
}

int Date::month() const
{
    return mTm.tm_mon + 1;
}

int Date::day() const
{
    return mTm.tm_mday;
}

int Date::dayOfWeek() const
{
    return mTm.tm_wday == 0 ? 7 : mTm.tm_wday;
}

int Date::dayOfYear() const
{
    return mTm.tm_yday + 1;
}

std::string Date::toString(const char* fmt) const
{
    return TmHelpers::format(mTm, fmt);
}

int Date::toBCD() const
{
    const unsigned y = static_cast<unsigned>(year());
    const unsigned m = static_cast<unsigned>(month());
    const unsigned d = static_cast<unsigned>(day());
    const unsigned bcd = (y / 1000 % 10) << 28 | (y / 100 % 10) << 24 | (y / 10 % 10) << 20 | (y % 10) << 16 |
                         (m / 10 % 10) << 12 | (m % 10) << 8 | (d / 10 % 10) << 4 | (d % 10);
    return static_cast<int>(bcd);
}

Date Date::fromBCD(unsigned int v)
{
    auto nibble = [v](int index) { return static_cast<int>(v >> (4 * index) & 0x0F); };
    const int year = nibble(7) * 1000 + nibble(6) * 100 + nibble(5) * 10 + nibble(4);
    const int month = nibble(3) * 10 + nibble(2);
    const int day = nibble(1) * 10 + nibble(0);
    return Date(year, month, day);
}

Date Date::currentDate()
{
    Date today;
    today.mTm = Clock::getTime();
    return today;
}

bool Date::isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool Date::isValid(int year, int month, int day)
{
    tm t = tm();
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_isdst = -1;
    return TmHelpers::normalizeChecked(t) && t.tm_year == year - 1900 && t.tm_mon == month - 1 && t.tm_mday == day;
}

Date Date::fromString(const std::string& text, const char* fmt)
{
    Date date;
    if (text.empty()) {
        return date;
    }
    std::istringstream in(text);
    in >> std::get_time(&date.mTm, fmt);
    return date.renormalize();
}

time_t Date::normalize(tm& t)
{
    return mktime(&t);
}

double Date::diffTime(const tm& a, const tm& b)
{
    return TmHelpers::diff(a, b);
}

bool Date::operator<(const Date& other) const
{
    return diffTime(mTm, other.mTm) < 0;
}

bool Date::operator>(const Date& other) const
{
    return diffTime(mTm, other.mTm) > 0;
}

bool Date::operator<=(const Date& other) const
{
    return diffTime(mTm, other.mTm) <= 0;
}

bool Date::operator>=(const Date& other) const
{
    return diffTime(mTm, other.mTm) >= 0;
}

bool Date::operator==(const Date& other) const
{
    return diffTime(mTm, other.mTm) == 0;
}

bool Date::operator!=(const Date& other) const
{
    return diffTime(mTm, other.mTm) != 0;
}
