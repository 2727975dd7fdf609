#pragma once
// The daemon's stop signals, SIGTERM and SIGINT, are taken by one ordinary
// thread with sigwait instead of by a signal handler, so the stop sequence
// may log, lock and join like any other code.
//
// Threading: blockStopSignals runs first in main, before any other thread
// exists, so that every thread started later inherits the blocked mask and
// no signal lands on a thread that does not expect it. startStopThread may
// then be called once, from any thread.

#include <functional>

// Blocks SIGTERM and SIGINT in the calling thread.
void blockStopSignals();

// Starts a detached thread that waits for the first SIGTERM or SIGINT and
// calls stop with its number. stop runs once: signals that come later stay
// blocked and pending, and change nothing. stop is expected to end the
// process.
void startStopThread(std::function<void(int signal)> stop);
