#pragma once

#include "foundation/Semaphore.h"

#include <pthread.h>

#include <atomic>

// A joinable worker thread with a built-in stop request.
//
// Stop protocol: the owner constructs the Thread with an entry function and
// calls run(); the body works for as long as terminated(0) returns false (or
// uses terminated(ms) as its sleep); to stop, the owner checks running(),
// calls terminate() and then join().
//
// Threading: only the owner calls run, join, detach and the destructor; it
// alone writes the joinable state. The running state is set by run() and
// cleared by the new thread when its body returns. terminate() and
// terminated() may be called from any thread.
class Thread
{
public:
    using EntryFunction = void (*)(void*);

    Thread(EntryFunction entry, void* argument);
    // Detaches a thread that was never joined; it neither stops nor waits
    // for it, so the owner stops and joins it first.
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the thread. False while a body is still running, or when the
    // thread could not be created (errno then tells why). `arg` is used only when no argument was
    // given at construction. A previous thread that ended without being
    // joined is joined first. The thread counts as running from here on.
    bool run(void* arg = nullptr);
    // Waits for the thread to end. False when called from the thread itself,
    // when there is nothing to join, or when pthread_join fails.
    bool join();
    // False when there is nothing to detach or pthread_detach fails.
    bool detach();
    // True from a successful run() until the body has returned.
    bool running() const { return runningState.load() == 1; }

    static bool yield();
    static void sleep(int ms);

    // Asks the body to stop; returns at once. Requests add up.
    bool terminate();
    // Takes one stop request: `ms` 0 only polls, < 0 waits without limit,
    // > 0 waits at most that long. True when a request was taken.
    bool terminated(int ms);

protected:
    // Runs as the body when no entry function was given.
    virtual void task(void* arg);

private:
    static void* threadFunction(void* self);

    EntryFunction entry;
    void* argument;
    std::atomic<int> runningState{0};
    bool joinable = false;
    pthread_t handle{};
    Semaphore stopRequest;
};
