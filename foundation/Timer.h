#pragma once

#include "foundation/Signal.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

// A one-shot or periodic timer that runs on a detached thread of its own.
// Each expiry emits `timeout` and then calls the optional C-style callback;
// when the thread ends it emits `stopped`. Periods are measured on the
// monotonic clock, which setting the system time does not move, each from
// the end of the previous expiry's slots.
//
// Threading: the owner calls start, stop and the destructor; any thread may
// call them, including the timer's own slots and callback. `timeout` slots,
// the callback and `stopped` slots run on the timer's thread with no lock of
// the timer held. At most one thread runs a timer's loop: a thread started
// after stop() waits until the previous one has finished its expiry. The
// signals and the state live in a block shared with the timer's threads, so
// a thread that outlives its Timer touches no freed memory.
class Timer
{
public:
    enum Type { SingleShot = 0, Periodic = 1 };
    using Callback = void (*)(void*);

    Timer(Type type, Callback callback, void* data);
    explicit Timer(Type type);
    // Connects `onTimeout` to `timeout` and `onStopped` to `stopped`; both
    // must be callable.
    Timer(Type type, const std::function<void()>& onTimeout, const std::function<void()>& onStopped);
    // Stops the timer and waits until no slot or callback of it runs any
    // more, so their owner may be freed next; `stopped` is not emitted.
    // Called from the timer's own slot or callback it does not wait: the
    // current `timeout` emission finishes its remaining slots, and the
    // callback is skipped if it had not begun. Do not destroy a timer while
    // holding a lock that its slots or callback take.
    ~Timer();

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Arms the timer for `ms` milliseconds (negative: until stopped or
    // re-armed). A stopped timer gets a new thread; a running one starts
    // its current period again with the new interval, also while it fires.
    // Throws std::system_error when the thread cannot be created; the timer
    // then stays stopped.
    void start(int ms);
    // Ends the timer after the current expiry, if any; does not wait.
    void stop();
    // Emits `timeout` and calls the callback on the calling thread.
    void notify();

    bool running() const;
    int interval() const;
    Type type() const;

private:
    struct Shared;
    static void tickLoop(std::shared_ptr<Shared> shared, uint64_t generation);
    static void runPeriods(Shared& s, std::unique_lock<std::mutex>& lock, uint64_t generation);

    std::shared_ptr<Shared> shared;

public:
    // Emitted at every expiry.
    Signal<>& timeout;
    // Emitted once when a timer thread ends, unless the timer was destroyed.
    Signal<>& stopped;
};
