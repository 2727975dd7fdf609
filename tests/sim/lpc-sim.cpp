// lpc-sim: the simulated board as a program of its own, for running the
// daemon or any other host code against it by hand. It creates the
// pseudo-terminal, prints the device path as its first line on standard
// output, optionally links a chosen path to the device, and answers as the
// microcontroller would until SIGINT or SIGTERM.

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <exception>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/SimulatedBoard.h"

namespace {

// Makes link a symbolic link to device. A symbolic link already there (left
// by an earlier run) is replaced; anything else is left alone. False, with a
// message on standard error, when the link cannot be made.
bool makeLink(const std::string& device, const std::string& link)
{
    struct stat status{};
    if (lstat(link.c_str(), &status) == 0) {
        if (!S_ISLNK(status.st_mode)) {
            std::fprintf(stderr, "lpc-sim: %s exists and is not a symbolic link\n", link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(device.c_str(), link.c_str()) != 0) {
        std::perror(("lpc-sim: " + link).c_str());
        return false;
    }
    return true;
}

// Removes link if it still points to device (another run may have taken it).
void removeLink(const std::string& device, const std::string& link)
{
    char target[256] = {};
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0 && device == std::string(target, static_cast<size_t>(length)))
        unlink(link.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Simulated LPC176x board on a pseudo-terminal; runs until SIGINT or SIGTERM."};
    std::string link;
    bool paced = false;
    bool silent = false;
    int dropEvery = 0;
    app.add_option("--link", link, "Make this path a symbolic link to the device (removed on exit)");
    app.add_flag("--pace", paced, "Take the time a real line would, at the speed the host sets");
    app.add_flag("--silent", silent, "Answer no request");
    app.add_option("--drop-every", dropEvery, "Lose every Nth request (0: none)")->check(CLI::Range(0, std::numeric_limits<int>::max()));
    CLI11_PARSE(app, argc, argv);

    // Blocked before the board's thread starts, so that thread inherits the
    // mask and the signals wait for sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        SimulatedBoard board;
        board.setLinePaced(paced);
        board.setSilent(silent);
        board.dropEveryNthRequest(dropEvery);
        // Nobody reads the log here, and a long run would grow it without limit.
        board.setLogging(false);
        if (!link.empty() && !makeLink(board.devicePath(), link))
            return 1;
        std::printf("%s\n", board.devicePath().c_str());
        std::fflush(stdout);

        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (!link.empty())
            removeLink(board.devicePath(), link);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "lpc-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
