#include "foundation/Timer.h"

#include <chrono>
#include <thread>

// Everything a timer thread touches. Each thread holds it shared, so it
// outlives a Timer destroyed from its own callback.
//
// Thread generations: every start() of a stopped timer creates a thread
// with the next generation number, and `owner` names the one generation that
// may run periods; any other thread ends at its next look. A thread runs
// periods only while no other one does (`busy`), so a new thread begins only
// after the previous one has finished its expiry and emitted `stopped`.
struct Timer::Shared
{
    Shared(Type type, Callback callback, void* data) : type(type), callback(callback), data(data) {}

    Signal<> timeout;
    Signal<> stopped;
    const Type type;
    const Callback callback;
    void* const data;

    // Guards every member below; never held while slots or the callback run.
    std::mutex mutex;
    // Notified by start, stop and the destructor, and when a thread ends.
    std::condition_variable changed;
    int interval = 0;
    // The current period, counted from `startTime` on the monotonic clock,
    // which setting the system time does not move.
    int remaining = 0;
    std::chrono::steady_clock::time_point startTime;
    bool running = false;
    // start() on a running timer since its last expiry began.
    bool rearmed = false;
    bool destroyed = false;
    uint64_t generations = 0;
    uint64_t owner = 0;
    bool busy = false;
    // Timer threads that have not yet ended.
    int threads = 0;
};

namespace {

// The timer state served by the calling thread, if it is a timer thread.
thread_local const void* tServing = nullptr;

} // namespace

Timer::Timer(Type type, Callback callback, void* data)
    : shared(std::make_shared<Shared>(type, callback, data)), timeout(shared->timeout), stopped(shared->stopped)
{
}

Timer::Timer(Type type) : Timer(type, nullptr, nullptr)
{
}

Timer::Timer(Type type, const std::function<void()>& onTimeout, const std::function<void()>& onStopped)
    : Timer(type, nullptr, nullptr)
{
    timeout.connect(onTimeout);
    stopped.connect(onStopped);
}

Timer::~Timer()
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->destroyed = true;
    shared->running = false;
    shared->changed.notify_all();
    // Our own thread cannot wait for itself; another thread is then at most
    // about to emit `stopped` and sees `destroyed` first.
    if (tServing == shared.get())
        return;
    shared->changed.wait(lock, [this] { return shared->threads == 0; });
}

void Timer::start(int ms)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->interval = ms;
    shared->remaining = ms;
    shared->startTime = std::chrono::steady_clock::now();
    if (shared->running) {
        shared->rearmed = true;
        shared->changed.notify_all();
        return;
    }
    const uint64_t generation = ++shared->generations;
    try {
        std::thread(&Timer::tickLoop, shared, generation).detach();
    } catch (...) {
        --shared->generations;
        throw;
    }
    shared->owner = generation;
    shared->running = true;
    ++shared->threads;
    // A stopped thread that has not woken yet ends now.
    shared->changed.notify_all();
}

void Timer::stop()
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->running) {
        shared->running = false;
        shared->changed.notify_all();
    }
}

void Timer::notify()
{
    timeout.emit();
    if (shared->callback != nullptr)
        shared->callback(shared->data);
}

bool Timer::running() const
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->running;
}

int Timer::interval() const
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->interval;
}

Timer::Type Timer::type() const
{
    return shared->type;
}

void Timer::tickLoop(std::shared_ptr<Shared> shared, uint64_t generation)
{
    Shared& s = *shared;
    tServing = &s;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.changed.wait(lock, [&] { return !s.busy || s.owner != generation || s.destroyed; });
    const bool runs = s.owner == generation && !s.destroyed;
    if (runs) {
        s.busy = true;
        runPeriods(s, lock, generation);
    }
    if (!s.destroyed) {
        lock.unlock();
        s.stopped.emit();
        lock.lock();
    }
    if (runs)
        s.busy = false;
    --s.threads;
    s.changed.notify_all();
    tServing = nullptr;
}

// Waits out periods and fires expiries until this thread's timer is
// stopped, superseded, destroyed, or a single shot has fired.
void Timer::runPeriods(Shared& s, std::unique_lock<std::mutex>& lock, uint64_t generation)
{
    s.startTime = std::chrono::steady_clock::now();
    for (;;) {
        if (!s.running || s.owner != generation)
            return;
        if (s.remaining < 0) {
            s.changed.wait(lock);
            continue;
        }
        // An expiry up to just under 1 ms early still counts.
        const double left =
            s.remaining -
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - s.startTime).count();
        if (static_cast<int>(left) >= 1) {
            s.changed.wait_for(lock, std::chrono::duration<double, std::milli>(left));
            continue;
        }

        s.remaining = 0;
        s.rearmed = false;
        lock.unlock();
        s.timeout.emit();
        lock.lock();
        if (s.callback != nullptr && !s.destroyed) {
            lock.unlock();
            s.callback(s.data);
            lock.lock();
        }

        if (!s.running || s.owner != generation)
            return;
        if (s.rearmed)
            continue; // start() during the expiry set the next period
        if (s.type == SingleShot) {
            s.running = false;
            return;
        }
        s.remaining = s.interval;
        s.startTime = std::chrono::steady_clock::now();
    }
}
