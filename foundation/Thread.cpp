#include "foundation/Thread.h"

#include <cerrno>
#include <sched.h>

#include <chrono>
#include <thread>

Thread::Thread(EntryFunction entry, void* argument)
    : entry(entry), argument(argument), stopRequest("", 0, 1)
{
}

Thread::~Thread()
{
    if (joinable && pthread_detach(handle) == 0)
        joinable = false;
}

bool Thread::run(void* arg)
{
    if (running())
        return false;
    // The previous body has returned; reap its thread so it does not leak.
    if (joinable && !join())
        return false;
    if (argument == nullptr)
        argument = arg;
    // Set before the thread exists, so that a stop right after run() sees it.
    runningState.store(1);
    const int result = pthread_create(&handle, nullptr, &Thread::threadFunction, this);
    if (result != 0) {
        runningState.store(0);
        errno = result;
        return false;
    }
    joinable = true;
    return true;
}

void* Thread::threadFunction(void* self)
{
    auto* thread = static_cast<Thread*>(self);
    if (thread->entry != nullptr)
        thread->entry(thread->argument);
    else
        thread->task(thread->argument);
    thread->runningState.store(0);
    return nullptr;
}

bool Thread::join()
{
    // The self test comes first: the body must not read the owner's flag.
    if (pthread_equal(handle, pthread_self()) || !joinable)
        return false;
    joinable = false;
    if (pthread_join(handle, nullptr) != 0) {
        joinable = true;
        return false;
    }
    return true;
}

bool Thread::detach()
{
    if (!joinable || pthread_detach(handle) != 0)
        return false;
    joinable = false;
    return true;
}

bool Thread::yield()
{
    return sched_yield() == 0;
}

void Thread::sleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool Thread::terminate()
{
    return stopRequest.Post(1);
}

bool Thread::terminated(int ms)
{
    return ms == 0 ? stopRequest.Try() : stopRequest.Wait(ms);
}

void Thread::task(void*)
{
}
