#include "foundation/Clock.h"

#include "tests/support/ScopedTimeZone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// True when the process holds CAP_SYS_TIME (bit 25 of the effective set).
bool maySetClock()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            return (std::stoull(line.substr(7), nullptr, 16) >> 25 & 1) != 0;
        }
    }
    return true;
}

} // namespace

TEST(ClockTest, WallClockReadings)
{
    const double ms = Clock::millis();
    EXPECT_NEAR(ms / 1000.0, static_cast<double>(time(nullptr)), 2.0);
    const double elapsed = Clock::elapsedMillis(ms - 1500.0);
    EXPECT_GE(elapsed, 1500.0);
    EXPECT_LT(elapsed, 6500.0);
    EXPECT_NEAR(static_cast<double>(Clock::seconds()), static_cast<double>(time(nullptr)), 2.0);
    const long tenAgo = Clock::elapsedSeconds(Clock::seconds() - 10);
    EXPECT_GE(tenAgo, 10);
    EXPECT_LE(tenAgo, 12);
}

TEST(ClockTest, LocalAndUtcBrokenDownTime)
{
    ScopedTimeZone zone("XST-5");
    tm local = Clock::getTime();
    tm utc = Clock::getTimeUTC();
    EXPECT_EQ(local.tm_gmtoff, 5 * 3600);
    EXPECT_EQ(utc.tm_gmtoff, 0);
    EXPECT_NEAR(difftime(timegm(&local), timegm(&utc)), 5 * 3600.0, 2.0);
    EXPECT_NEAR(difftime(mktime(&local), time(nullptr)), 0.0, 2.0);
}

TEST(ClockTest, SetOffsetFromUtcIsRecorded)
{
    Clock::setOffsetFromUTC(-180);
    EXPECT_EQ(Clock_UTCOffset, -180);
    Clock::setOffsetFromUTC(0);
}

// Tests run as root, where setTime would succeed: the failure path runs in a
// child that first gives up root, and only when it then lacks CAP_SYS_TIME.
TEST(ClockTest, SetTimeWithoutPrivilegeReportsOnStderr)
{
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        if (maySetClock()) {
            _exit(3);
        }
        const time_t before = time(nullptr);
        Clock::setTime(Clock::getTime());
        _exit(std::fabs(difftime(time(nullptr), before)) <= 2 ? 0 : 4);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof(buffer))) > 0) {
        output.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2 || WEXITSTATUS(status) == 3) {
        GTEST_SKIP() << "cannot give up the right to set the clock here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(output, "ERROR: Clock::setTime() failed : Operation not permitted\n");
}
