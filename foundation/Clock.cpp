#include "foundation/Clock.h"

#include <cerrno>
#include <cstring>
#include <iostream>

int Clock_UTCOffset = 0;

double Clock::millis()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec)) / 1e6;
}

double Clock::elapsedMillis(double t0)
{
    return millis() - t0;
}

long Clock::seconds()
{
    return static_cast<long>(time(nullptr));
}

long Clock::elapsedSeconds(long t0)
{
    return static_cast<long>(difftime(time(nullptr), static_cast<time_t>(t0)));
}

tm Clock::getTime()
{
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return local;
}

tm Clock::getTimeUTC()
{
    const time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    return utc;
}

void Clock::setTime(const tm& t)
{
    tm copy = t;
    const timespec target{mktime(&copy), 0};
    if (clock_settime(CLOCK_REALTIME, &target) != 0) {
        std::cerr << "ERROR: Clock::setTime() failed : " << std::strerror(errno) << std::endl;
    }
}

void Clock::setOffsetFromUTC(int offset)
{
    Clock_UTCOffset = offset;
}
