#pragma once
// A copy of the real lumacore executable in a temporary directory, run as a
// child process. Its PATH starts with a directory that holds only the
// recording `shutdown` stub, which writes to shutdownLog(); its standard
// output and error go to files in the same directory. The copy keeps the
// build's own directory (searched by the automatic firmware update) out of
// the test. Its TSAN_OPTIONS add the test programs' Paho suppressions,
// written to a file there. A child still running when the object dies is
// killed.

#include <string>
#include <sys/types.h>
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

    // Starts the copy with these arguments; throws std::runtime_error when
    // it cannot be started.
    void start(const std::vector<std::string>& args);
    // Sends a signal to the running child.
    void signal(int number) const;
    // Waits up to timeoutMs for the child to end; returns its wait status,
    // or -1 on timeout (the child is then killed).
    int wait(int timeoutMs);
    // start, then wait; the wait status or -1.
    int run(const std::vector<std::string>& args, int timeoutMs);

    std::string out() const;
    std::string err() const;
    // Waits up to timeoutMs until the standard error holds text.
    bool waitForErr(const std::string& text, int timeoutMs) const;
    // What the shutdown stub recorded, one call a line.
    std::string shutdownLog() const;

private:
    TempDir mDir;
    std::string mExecutable;
    pid_t mPid = -1;
};

// Number of times text occurs in haystack.
size_t occurrences(const std::string& haystack, const std::string& text);
