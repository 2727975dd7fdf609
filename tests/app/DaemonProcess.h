#pragma once
// A copy of the real lumacore executable in a temporary directory, run as a
// child process. Its PATH starts with a directory that holds only the
// recording `shutdown` stub, which writes to shutdownLog(); its standard
// output and error go to files in the same directory. The copy keeps the
// build's own directory (searched by the automatic firmware update) out of
// the test. Its TSAN_OPTIONS add the test programs' Paho suppressions,
// written to a file there. A child still running when the object dies is
// killed. Its standard error may instead go through a pipe that the object
// reads slowly, as the console of a board without a system logger takes it.

#include <atomic>
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "support/TempDir.h"

class DaemonProcess {
public:
    DaemonProcess();
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    // The directory of the copy; it holds nothing else but the test's files.
    const TempDir& dir() const { return mDir; }
    // The running child's process id; -1 when none runs.
    pid_t pid() const { return mPid; }

    // Starts the copy with these arguments, after killing a child of an
    // earlier start that still runs; throws std::runtime_error when it
    // cannot be started.
    void start(const std::vector<std::string>& args);
    // From the next start on, the child's standard error reaches the file
    // through a pipe read at about bytesPerSecond; 0 (the default) writes
    // it to the file directly.
    void setErrRate(size_t bytesPerSecond) { mErrRate = bytesPerSecond; }
    // Sends a signal to the running child.
    void signal(int number) const;
    // Waits up to timeoutMs for the child to end; returns its wait status,
    // or -1 on timeout (the child is then killed).
    int wait(int timeoutMs);
    // start, then wait; the wait status or -1.
    int run(const std::vector<std::string>& args, int timeoutMs);

    std::string out() const;
    std::string err() const;
    // Waits up to timeoutMs until the standard error holds text; false at
    // once when the child has ended without writing it.
    bool waitForErr(const std::string& text, int timeoutMs) const;
    // What the shutdown stub recorded, one call a line.
    std::string shutdownLog() const;

private:
    // wait's work, before the standard error's relay is ended.
    int reap(int timeoutMs);
    // Copies the pipe's octets to the standard error file at mErrRate
    // until its end, at once after the child ended.
    void relayErr(int pipe);

    TempDir mDir;
    std::string mExecutable;
    pid_t mPid = -1;
    size_t mErrRate = 0;
    std::thread mErrRelay;
    std::atomic<bool> mChildEnded{false};
};

// Number of times text occurs in haystack.
size_t occurrences(const std::string& haystack, const std::string& text);
