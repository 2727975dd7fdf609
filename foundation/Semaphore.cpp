#include "foundation/Semaphore.h"

#include <algorithm>
#include <chrono>

Semaphore::Semaphore(const std::string& name, unsigned initial, unsigned maxCount)
    : name(name), maxCount(maxCount), count(std::min({initial, maxCount, kMaxValue}))
{
}

bool Semaphore::Post(unsigned n)
{
    const unsigned wanted = std::max(n, 1u);
    unsigned added;
    {
        std::lock_guard<std::mutex> lock(mutex);
        added = std::min(wanted, kMaxValue - count);
        count += added;
    }
    if (added == 1)
        posted.notify_one();
    else if (added > 1)
        posted.notify_all();
    return added == wanted;
}

bool Semaphore::Wait(int ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    const auto available = [this] { return count > 0; };
    if (ms < 0)
        posted.wait(lock, available);
    else if (ms > 0 && !posted.wait_for(lock, std::chrono::milliseconds(ms), available))
        return false;
    if (count == 0)
        return false;
    --count;
    return true;
}

bool Semaphore::Try()
{
    return Wait(0);
}
