#pragma once
// Moves the wall clock as this test program reads it, without setting the
// system clock: while a WallClockShift lives, clock_gettime of
// CLOCK_REALTIME (and with it Clock::millis) answers the system's time plus
// the shift. The kernel's own timeouts and every other clock stay as they
// are, as for a process whose clock was set after it started waiting.
// One shift at a time.

#include <chrono>

class WallClockShift
{
public:
    explicit WallClockShift(std::chrono::milliseconds shift);
    ~WallClockShift();
    WallClockShift(const WallClockShift&) = delete;
    WallClockShift& operator=(const WallClockShift&) = delete;
};
