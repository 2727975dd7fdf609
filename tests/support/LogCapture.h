#pragma once
// Captures every log line while it lives (through Log::setSink), so tests
// can assert exact log texts without a syslog daemon. Lines from any thread
// are recorded; only one LogCapture may exist at a time.
//
//   LogCapture capture;
//   ...code under test...
//   EXPECT_TRUE(capture.contains("[Manager] Device opened"));

#include <memory>
#include <string>
#include <vector>

class LogCapture
{
public:
    struct Line {
        int priority;     // syslog priority (LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG)
        std::string line; // the full line, stamp included
        std::string text; // the line without its "[   seconds] " stamp
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const;
    // The texts without stamps, in order.
    std::vector<std::string> texts() const;
    // True when some line's text (stamp removed) equals text exactly.
    bool contains(const std::string& text) const;
    // The same, and logged at this syslog priority.
    bool contains(int priority, const std::string& text) const;
    // Waits up to timeoutMs for a line whose text equals text; for lines
    // logged by other threads.
    bool waitFor(const std::string& text, int timeoutMs) const;
    void clear();

    // The line without a leading "[...] " stamp.
    static std::string stripStamp(const std::string& line);

private:
    struct State;
    std::shared_ptr<State> mState;
};
