#pragma once
// The process's view of the wall clock. Static operations only; no locks.
// Milliseconds are doubles read from CLOCK_REALTIME, so setting the system
// time moves them.

#include <ctime>

// Written by Clock::setOffsetFromUTC; kept for callers that record the
// configured offset, no operation of Clock reads it.
extern int Clock_UTCOffset;

class Clock
{
public:
    Clock() = delete;

    static double millis();
    static double elapsedMillis(double t0);
    static long seconds();
    // Whole seconds since t0.
    static long elapsedSeconds(long t0);
    // Local broken-down time now.
    static tm getTime();
    static tm getTimeUTC();
    // Sets the system clock to t read as local time. A refused change (no
    // privilege) is reported only by a line on standard error.
    static void setTime(const tm& t);
    static void setOffsetFromUTC(int offset);
};
