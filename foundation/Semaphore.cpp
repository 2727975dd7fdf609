#include "foundation/Semaphore.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

Semaphore::Semaphore(const std::string& name, unsigned initial, unsigned maxCount)
    : name(name), count(new sem_t), maxCount(maxCount)
{
    if (sem_init(count.get(), 0, std::min(initial, maxCount)) != 0)
        count.reset();
}

Semaphore::~Semaphore()
{
    if (count)
        sem_destroy(count.get());
}

bool Semaphore::Post(unsigned n)
{
    if (!count)
        return false;
    for (unsigned i = 0; i < std::max(n, 1u); ++i) {
        if (sem_post(count.get()) != 0)
            return false;
    }
    return true;
}

bool Semaphore::Wait(int ms)
{
    if (!count)
        return false;
    if (ms < 0) {
        while (sem_wait(count.get()) != 0) {
            if (errno != EINTR)
                return false;
        }
        return true;
    }
    if (ms == 0)
        return sem_trywait(count.get()) == 0;

    timespec deadline;
    if (clock_gettime(CLOCK_REALTIME, &deadline) != 0)
        return false;
    const int64_t nanos = int64_t(deadline.tv_nsec) + int64_t(ms) * 1000000;
    deadline.tv_sec += nanos / 1000000000;
    deadline.tv_nsec = nanos % 1000000000;
    while (sem_timedwait(count.get(), &deadline) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

bool Semaphore::Try()
{
    return count && sem_trywait(count.get()) == 0;
}
