#pragma once
// Queue: a bounded hand-over of messages from one producer thread to waiting
// consumers. The semaphore counts the queued items and its maximum count is
// the capacity; the mutex guards the deque and is held only while one item
// is appended or removed. Users push and pop directly.

#include <deque>

#include "foundation/Mutex.h"
#include "foundation/Semaphore.h"

template <typename T>
class Queue {
public:
    explicit Queue(int capacity) : semaphore("", 0, static_cast<unsigned>(capacity)) {}

    Semaphore semaphore;
    Mutex mutex;
    std::deque<T> items;
};
