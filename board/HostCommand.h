#pragma once
// The daemon's way of running a host command ("shutdown now"): like
// std::system, but the child starts with an empty signal mask and the
// default dispositions of SIGTERM and SIGINT, which the daemon itself keeps
// blocked for its stop thread.

#include <string>

namespace tavo::Board {

// Runs command with /bin/sh -c and waits for it. Returns the wait status as
// std::system does, or -1 when the child cannot be started. Any thread.
int runHostCommand(const std::string& command);

} // namespace tavo::Board
