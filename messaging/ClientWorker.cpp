// The client's own threads: every delayed or deferred piece of work runs on
// the worker or the connector, so the library's callback threads never
// sleep, never wait for the library and never restart the client
// themselves. Only the worker's job queue is bounded; the work that must
// happen is held in flags and coalesced sets.
#include "messaging/Client.h"

#include <algorithm>

namespace MQTT {

bool Client::schedule(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        if (workerStopping)
            return false;
        if (jobs.size() < kMaxWorkerJobs) {
            jobs.push_back(std::move(job));
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
        if (!treeTopicChanges.empty()) {
            lock.unlock();
            applyTreeTopicChanges();
            lock.lock();
            continue;
        }
        if (!refreshesPlanned.empty()) {
            const std::string path = *refreshesPlanned.begin();
            refreshesPlanned.erase(refreshesPlanned.begin());
            lock.unlock();
            updateLambdaTreeSubscriptions(path, true);
            lock.lock();
            continue;
        }
        if (jobs.empty()) {
            workerWake.wait(lock);
            continue;
        }
        std::function<void()> job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        try {
            job();
        } catch (const std::exception& e) {
            log(Log::Error, "Deferred work failed: %s", e.what());
        }
        lock.lock();
    }
}

void Client::connectorLoop()
{
    std::unique_lock<std::mutex> lock(workerMutex);
    while (!workerStopping) {
        const auto now = std::chrono::steady_clock::now();
        if (restartPlanned) {
            restartPlanned = false;
            lock.unlock();
            // A handler planned it: its reply must leave on the connection,
            // and under the root, that its request came in on.
            if (const int others = awaitHandlers(now + std::chrono::milliseconds(kHandlerWaitMs)); others > 0)
                log(Log::Warning, "Restarting while %d received message(s) are still handled; their replies may "
                    "miss the old root.", others);
            restart();
        } else if (strayDisconnectPlanned) {
            strayDisconnectPlanned = false;
            lock.unlock();
            std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
            if (!running.load() && connection->isConnected())
                connection->disconnect(0);
        } else if (reconnectAt && *reconnectAt <= now) {
            reconnectAt.reset();
            lock.unlock();
            reconnect();
        } else if (retryAt && *retryAt <= now) {
            retryAt.reset();
            const std::map<std::string, bool> due = std::exchange(retries, {});
            lock.unlock();
            for (const auto& [topic, subscribe] : due)
                subscribe ? connection->subscribe(topic, 0) : connection->unsubscribe(topic);
        } else {
            const std::optional<TimePoint> next = !reconnectAt ? retryAt
                                                  : !retryAt   ? reconnectAt
                                                               : std::min(*reconnectAt, *retryAt);
            if (next)
                connectorWake.wait_until(lock, *next);
            else
                connectorWake.wait(lock);
            continue;
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
        refreshesPlanned.clear();
    }
    workerWake.notify_all();
    connectorWake.notify_all();
    if (worker.joinable())
        worker.join();
    if (connector.joinable())
        connector.join();
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
    std::lock_guard<std::mutex> lock(workerMutex);
    if (reconnectAt || attemptInFlight)
        return;
    reconnectAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryDelayMs);
    connectorWake.notify_one();
}

void Client::reconnect()
{
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    if (running.load() && !connection->isConnected())
        beginConnect();
}

void Client::planRestart()
{
    std::lock_guard<std::mutex> lock(workerMutex);
    restartPlanned = true;
    connectorWake.notify_one();
}

void Client::planRetry(const std::string& topic, bool subscribe)
{
    std::lock_guard<std::mutex> lock(workerMutex);
    retries[topic] = subscribe;
    if (!retryAt)
        retryAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryDelayMs);
    connectorWake.notify_one();
}

void Client::updateLambdaTreeSubscriptionsLater(const std::string& path)
{
    std::lock_guard<std::mutex> lock(workerMutex);
    refreshesPlanned.insert(path);
    workerWake.notify_one();
}

} // namespace MQTT
