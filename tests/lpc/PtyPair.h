// A pseudo-terminal pair for link tests: the code under test opens the
// slave by name; the test plays the far end on the master, which stays open
// (with the test's own slave descriptor) for the pair's lifetime.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

class PtyPair
{
public:
    PtyPair()
    {
        char name[128] = {};
        if (openpty(&mMaster, &mSlave, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty failed";
            return;
        }
        mSlaveName = name;
        termios t;
        tcgetattr(mSlave, &t);
        cfmakeraw(&t);
        tcsetattr(mSlave, TCSANOW, &t);
    }
    ~PtyPair()
    {
        ::close(mMaster);
        ::close(mSlave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slaveName() const { return mSlaveName; }
    int master() const { return mMaster; }
    int slave() const { return mSlave; }

    void send(const std::vector<uint8_t>& octets) const
    {
        ASSERT_EQ(::write(mMaster, octets.data(), octets.size()), static_cast<ssize_t>(octets.size()));
    }

    // Everything the far end receives until 'count' octets arrived or the
    // line stayed quiet for quietMs.
    std::vector<uint8_t> receive(size_t count, int quietMs = 500) const
    {
        std::vector<uint8_t> out;
        while (out.size() < count) {
            pollfd p{mMaster, POLLIN, 0};
            if (poll(&p, 1, quietMs) <= 0) {
                break;
            }
            uint8_t buf[512];
            const ssize_t n = ::read(mMaster, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

    // Waits until the slave side has at least n octets waiting.
    bool waitPending(int n) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            int waiting = 0;
            if (ioctl(mSlave, FIONREAD, &waiting) == 0 && waiting >= n) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

private:
    int mMaster = -1;
    int mSlave = -1;
    std::string mSlaveName;
};
