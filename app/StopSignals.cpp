#include "app/StopSignals.h"

#include <csignal>
#include <thread>

namespace {

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

void blockStopSignals()
{
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void startStopThread(std::function<void(int signal)> stop)
{
    std::thread([stop = std::move(stop)] {
        const sigset_t set = stopSignals();
        int signal = 0;
        // sigwait fails only for an invalid set.
        if (sigwait(&set, &signal) == 0)
            stop(signal);
    }).detach();
}
