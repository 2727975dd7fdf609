#include "foundation/Timer.h"

#include "WallClockShift.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

double msSince(Steady::time_point start)
{
    return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// Polls until the condition holds or the limit passes; returns the condition.
template <typename Condition>
bool waitFor(Condition condition, int limitMs = 5000)
{
    const auto start = Steady::now();
    while (!condition()) {
        if (msSince(start) > limitMs)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// Counts the process's threads. The first thread created may also start a
// helper thread of a sanitizer runtime, so one is made and joined before the
// first count.
int threadCount()
{
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Records what a timer does, in order, from whichever thread it runs on.
struct Recorder
{
    std::mutex mutex;
    std::vector<std::string> events;
    std::atomic<int> timeouts{0};
    std::atomic<int> callbacks{0};
    std::atomic<int> stops{0};

    void add(const std::string& event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
    }
    std::vector<std::string> list()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    void attach(Timer& timer)
    {
        timer.timeout.connect([this] {
            add("timeout");
            ++timeouts;
        });
        timer.stopped.connect([this] {
            add("stopped");
            ++stops;
        });
    }
    static void callback(void* self)
    {
        auto* recorder = static_cast<Recorder*>(self);
        recorder->add("callback");
        ++recorder->callbacks;
    }
};

TEST(Timer, SingleShotFiresTimeoutCallbackThenStopped)
{
    Recorder recorder;
    Timer timer(Timer::SingleShot, &Recorder::callback, &recorder);
    recorder.attach(timer);
    EXPECT_FALSE(timer.running());
    const auto start = Steady::now();
    timer.start(50);
    EXPECT_TRUE(timer.running());
    EXPECT_EQ(timer.interval(), 50);
    EXPECT_EQ(timer.type(), Timer::SingleShot);
    ASSERT_TRUE(waitFor([&] { return recorder.stops.load() == 1; }));
    EXPECT_GE(msSince(start), 45.0);
    EXPECT_FALSE(timer.running());
    EXPECT_EQ(recorder.list(), (std::vector<std::string>{"timeout", "callback", "stopped"}));
}

TEST(Timer, PeriodicKeepsFiringUntilStopped)
{
    std::mutex mutex;
    std::vector<double> fired; // ms since start
    std::atomic<int> stops{0};
    const auto start = Steady::now();
    auto firedCopy = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return fired;
    };
    Timer timer(
        Timer::Periodic,
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            fired.push_back(msSince(start));
        },
        [&] { ++stops; });
    timer.start(40);
    ASSERT_TRUE(waitFor([&] { return firedCopy().size() >= 4; }));
    timer.stop();
    ASSERT_TRUE(waitFor([&] { return stops.load() == 1; }));
    EXPECT_FALSE(timer.running());
    const std::vector<double> times = firedCopy();
    EXPECT_GE(times[0], 35.0);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], 35.0) << i;
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(firedCopy().size(), times.size()) << "no timeout after stop";
}

// A slot that overruns its period delays the next expiry to a full period
// after the slot ended; no burst of expiries catches up.
TEST(Timer, OverrunSlotSchedulesTheNextExpiryFromItsEnd)
{
    std::mutex mutex;
    std::vector<Steady::time_point> starts;
    std::vector<Steady::time_point> ends;
    Timer timer(
        Timer::Periodic,
        [&] {
            std::unique_lock<std::mutex> lock(mutex);
            starts.push_back(Steady::now());
            if (starts.size() == 1) {
                lock.unlock();
                std::this_thread::sleep_for(milliseconds(200));
                lock.lock();
            }
            ends.push_back(Steady::now());
        },
        [] {});
    timer.start(20);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return starts.size() >= 3;
    }));
    timer.stop();
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 1; i < 3; ++i) {
        const double pause = std::chrono::duration<double, std::milli>(starts[i] - ends[i - 1]).count();
        EXPECT_GE(pause, 18.0) << i;
    }
}

// Setting the clock back while a periodic timer runs does not hold back
// its next expiries.
TEST(Timer, PeriodsIgnoreAClockSetBack)
{
    std::atomic<int> expiries{0};
    Timer timer(Timer::Periodic, [&] { ++expiries; }, [] {});
    timer.start(50);
    ASSERT_TRUE(waitFor([&] { return expiries.load() >= 1; }));
    WallClockShift setBack(std::chrono::hours(-1));
    const int before = expiries.load();
    EXPECT_TRUE(waitFor([&] { return expiries.load() >= before + 3; }, 1500));
    timer.stop();
}

TEST(Timer, StartOnRunningTimerRestartsThePeriod)
{
    Recorder recorder;
    Timer timer(Timer::SingleShot);
    recorder.attach(timer);
    timer.start(5000);
    std::this_thread::sleep_for(milliseconds(50));
    const auto rearmed = Steady::now();
    timer.start(200);
    EXPECT_EQ(timer.interval(), 200);
    ASSERT_TRUE(waitFor([&] { return recorder.timeouts.load() == 1; }));
    const double took = msSince(rearmed);
    EXPECT_GE(took, 190.0);
    EXPECT_LT(took, 3000.0);
    ASSERT_TRUE(waitFor([&] { return recorder.stops.load() == 1; }));
}

TEST(Timer, ZeroIntervalExpiresAtOnce)
{
    Recorder single;
    Timer once(Timer::SingleShot);
    single.attach(once);
    const auto start = Steady::now();
    once.start(0);
    ASSERT_TRUE(waitFor([&] { return single.stops.load() == 1; }));
    EXPECT_LT(msSince(start), 2000.0);

    Recorder repeated;
    Timer periodic(Timer::Periodic);
    repeated.attach(periodic);
    periodic.start(0);
    ASSERT_TRUE(waitFor([&] { return repeated.timeouts.load() >= 20; }));
    periodic.stop();
    ASSERT_TRUE(waitFor([&] { return repeated.stops.load() == 1; }));
}

TEST(Timer, StopWhenStoppedAndNotifyDoNotTouchTheSchedule)
{
    Recorder recorder;
    Timer timer(Timer::Periodic, &Recorder::callback, &recorder);
    recorder.attach(timer);
    timer.stop();
    timer.notify();
    EXPECT_FALSE(timer.running());
    EXPECT_EQ(recorder.list(), (std::vector<std::string>{"timeout", "callback"}));
}

// A single shot re-armed from its own callback fires again.
TEST(Timer, SingleShotRearmedFromOwnCallbackFiresAgain)
{
    struct Context
    {
        Timer* timer = nullptr;
        std::atomic<int> calls{0};
    } context;
    std::atomic<int> stops{0};
    Timer timer(
        Timer::SingleShot,
        [](void* data) {
            auto* context = static_cast<Context*>(data);
            if (++context->calls < 3)
                context->timer->start(10);
        },
        &context);
    timer.stopped.connect([&] { ++stops; });
    context.timer = &timer;
    timer.start(10);
    ASSERT_TRUE(waitFor([&] { return stops.load() == 1; }));
    EXPECT_EQ(context.calls.load(), 3);
    EXPECT_FALSE(timer.running());
}

// start() from another thread while the single shot's slots run is kept.
TEST(Timer, SingleShotRearmedWhileFiringFiresAgain)
{
    std::atomic<bool> inSlot{false};
    std::atomic<bool> release{false};
    std::atomic<int> timeouts{0};
    std::atomic<int> stops{0};
    Timer timer(
        Timer::SingleShot,
        [&] {
            if (++timeouts == 1) {
                inSlot = true;
                while (!release)
                    std::this_thread::sleep_for(milliseconds(1));
            }
        },
        [&] { ++stops; });
    timer.start(0);
    ASSERT_TRUE(waitFor([&] { return inSlot.load(); }));
    timer.start(20);
    release = true;
    ASSERT_TRUE(waitFor([&] { return stops.load() == 1; }));
    EXPECT_EQ(timeouts.load(), 2);
}

TEST(Timer, StopAndStartFromOwnSlot)
{
    Timer* self = nullptr;
    std::atomic<int> timeouts{0};
    std::atomic<int> stops{0};
    Timer timer(
        Timer::Periodic,
        [&] {
            if (++timeouts == 1) {
                self->stop();
                self->start(10);
            } else {
                self->stop();
            }
        },
        [&] { ++stops; });
    self = &timer;
    timer.start(10);
    ASSERT_TRUE(waitFor([&] { return stops.load() == 2; }));
    EXPECT_EQ(timeouts.load(), 2);
    EXPECT_FALSE(timer.running());
}

// Stop/start storms from two threads: never two expiries at once, every
// thread ends, and nothing fires after the last stop.
TEST(Timer, StopStartStormLeavesOneThread)
{
    const int baseline = threadCount();
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    std::atomic<int> timeouts{0};
    std::atomic<int> stops{0};
    Timer timer(
        Timer::Periodic,
        [&] {
            const int now = ++active;
            int seen = maxActive.load();
            while (now > seen && !maxActive.compare_exchange_weak(seen, now)) {
            }
            ++timeouts;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            --active;
        },
        [&] { ++stops; });
    auto storm = [&](int offset) {
        for (int i = 0; i < 300; ++i) {
            timer.stop();
            timer.start((i + offset) % 3);
            if (i % 50 == 0)
                std::this_thread::sleep_for(milliseconds(2));
        }
    };
    std::thread other(storm, 1);
    storm(0);
    other.join();
    ASSERT_TRUE(waitFor([&] { return timeouts.load() > 0; }));
    timer.stop();
    ASSERT_TRUE(waitFor([&] { return threadCount() <= baseline; }));
    const int settled = timeouts.load();
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(timeouts.load(), settled);
    EXPECT_EQ(maxActive.load(), 1);
    EXPECT_GT(stops.load(), 0);
}

// Each start of a stopped timer makes one thread, and each thread ends with
// one `stopped`, even when it was stopped before it began.
TEST(Timer, EveryThreadEndsWithOneStopped)
{
    Recorder recorder;
    Timer timer(Timer::Periodic);
    recorder.attach(timer);
    for (int i = 0; i < 50; ++i) {
        timer.stop();
        timer.start(10000);
    }
    EXPECT_TRUE(timer.running());
    timer.stop();
    ASSERT_TRUE(waitFor([&] { return recorder.stops.load() == 50; }));
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(recorder.stops.load(), 50);
    EXPECT_EQ(recorder.timeouts.load(), 0);
}

// The destructor waits for a slot that is running, so the slot's owner can
// go next; a timer thread must then touch nothing of the destroyed Timer.
TEST(Timer, DestroyWhileFiringWaitsForTheSlot)
{
    for (int round = 0; round < 20; ++round) {
        auto owner = std::make_unique<int>(0);
        std::atomic<bool> inSlot{false};
        std::atomic<int> stops{0};
        auto timer = std::make_unique<Timer>(
            Timer::Periodic,
            [&] {
                inSlot = true;
                std::this_thread::sleep_for(milliseconds(round % 4));
                ++*owner;
            },
            [&] { ++stops; });
        timer->start(round % 3);
        ASSERT_TRUE(waitFor([&] { return inSlot.load(); }));
        timer.reset();
        const int calls = *owner;
        owner.reset();
        EXPECT_GT(calls, 0);
        EXPECT_EQ(stops.load(), 0) << "no stopped after destruction";
    }
}

TEST(Timer, DestroyWhileWaitingReturnsPromptly)
{
    const auto start = Steady::now();
    {
        Timer timer(Timer::Periodic);
        timer.start(60000);
        Timer never(Timer::SingleShot);
        Timer forever(Timer::SingleShot);
        forever.start(-1);
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_LT(msSince(start), 5000.0);
}

// Destroying a timer from its own callback or slot must not deadlock, and
// nothing of it runs afterwards.
TEST(Timer, DestroyFromOwnCallbackAndSlot)
{
    const int baseline = threadCount();
    struct Context
    {
        Timer* timer = nullptr;
        std::atomic<int> calls{0};
    };
    Context fromCallback;
    fromCallback.timer = new Timer(
        Timer::Periodic,
        [](void* data) {
            auto* context = static_cast<Context*>(data);
            delete context->timer;
            ++context->calls; // last touch of the test's memory
        },
        &fromCallback);
    fromCallback.timer->start(5);

    Context fromSlot;
    fromSlot.timer = new Timer(Timer::SingleShot, [](void* data) { ++static_cast<Context*>(data)->calls; }, &fromSlot);
    std::atomic<int> slotStops{0};
    std::atomic<bool> slotDone{false};
    fromSlot.timer->timeout.connect([&] {
        delete fromSlot.timer;
        slotDone = true;
    });
    fromSlot.timer->stopped.connect([&] { ++slotStops; });
    fromSlot.timer->start(5);

    ASSERT_TRUE(waitFor([&] { return fromCallback.calls.load() == 1 && slotDone && threadCount() <= baseline; }));
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(fromCallback.calls.load(), 1);
    EXPECT_EQ(fromSlot.calls.load(), 0) << "callback skipped after its timer was destroyed";
    EXPECT_EQ(slotStops.load(), 0);
}

} // namespace
