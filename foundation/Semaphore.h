#pragma once

#include <semaphore.h>

#include <memory>
#include <string>

// A process-private counting semaphore with timed waits. Safe to use from
// any number of threads. When the count could not be created every
// operation returns false.
class Semaphore
{
public:
    // The count starts at the smaller of `initial` and `maxCount`; later posts
    // may take it past `maxCount`, which is only recorded for other code.
    Semaphore(const std::string& name, unsigned initial, unsigned maxCount);
    ~Semaphore();

    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Adds `n` counts (0 counts as 1). False at the first post that fails;
    // the remaining posts are then not made.
    bool Post(unsigned n = 1);
    // Takes one count. `ms` < 0 waits without limit, 0 does not wait, > 0
    // waits at most that long on the wall clock (CLOCK_REALTIME). True only
    // when a count was taken.
    bool Wait(int ms);
    // Takes one count if there is one, without waiting.
    bool Try();

    unsigned GetMaxCount() const { return maxCount; }
    const std::string& GetName() const { return name; }

private:
    std::string name;
    std::unique_ptr<sem_t> count;
    unsigned maxCount;
};
