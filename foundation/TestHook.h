#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <utility>

// A seam for tests at one point of a thread's path: nothing until a test
// arms it; then the first call to pass runs the armed action on its own
// thread, with every lock that thread holds there, and later calls pass
// again. Any thread may arm it or call it; an unarmed call costs one atomic
// load.
class TestHook
{
public:
    void arm(std::function<void()> action)
    {
        std::lock_guard<std::mutex> lock(mutex);
        armed = std::move(action);
        isArmed = true;
    }

    void operator()()
    {
        if (!isArmed.load())
            return;
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> lock(mutex);
            action = std::exchange(armed, nullptr);
            isArmed = false;
        }
        if (action)
            action();
    }

private:
    std::atomic<bool> isArmed{false};
    std::mutex mutex;
    std::function<void()> armed;
};
