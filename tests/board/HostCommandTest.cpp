#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "board/HostCommand.h"
#include "support/TempDir.h"

using tavo::Board::runHostCommand;

// The daemon keeps SIGTERM and SIGINT blocked; a host command must not
// inherit that, or "shutdown now" could not be stopped or stop itself.
TEST(HostCommand, ChildStartsWithNothingBlockedAndReportsItsStatus)
{
    TempDir dir;
    sigset_t stops;
    sigset_t previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    const int status = runHostCommand("grep '^SigBlk' /proc/self/status > '" + dir.file("mask") + "'; exit 3");
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    std::ifstream in(dir.file("mask"));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "SigBlk:\t0000000000000000");
}
