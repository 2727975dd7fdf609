#pragma once
// Helpers shared by Date, Time and DateTime, which all keep a struct tm
// normalised in the local time zone.

#include <ctime>
#include <string>

namespace TmHelpers {

// strftime into a 128-byte buffer; empty when the result does not fit.
inline std::string format(const tm& t, const char* fmt)
{
    char buffer[128] = {};
    const size_t n = strftime(buffer, sizeof(buffer), fmt, &t);
    return std::string(buffer, n);
}

// Seconds from b to a, both read as local time; the operands are not changed.
inline double diff(const tm& a, const tm& b)
{
    tm copyA = a;
    tm copyB = b;
    return difftime(mktime(&copyA), mktime(&copyB));
}

// mktime that tells real failure apart from the valid instant -1 (one second
// before the epoch): on failure mktime leaves the day of week untouched.
inline bool normalizeChecked(tm& t)
{
    t.tm_wday = -1;
    mktime(&t);
    return t.tm_wday != -1;
}

} // namespace TmHelpers
