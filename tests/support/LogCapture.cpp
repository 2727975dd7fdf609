#include "tests/support/LogCapture.h"

#include "foundation/Log.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

// Shared with the sink, so a line finished during removal never reaches a
// destroyed capture.
struct LogCapture::State {
    mutable std::mutex mutex; // guards lines
    mutable std::condition_variable added;
    std::vector<Line> lines;

    bool containsLocked(const std::string& text) const
    {
        return std::any_of(lines.begin(), lines.end(), [&text](const Line& l) { return l.text == text; });
    }
};

LogCapture::LogCapture() : mState(std::make_shared<State>())
{
    std::shared_ptr<State> state = mState;
    Log::setSink([state](int priority, const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->lines.push_back(Line{priority, line, stripStamp(line)});
        }
        state->added.notify_all();
    });
}

LogCapture::~LogCapture()
{
    Log::setSink(Log::Sink());
}

std::vector<LogCapture::Line> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->lines;
}

std::vector<std::string> LogCapture::texts() const
{
    std::vector<std::string> out;
    for (const Line& line : lines()) {
        out.push_back(line.text);
    }
    return out;
}

bool LogCapture::contains(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(mState->mutex);
    return mState->containsLocked(text);
}

bool LogCapture::contains(int priority, const std::string& text) const
{
    std::lock_guard<std::mutex> lock(mState->mutex);
    return std::any_of(mState->lines.begin(), mState->lines.end(),
                       [&](const Line& l) { return l.priority == priority && l.text == text; });
}

bool LogCapture::waitFor(const std::string& text, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mState->mutex);
    return mState->added.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this, &text] { return mState->containsLocked(text); });
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(mState->mutex);
    mState->lines.clear();
}

std::string LogCapture::stripStamp(const std::string& line)
{
    if (line.empty() || line[0] != '[') {
        return line;
    }
    const size_t close = line.find("] ");
    return close == std::string::npos ? line : line.substr(close + 2);
}
