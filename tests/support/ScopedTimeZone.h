#pragma once
// Sets TZ (and tzset) for the life of the object and restores the previous
// value afterwards, so time-zone dependent tests pass in any zone. POSIX zone
// strings ("CET-1CEST,M3.5.0,M10.5.0/3") need no zone database.

#include <string>

class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const std::string& tz);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool mHadValue;
    std::string mPrevious;
};
