#pragma once
// SimLine: the simulated board's end of the serial line. It owns a
// pseudo-terminal pair (the slave is the device the code under test opens),
// runs the board's one thread, splits the incoming octets into frames with
// the project's framing, and sends outgoing frames at their due time.
//
// Faults are injected here, on the wire: lost requests (dropNextRequests,
// dropEveryNthRequest), delayed or suppressed replies (delayReplies,
// setSilent), damaged checksums (corruptNextFcs) and raw octets (sendRaw).
//
// Threading: every public function may be called from any thread. The line's
// thread calls the frame handler with no line lock held; the handler may call
// sendReply/sendFrame. mMutex guards the fault settings and the outgoing
// schedule; the receive framing state is touched only by the line's thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lpc/hdlc.h"

class SimLine {
public:
    // A received good frame's payload, and whether the line lost it (the
    // board logs it but must not act on it).
    using FrameHandler = std::function<void(const std::vector<uint8_t>& payload, bool lost)>;

    // Opens the pseudo-terminal pair in raw mode and starts the line's
    // thread. Throws std::runtime_error when the pair cannot be made.
    explicit SimLine(FrameHandler handler);
    // Stops and joins the thread, then closes both ends.
    ~SimLine();
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Path of the slave device, for the code under test to open.
    const std::string& devicePath() const { return mPath; }

    // Frames a reply and sends it after the reply delay, unless the line is
    // silent; receivedMs is when its request arrived (nowMs clock).
    void sendReply(const std::vector<uint8_t>& payload, double receivedMs);
    // Frames and sends a payload at once (indications, unsolicited messages);
    // not affected by silence or delay.
    void sendFrame(const std::vector<uint8_t>& payload);
    // Sends octets as they are, unframed.
    void sendRaw(const std::vector<uint8_t>& octets);

    void setSilent(bool silent);
    void dropNextRequests(int count);
    // Loses every nth request from now on (the nth, 2nth, ...); 0 switches it off.
    void dropEveryNthRequest(int n);
    void delayReplies(int ms);
    // Damages the FCS of the next count frames sent (replies or others).
    void corruptNextFcs(int count = 1);

    // Hears the host only while it has set one of these rates (bits per
    // second) on its end of the line; whatever it sends at another rate is
    // lost as noise. Empty: every rate. Defined in SimLineSpeed.cpp.
    void hearOnlyAt(const std::vector<int>& baudRates);

    // Milliseconds on the monotonic clock that the request log uses.
    static double nowMs();

private:
    void run();
    void receive();
    void writeDue();
    void writeOctets(const std::vector<uint8_t>& octets);
    void schedule(std::vector<uint8_t> octets, double dueMs);
    std::vector<uint8_t> frame(const std::vector<uint8_t>& payload);
    bool takeDropDecision();
    // Whether the host's current rate, read from the terminal settings of
    // the master side, is one the line hears.
    bool hearsHostRate();

    static void onFrame(uint8_t* frame, uint16_t length, void* user);
    static void putOctet(char octet, void* user);

    FrameHandler mHandler;
    int mMaster = -1;
    int mSlave = -1;
    int mWake[2] = {-1, -1};
    std::string mPath;
    HDLC_Context_t mRx{};

    std::mutex mMutex;
    std::multimap<double, std::vector<uint8_t>> mOutgoing; // due time -> octets, FIFO per due time
    bool mSilent = false;
    int mDropNext = 0;
    int mDropEvery = 0;
    int mRequestCount = 0;
    int mDelayMs = 0;
    int mCorruptFcs = 0;
    std::vector<unsigned> mHeardSpeeds; // termios speed codes; empty: all

    std::atomic<bool> mStop{false};
    std::thread mThread;
};
