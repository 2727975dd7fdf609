#include "WallClockShift.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<int64_t> gShiftNs{0};

} // namespace

// Replaces the C library's function for the whole test program; the time
// itself still comes from the kernel.
extern "C" int clock_gettime(clockid_t clock, timespec* now) noexcept
{
    const long result = syscall(SYS_clock_gettime, clock, now);
    const int64_t shift = gShiftNs.load();
    if (result == 0 && clock == CLOCK_REALTIME && shift != 0) {
        const int64_t ns = int64_t(now->tv_sec) * 1000000000 + now->tv_nsec + shift;
        now->tv_sec = static_cast<time_t>(ns / 1000000000);
        now->tv_nsec = static_cast<long>(ns % 1000000000);
    }
    return static_cast<int>(result);
}

WallClockShift::WallClockShift(std::chrono::milliseconds shift)
{
    gShiftNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(shift).count());
}

WallClockShift::~WallClockShift()
{
    gShiftNs.store(0);
}
