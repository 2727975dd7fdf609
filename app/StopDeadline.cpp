#include "app/StopDeadline.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "app/Config.h"
#include "foundation/FileIo.h"
#include "foundation/String.h"

namespace {

std::atomic<const char*> currentStep{"beginning the stop"};

// Writes text to standard error on a thread of its own and waits for it at
// most kStopWarningWaitMs.
void warn(std::string text)
{
    struct Written {
        std::mutex mutex;
        std::condition_variable done;
        bool written = false;
    };
    auto state = std::make_shared<Written>();
    try {
        std::thread([state, text = std::move(text)] {
            FileIo::writeAll(STDERR_FILENO, text.data(), text.size());
            std::lock_guard<std::mutex> lock(state->mutex);
            state->written = true;
            state->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    state->done.wait_for(lock, std::chrono::milliseconds(kStopWarningWaitMs), [&state] { return state->written; });
}

} // namespace

void setStopStep(const char* step)
{
    currentStep = step;
}

bool armStopDeadline(std::chrono::milliseconds bound)
{
    const auto warning = std::chrono::steady_clock::now() + bound
                         - std::chrono::milliseconds(kStopWarningWaitMs + kStopExitMs);
    try {
        std::thread([warning, bound] {
            std::this_thread::sleep_until(warning);
            std::lock_guard<std::mutex> file(tavo::Config::Config::fileLock());
            warn(String::format("Stop took longer than %g s while %s; ending now\n", bound.count() / 1000.0,
                                currentStep.load()));
            _exit(0);
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}
