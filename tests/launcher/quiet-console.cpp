// Runs a test program with the host's console out of its reach. The daemon
// logs with LOG_CONS, so on a host without a system logger every line it
// logs goes to /dev/console; on a virtual machine that is a serial port of
// a few tens of KB/s, shared by every daemon the suite runs, and a busy test
// would wait on it. In a mount namespace of its own the console is
// /dev/null for this program and every process it starts. Where that is not
// allowed (no CAP_SYS_ADMIN), the program runs as it is.
//
// Usage: quiet-console PROGRAM [ARGUMENT ...]; the program keeps this pid.

#include <cstdio>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARGUMENT ...]\n", argv[0]);
        return 2;
    }
    // Private propagation keeps the bind mount from reaching the host.
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        mount("/dev/null", "/dev/console", nullptr, MS_BIND, nullptr);
    execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
