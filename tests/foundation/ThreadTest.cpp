#include "foundation/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

// A worker that follows the stop protocol: it polls until asked to stop.
struct Worker
{
    Thread thread{&Worker::body, this};
    std::atomic<int> passes{0};
    std::atomic<int> joinFromInside{-1};

    static void body(void* self)
    {
        auto* worker = static_cast<Worker*>(self);
        worker->joinFromInside = worker->thread.join() ? 1 : 0;
        while (!worker->thread.terminated(0)) {
            ++worker->passes;
            Thread::sleep(1);
        }
    }
};

TEST(Thread, StopProtocolEndsTheBody)
{
    Worker worker;
    ASSERT_TRUE(worker.thread.run());
    while (worker.passes.load() < 3)
        Thread::sleep(1);
    EXPECT_TRUE(worker.thread.running());
    EXPECT_FALSE(worker.thread.run()) << "run while the body executes";
    EXPECT_TRUE(worker.thread.terminate());
    EXPECT_TRUE(worker.thread.join());
    EXPECT_FALSE(worker.thread.running());
    EXPECT_EQ(worker.joinFromInside.load(), 0);
    EXPECT_FALSE(worker.thread.join()) << "second join";
}

// The owner may stop the thread right after run(), before the new thread
// has been scheduled; the stop must not be skipped.
TEST(Thread, CountsAsRunningFromRun)
{
    for (int i = 0; i < 50; ++i) {
        Worker worker;
        ASSERT_TRUE(worker.thread.run());
        ASSERT_TRUE(worker.thread.running());
        worker.thread.terminate();
        ASSERT_TRUE(worker.thread.join());
        ASSERT_FALSE(worker.thread.running());
    }
}

TEST(Thread, JoinWithoutRunFails)
{
    Worker worker;
    EXPECT_FALSE(worker.thread.join());
    EXPECT_FALSE(worker.thread.detach());
    EXPECT_FALSE(worker.thread.running());
}

TEST(Thread, StopRequestsAddUp)
{
    Thread thread(nullptr, nullptr);
    EXPECT_FALSE(thread.terminated(0));
    thread.terminate();
    thread.terminate();
    EXPECT_TRUE(thread.terminated(0));
    EXPECT_TRUE(thread.terminated(0));
    EXPECT_FALSE(thread.terminated(0));
}

TEST(Thread, TerminatedWaitsForARequest)
{
    Thread thread(nullptr, nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(thread.terminated(40));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(35));
}

// A derived class's task runs when there is no entry function, with the
// argument given to run(); a finished thread can be run again.
TEST(Thread, TaskRunsWithoutEntryAndRunRepeats)
{
    struct Counter : Thread
    {
        Counter() : Thread(nullptr, nullptr) {}
        std::atomic<int> calls{0};
        std::atomic<void*> seen{nullptr};
        void task(void* arg) override
        {
            seen = arg;
            ++calls;
        }
    };
    Counter counter;
    int marker = 0;
    ASSERT_TRUE(counter.run(&marker));
    while (counter.running())
        Thread::sleep(1);
    ASSERT_TRUE(counter.run(nullptr));
    while (counter.running())
        Thread::sleep(1);
    EXPECT_TRUE(counter.join());
    EXPECT_EQ(counter.calls.load(), 2);
    EXPECT_EQ(counter.seen.load(), &marker);
}

TEST(Thread, SleepBlocksForTheInterval)
{
    const auto start = std::chrono::steady_clock::now();
    Thread::sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_TRUE(Thread::yield());
}

} // namespace
