#include "foundation/Mutex.h"
#include "foundation/Semaphore.h"

#include "WallClockShift.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(Mutex, TrylockFailsWhileHeldElsewhere)
{
    Mutex mutex;
    ASSERT_TRUE(mutex.lock());
    bool taken = true;
    std::thread other([&] { taken = mutex.trylock(); });
    other.join();
    EXPECT_FALSE(taken);
    EXPECT_TRUE(mutex.unlock());
    EXPECT_TRUE(mutex.trylock());
    EXPECT_TRUE(mutex.unlock());
}

TEST(Semaphore, InitialCountIsCappedByMaximum)
{
    Semaphore semaphore("s", 5, 1);
    EXPECT_EQ(semaphore.GetMaxCount(), 1u);
    EXPECT_EQ(semaphore.GetName(), "s");
    EXPECT_TRUE(semaphore.Try());
    EXPECT_FALSE(semaphore.Try());
}

TEST(Semaphore, PostsMayExceedMaximum)
{
    Semaphore semaphore("", 0, 1);
    EXPECT_TRUE(semaphore.Post(3));
    EXPECT_TRUE(semaphore.Post(0)); // counts as one
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(semaphore.Wait(0)) << i;
    EXPECT_FALSE(semaphore.Wait(0));
}

TEST(Semaphore, ZeroWaitDoesNotBlock)
{
    Semaphore semaphore("", 0, 1);
    const auto start = Clock::now();
    EXPECT_FALSE(semaphore.Wait(0));
    EXPECT_LT(msSince(start), 50.0);
}

TEST(Semaphore, TimedWaitTimesOut)
{
    Semaphore semaphore("", 0, 1);
    const auto start = Clock::now();
    EXPECT_FALSE(semaphore.Wait(50));
    const double took = msSince(start);
    EXPECT_GE(took, 45.0);
    EXPECT_LT(took, 2000.0);
}

// Almost every start time carries the deadline's nanoseconds into the
// seconds here; a wrong carry fails the wait at once.
TEST(Semaphore, TimedWaitCarriesIntoSeconds)
{
    Semaphore semaphore("", 0, 1);
    const auto start = Clock::now();
    EXPECT_FALSE(semaphore.Wait(999));
    EXPECT_GE(msSince(start), 950.0);
}

// A clock set forward or back moves neither end of a timed wait.
TEST(Semaphore, TimedWaitIgnoresAClockThatIsSet)
{
    for (const std::chrono::hours shift : {std::chrono::hours(-1), std::chrono::hours(1)}) {
        Semaphore semaphore("", 0, 1);
        WallClockShift clockSet(shift);
        // Ends a wait that follows the clock, which then fails the test
        // instead of hanging it.
        std::atomic<bool> waited{false};
        const auto start = Clock::now();
        std::thread rescue([&] {
            while (!waited && msSince(start) < 2000.0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            semaphore.Post();
        });
        EXPECT_FALSE(semaphore.Wait(200)) << shift.count();
        const double took = msSince(start);
        waited = true;
        rescue.join();
        EXPECT_GE(took, 190.0) << shift.count();
    }
}

TEST(Semaphore, WaitsReturnOnPostFromAnotherThread)
{
    Semaphore forever("", 0, 1);
    Semaphore timed("", 0, 1);
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        forever.Post(1);
        timed.Post(1);
    });
    const auto start = Clock::now();
    EXPECT_TRUE(forever.Wait(-1));
    EXPECT_TRUE(timed.Wait(10000));
    EXPECT_LT(msSince(start), 5000.0);
    poster.join();
}

} // namespace
