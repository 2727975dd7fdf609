// The client's worker thread: every delayed or deferred piece of work runs
// here, so the library's callback threads never sleep, never wait for the
// library and never restart the client themselves.
#include "messaging/Client.h"

namespace MQTT {

bool Client::schedule(int delayMs, std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        if (workerStopping)
            return false;
        if (jobs.size() < kMaxWorkerJobs) {
            jobs.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), std::move(job));
            workerWake.notify_one();
            return true;
        }
    }
    log(Log::Warning, "Too many pending jobs (%zu); dropping one.", kMaxWorkerJobs);
    return false;
}

void Client::workerLoop()
{
    std::unique_lock<std::mutex> lock(workerMutex);
    while (!workerStopping) {
        if (jobs.empty()) {
            workerWake.wait(lock);
            continue;
        }
        const auto due = jobs.begin()->first;
        if (due > std::chrono::steady_clock::now()) {
            workerWake.wait_until(lock, due);
            continue;
        }
        std::function<void()> job = std::move(jobs.begin()->second);
        jobs.erase(jobs.begin());
        lock.unlock();
        try {
            job();
        } catch (const std::exception& e) {
            log(Log::Error, "Deferred work failed: %s", e.what());
        }
        lock.lock();
    }
}

void Client::stopWorker()
{
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        workerStopping = true;
        jobs.clear();
    }
    workerWake.notify_all();
    if (worker.joinable())
        worker.join();
}

void Client::beginConnect()
{
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        // The library would report one outcome for two attempts.
        if (attemptInFlight)
            return;
        attemptInFlight = true;
    }
    if (connection->connect())
        return;
    log(Log::Error, "Connection attempt refused; retrying in %d ms.", kRetryDelayMs);
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        attemptInFlight = false;
    }
    scheduleReconnect();
}

void Client::scheduleReconnect()
{
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        if (reconnectPlanned || attemptInFlight)
            return;
        reconnectPlanned = true;
    }
    if (!schedule(kRetryDelayMs, [this] { reconnect(); })) {
        std::lock_guard<std::mutex> lock(workerMutex);
        reconnectPlanned = false;
    }
}

void Client::reconnect()
{
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        reconnectPlanned = false;
    }
    if (running.load() && !connection->isConnected())
        beginConnect();
}

} // namespace MQTT
