#pragma once

#include <pthread.h>

// A plain, non-recursive mutual-exclusion lock: a thread that locks it twice
// blocks itself. Safe to use from any number of threads. It meets the
// standard BasicLockable requirements, so std::lock_guard<Mutex> works.
class Mutex
{
public:
    Mutex();
    ~Mutex();

    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Blocks until the lock is held; true when the lock was taken.
    bool lock();
    // True when the lock was released.
    bool unlock();
    // Never blocks; true when the lock was taken.
    bool trylock();

private:
    pthread_mutex_t mMutex;
};
