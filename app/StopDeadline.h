#pragma once
// The time bound of the whole process stop. A board that hangs, a broker
// that does not answer or a log sink that takes its lines slowly must not
// hold a stop: the process has ended with status 0 when the bound passes,
// unless a configuration file was half-written then (it ends once the write
// is done).
//
// Threading: the deadline runs on a detached thread of its own. Its path
// takes the configuration file's lock (Config::fileLock) and nothing else:
// no board request, no broker, no log. Its warning goes to standard error
// from one more thread, waited for at most kStopWarningWaitMs, since an
// unread pipe blocks a write; the standard streams are not flushed, for the
// same reason. That wait and the process's own exit are counted inside the
// bound. setStopStep may be called from any thread.

#include <chrono>

// The bound the daemon arms at its stop signal.
constexpr std::chrono::milliseconds kStopBound{4000};
constexpr int kStopWarningWaitMs = 100;
// What the bound keeps for the process's exit (its threads and memory let
// go) after the deadline ends it.
constexpr int kStopExitMs = 200;

// Names the step of the stop now under way for the deadline's warning;
// step must outlive the process (a literal).
void setStopStep(const char* step);

// Starts the deadline: kStopWarningWaitMs and kStopExitMs before bound from
// now, it waits for a configuration file write under way, writes "Stop took
// longer than <bound> s while <step>; ending now" to standard error and ends
// the process with _exit(0). False when its thread could not be started: the
// stop then has no bound.
bool armStopDeadline(std::chrono::milliseconds bound);
