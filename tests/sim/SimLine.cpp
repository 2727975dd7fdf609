#include "sim/SimLine.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace {

// How long a write may wait for room on the line before the rest is lost
// (nobody reads the slave while the code under test has it closed).
constexpr int kWriteStallMs = 200;
constexpr size_t kReadChunk = 256;

} // namespace

SimLine::SimLine(FrameHandler handler) : mHandler(std::move(handler))
{
    char name[PATH_MAX] = {};
    if (openpty(&mMaster, &mSlave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    mPath = name;

    termios tio{};
    tcgetattr(mSlave, &tio);
    cfmakeraw(&tio);
    tcsetattr(mSlave, TCSANOW, &tio);
    fcntl(mMaster, F_SETFL, fcntl(mMaster, F_GETFL) | O_NONBLOCK);

    if (pipe(mWake) != 0) {
        ::close(mMaster);
        ::close(mSlave);
        throw std::runtime_error("pipe failed");
    }
    fcntl(mWake[0], F_SETFL, fcntl(mWake[0], F_GETFL) | O_NONBLOCK);

    HDLC_init(&mRx, nullptr, &SimLine::onFrame, this);
    mThread = std::thread(&SimLine::run, this);
}

SimLine::~SimLine()
{
    mStop = true;
    const char octet = 0;
    (void)!::write(mWake[1], &octet, 1);
    mThread.join();
    ::close(mWake[0]);
    ::close(mWake[1]);
    ::close(mMaster);
    ::close(mSlave);
}

double SimLine::nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void SimLine::sendReply(const std::vector<uint8_t>& payload, double receivedMs)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mSilent)
        return;
    schedule(frame(payload), receivedMs + mDelayMs);
}

void SimLine::sendFrame(const std::vector<uint8_t>& payload)
{
    std::lock_guard<std::mutex> lock(mMutex);
    schedule(frame(payload), nowMs());
}

void SimLine::sendRaw(const std::vector<uint8_t>& octets)
{
    std::lock_guard<std::mutex> lock(mMutex);
    schedule(octets, nowMs());
}

void SimLine::setSilent(bool silent)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mSilent = silent;
}

void SimLine::dropNextRequests(int count)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mDropNext = count;
}

void SimLine::dropEveryNthRequest(int n)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mDropEvery = n;
    mRequestCount = 0;
}

void SimLine::delayReplies(int ms)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mDelayMs = ms;
}

void SimLine::corruptNextFcs(int count)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mCorruptFcs = count;
}

// Frames a payload with the project's framing; with a pending FCS fault the
// last FCS octet is changed so that it still needs no escape.
std::vector<uint8_t> SimLine::frame(const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> octets;
    HDLC_Context_t tx{};
    HDLC_init(&tx, &SimLine::putOctet, nullptr, &octets);
    HDLC_transmit(&tx, payload.data(), static_cast<uint16_t>(payload.size()));
    if (mCorruptFcs > 0 && octets.size() >= 4) {
        --mCorruptFcs;
        uint8_t& last = octets[octets.size() - 2];
        const bool escaped = octets[octets.size() - 3] == 0x7D;
        uint8_t changed = last ^ 0x01;
        if (!escaped && (changed == 0x7E || changed == 0x7D))
            changed = last ^ 0x10;
        last = changed;
    }
    return octets;
}

void SimLine::putOctet(char octet, void* user)
{
    static_cast<std::vector<uint8_t>*>(user)->push_back(static_cast<uint8_t>(octet));
}

void SimLine::schedule(std::vector<uint8_t> octets, double dueMs)
{
    mOutgoing.emplace(dueMs, std::move(octets));
    const char octet = 0;
    (void)!::write(mWake[1], &octet, 1);
}

bool SimLine::takeDropDecision()
{
    std::lock_guard<std::mutex> lock(mMutex);
    ++mRequestCount;
    if (mDropNext > 0) {
        --mDropNext;
        return true;
    }
    return mDropEvery > 0 && mRequestCount % mDropEvery == 0;
}

void SimLine::onFrame(uint8_t* frame, uint16_t length, void* user)
{
    auto* self = static_cast<SimLine*>(user);
    const std::vector<uint8_t> payload(frame, frame + length);
    const bool lost = self->takeDropDecision();
    self->mHandler(payload, lost);
}

void SimLine::run()
{
    while (!mStop) {
        int timeoutMs = -1;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (!mOutgoing.empty())
                timeoutMs = std::max(0, static_cast<int>(std::ceil(mOutgoing.begin()->first - nowMs())));
        }
        pollfd fds[2] = {{mMaster, POLLIN, 0}, {mWake[0], POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(mWake[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & POLLIN)
            receive();
        writeDue();
    }
}

void SimLine::receive()
{
    uint8_t buffer[kReadChunk];
    ssize_t count;
    while ((count = ::read(mMaster, buffer, sizeof buffer)) > 0) {
        if (!hearsHostRate())
            continue;
        for (ssize_t i = 0; i < count; ++i)
            HDLC_octetReceived(&mRx, buffer[i]);
    }
}

void SimLine::writeDue()
{
    for (;;) {
        std::vector<uint8_t> octets;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mOutgoing.empty() || mOutgoing.begin()->first > nowMs())
                return;
            octets = std::move(mOutgoing.begin()->second);
            mOutgoing.erase(mOutgoing.begin());
        }
        writeOctets(octets);
    }
}

void SimLine::writeOctets(const std::vector<uint8_t>& octets)
{
    size_t done = 0;
    while (done < octets.size()) {
        const ssize_t count = ::write(mMaster, octets.data() + done, octets.size() - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR)
            return;
        pollfd out = {mMaster, POLLOUT, 0};
        if (poll(&out, 1, kWriteStallMs) <= 0)
            return;
    }
}
