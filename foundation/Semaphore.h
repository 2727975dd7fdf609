#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

// A process-private counting semaphore with timed waits. Safe to use from
// any number of threads: `mutex` guards `count`, and `posted` wakes the
// waiters.
class Semaphore
{
public:
    // The count starts at the smaller of `initial` and `maxCount`; later posts
    // may take it past `maxCount`, which is only recorded for other code.
    Semaphore(const std::string& name, unsigned initial, unsigned maxCount);
    ~Semaphore() = default;

    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Adds `n` counts (0 counts as 1). False when the count would pass
    // kMaxValue; the counts up to it are made, the rest not.
    bool Post(unsigned n = 1);
    // Takes one count. `ms` < 0 waits without limit, 0 does not wait, > 0
    // waits at most that long on the monotonic clock, which setting the
    // system time does not move. True only when a count was taken.
    bool Wait(int ms);
    // Takes one count if there is one, without waiting.
    bool Try();

    unsigned GetMaxCount() const { return maxCount; }
    const std::string& GetName() const { return name; }

private:
    // The largest count, that of a POSIX semaphore.
    static constexpr unsigned kMaxValue = 2147483647;

    std::string name;
    unsigned maxCount;
    std::mutex mutex;
    std::condition_variable posted;
    unsigned count;
};
