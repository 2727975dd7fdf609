#include "tests/support/ScopedTimeZone.h"

#include <cstdlib>
#include <ctime>

ScopedTimeZone::ScopedTimeZone(const std::string& tz) : mHadValue(false)
{
    if (const char* previous = std::getenv("TZ")) {
        mHadValue = true;
        mPrevious = previous;
    }
    setenv("TZ", tz.c_str(), 1);
    tzset();
}

ScopedTimeZone::~ScopedTimeZone()
{
    if (mHadValue) {
        setenv("TZ", mPrevious.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}
