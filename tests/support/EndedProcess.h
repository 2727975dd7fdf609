#pragma once
// Stale-file tests need the id of a process that no longer runs.

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// The id of a child that has ended and been reaped; -1 when fork failed.
inline pid_t endedProcessId()
{
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
    }
    return pid;
}
