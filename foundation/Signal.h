#pragma once

#include "foundation/Mutex.h"
#include "foundation/Semaphore.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// A thread-safe list of callbacks ("slots"), each under an integer
// connection id handed out from 1 upwards; emit() calls them in id order.
//
// Threading: any thread may connect, disconnect and emit. `mutex` guards
// `slots`, `lastId` and `doomed`, and is held while the slots run on the
// emitting thread, so a slot must neither connect to nor emit the same
// signal (the mutex is not recursive). A slot may disconnect any slot of the
// same signal, itself included: the removal is deferred to the end of the
// emission, and a removed slot is not called again.
template <typename... Args>
class Signal
{
public:
    using Slot = std::function<void(Args...)>;

    Signal() : emitted("", 0, 1) {}

    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    // Adds the slot; returns its connection id.
    int connect(const Slot& slot)
    {
        std::lock_guard<Mutex> guard(mutex);
        slots.emplace(++lastId, slot);
        return lastId;
    }

    // Adds a slot that calls `(object->*method)(args...)`; returns its id.
    template <typename T>
    int connect_member(T* object, void (T::*method)(Args...))
    {
        return connect([object, method](Args... args) { (object->*method)(args...); });
    }

    // Removes the slot with this id; true when there was one.
    bool disconnect(int id)
    {
        if (emitter.load() == std::this_thread::get_id()) {
            // Called from one of our own slots: this thread holds the mutex.
            if (slots.count(id) == 0 || isDoomed(id))
                return false;
            doomed.push_back(id);
            return true;
        }
        std::lock_guard<Mutex> guard(mutex);
        return slots.erase(id) > 0;
    }

    // Calls every slot in id order on this thread, then posts `emitted`.
    void emit(const Args&... args)
    {
        {
            std::lock_guard<Mutex> guard(mutex);
            Emission emission(*this);
            for (auto& entry : slots) {
                if (!isDoomed(entry.first))
                    entry.second(args...);
            }
        }
        emitted.Post(1);
    }

private:
    // Marks the emitting thread and applies deferred removals at the end,
    // even when a slot throws.
    struct Emission
    {
        explicit Emission(Signal& signal) : signal(signal)
        {
            signal.emitter.store(std::this_thread::get_id());
        }
        ~Emission()
        {
            for (int id : signal.doomed)
                signal.slots.erase(id);
            signal.doomed.clear();
            signal.emitter.store(std::thread::id());
        }
        Signal& signal;
    };

    bool isDoomed(int id) const
    {
        return std::find(doomed.begin(), doomed.end(), id) != doomed.end();
    }

    std::map<int, Slot> slots;
    int lastId = 0;
    // Posted once after every emission.
    Semaphore emitted;
    Mutex mutex;
    // Ids disconnected by a slot during the emission in progress.
    std::vector<int> doomed;
    // The thread running an emission; a default id when none is.
    std::atomic<std::thread::id> emitter{};
};
