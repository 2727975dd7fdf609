#include "sim/SimLine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

// How long writes may find no room on the line before the octets waiting to
// be sent are lost (nobody reads the slave while the code under test has it
// closed).
constexpr double kWriteStallMs = 200;
constexpr size_t kReadChunk = 256;
constexpr size_t kWriteChunk = 512;
// Octets read ahead of their arrival on a paced line; beyond this the host's
// writes wait in the terminal's buffer, as they would before a slow UART.
constexpr size_t kMaxArriving = 4096;
constexpr double kBitsPerOctet = 10; // start bit, 8 data bits, stop bit
constexpr uint8_t kFlag = 0x7E;
// How far ahead of a flag's time the line thread wakes to spin (above the
// usual lateness of a timer wake-up).
constexpr double kSpinMs = 0.05;
// How long before the receive line runs dry the line thread reads again what
// the host wrote meanwhile (well above a late wake-up), so that octets
// waiting in the terminal follow the ones before them without a gap.
constexpr double kReadAheadMs = 2;
constexpr double kNever = std::numeric_limits<double>::infinity();

// The terminal speed codes and the bits per second they stand for.
const std::pair<speed_t, unsigned> kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

// Bits per second of a speed code; 0 for B0 (hang up) and unknown codes.
unsigned bitsPerSecond(speed_t speed)
{
    for (const auto& entry : kSpeeds) {
        if (entry.first == speed)
            return entry.second;
    }
    return 0;
}

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
    ++mReplyCount;
    if (mDropReplyEvery > 0 && mReplyCount % mDropReplyEvery == 0)
        return;
    schedule(frame(payload), receivedMs + mDelayMs);
    if (mRepliesBeforeSilence > 0 && --mRepliesBeforeSilence == 0)
        mSilent = true;
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

void SimLine::silenceAfterReplies(int count)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mRepliesBeforeSilence = count;
}

void SimLine::sendEvery(int periodMs, FrameSource source)
{
    std::lock_guard<std::mutex> lock(mMutex);
    const bool on = periodMs > 0 && source;
    mStream = on ? std::move(source) : FrameSource();
    mStreamPeriodMs = periodMs;
    mStreamNextMs = on ? nowMs() : kNever;
    mStreamCount = 0;
    const char octet = 0;
    (void)!::write(mWake[1], &octet, 1);
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

void SimLine::dropEveryNthReply(int n)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mDropReplyEvery = n;
    mReplyCount = 0;
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

void SimLine::setPaced(bool on)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mPaced = on;
    const char octet = 0;
    (void)!::write(mWake[1], &octet, 1);
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
    self->mHandler(payload, self->mDeliveredMs, lost);
}

// Milliseconds one octet takes on the line at the speed the host set on the
// terminal (the master reports the slave's settings); 0 when unpaced or the
// speed is B0. Called with mMutex held.
double SimLine::octetMs()
{
    if (!mPaced)
        return 0;
    termios tio{};
    if (tcgetattr(mMaster, &tio) != 0)
        return 0;
    const unsigned bps = bitsPerSecond(cfgetospeed(&tio));
    return bps == 0 ? 0 : kBitsPerOctet * 1000.0 / bps;
}

void SimLine::run()
{
    // Paced octets are tens of microseconds apart: keep the kernel from
    // deferring our wake-ups by its default 50 us timer slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!mStop) {
        receive();
        deliverArrived(nowMs());
        streamDue(nowMs());
        startDueFrames(nowMs());
        writeDue(nowMs());
        const double wake = nextWakeMs();
        // A flag ends (or opens) the frame the host waits for: a timer
        // wake-up can be tens of microseconds late, so sleep until shortly
        // before it and spin the rest of the way.
        const bool flagNext = mStalledSinceMs == 0 && !mSending.empty() && mSending.front().dueMs == wake &&
                              mSending.front().octet == kFlag;
        waitForLine(flagNext ? wake - kSpinMs : wake);
        if (flagNext && nowMs() >= wake - kSpinMs) {
            while (nowMs() < wake) {
            }
        }
    }
}

// The earliest of: the arrival of the next flag (the only octet whose
// arrival the host can see, through the reply to the frame it ends), the
// moment to start reading ahead of the receive line's end of busy time, the
// end of that busy time, the next octet to send, the next scheduled frame,
// the end of a write stall, the stream's next frame. kNever when nothing
// waits.
double SimLine::nextWakeMs()
{
    double wake = kNever;
    if (!mArriving.empty()) {
        wake = mArriving.back().dueMs;
        const auto flag = std::find_if(mArriving.begin(), mArriving.end(),
                                       [](const TimedOctet& t) { return t.octet == kFlag; });
        if (flag != mArriving.end())
            wake = flag->dueMs;
        const double readAhead = mArriving.back().dueMs - kReadAheadMs;
        if (readAhead > nowMs())
            wake = std::min(wake, readAhead);
    }
    if (mStalledSinceMs > 0)
        wake = std::min(wake, mStalledSinceMs + kWriteStallMs);
    else if (!mSending.empty())
        wake = std::min(wake, mSending.front().dueMs);
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mOutgoing.empty())
        wake = std::min(wake, mOutgoing.begin()->first);
    return std::min(wake, mStreamNextMs);
}

// Sleeps until wakeMs, until a stalled write finds room, until another
// thread schedules something, or, when the receive line is idle or close to
// it, until the host writes. Earlier in a long busy time, what the host
// writes queues behind it and is read on the next wake-up: the host's
// octets wake us a few times per frame instead of once per write, and are
// still read before the line runs dry, so no gap opens between them.
void SimLine::waitForLine(double wakeMs)
{
    short events = 0;
    if (mArriving.empty() ||
        (mArriving.size() < kMaxArriving && mArriving.back().dueMs - kReadAheadMs <= nowMs()))
        events |= POLLIN;
    if (mStalledSinceMs > 0)
        events |= POLLOUT;
    pollfd fds[2] = {{mMaster, events, 0}, {mWake[0], POLLIN, 0}};

    timespec timeout{};
    timespec* limit = nullptr;
    if (wakeMs != kNever) {
        const double ms = std::max(0.0, wakeMs - nowMs());
        timeout.tv_sec = static_cast<time_t>(ms / 1000);
        timeout.tv_nsec = static_cast<long>(std::fmod(ms, 1000.0) * 1e6);
        limit = &timeout;
    }
    if (ppoll(fds, 2, limit, nullptr) > 0 && (fds[1].revents & POLLIN)) {
        char drain[64];
        while (::read(mWake[0], drain, sizeof drain) > 0) {
        }
    }
}

// Reads what the host wrote and gives each octet the time its last bit
// arrives: right after the octet before it while the line is busy, or one
// octet time after it was read when the line was idle.
void SimLine::receive()
{
    double perOctet = -1;
    uint8_t buffer[kReadChunk];
    while (mArriving.size() < kMaxArriving) {
        const size_t room = std::min(sizeof buffer, kMaxArriving - mArriving.size());
        const ssize_t count = ::read(mMaster, buffer, room);
        if (count <= 0)
            return;
        if (!hearsHostRate())
            continue;
        const double readMs = nowMs();
        if (perOctet < 0) {
            std::lock_guard<std::mutex> lock(mMutex);
            perOctet = octetMs();
        }
        for (ssize_t i = 0; i < count; ++i) {
            mReceiveFreeMs = std::max(mReceiveFreeMs, readMs) + perOctet;
            mArriving.push_back(TimedOctet{mReceiveFreeMs, buffer[i]});
        }
    }
}

// Feeds the framing every octet whose time has come; the frame handler runs
// here, with no lock held.
void SimLine::deliverArrived(double now)
{
    while (!mArriving.empty() && mArriving.front().dueMs <= now) {
        const uint8_t octet = mArriving.front().octet;
        mDeliveredMs = mArriving.front().dueMs;
        mArriving.pop_front();
        HDLC_octetReceived(&mRx, octet);
    }
}

// Puts every frame whose due time has come on the sending line: it starts at
// its due time or when the frame before it is through, whichever is later,
// and each octet is due one octet time after the one before.
void SimLine::startDueFrames(double now)
{
    std::lock_guard<std::mutex> lock(mMutex);
    while (!mOutgoing.empty() && mOutgoing.begin()->first <= now) {
        const double perOctet = octetMs();
        double due = std::max(mSendFreeMs, mOutgoing.begin()->first);
        for (const uint8_t octet : mOutgoing.begin()->second) {
            due += perOctet;
            mSending.push_back(TimedOctet{due, octet});
        }
        mSendFreeMs = due;
        mOutgoing.erase(mOutgoing.begin());
    }
}

// Schedules the stream's frames that are due; a late wake-up sends the
// missed ones at once rather than letting the pace drift.
void SimLine::streamDue(double now)
{
    std::lock_guard<std::mutex> lock(mMutex);
    while (mStreamNextMs <= now) {
        schedule(frame(mStream(mStreamCount++)), mStreamNextMs);
        mStreamNextMs += mStreamPeriodMs;
    }
}

// Writes the octets whose time has come, as many as the terminal takes. When
// it has taken none for kWriteStallMs, everything waiting is lost.
void SimLine::writeDue(double now)
{
    uint8_t buffer[kWriteChunk];
    for (;;) {
        size_t count = 0;
        while (count < mSending.size() && count < sizeof buffer && mSending[count].dueMs <= now) {
            buffer[count] = mSending[count].octet;
            ++count;
        }
        if (count == 0)
            return;
        const ssize_t written = ::write(mMaster, buffer, count);
        if (written > 0) {
            mSending.erase(mSending.begin(), mSending.begin() + written);
            mStalledSinceMs = 0;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN) {
            if (mStalledSinceMs == 0)
                mStalledSinceMs = now;
            if (now - mStalledSinceMs < kWriteStallMs)
                return;
        }
        mSending.clear();
        mStalledSinceMs = 0;
        mSendFreeMs = now;
        return;
    }
}
