#pragma once
// SimLine: the simulated board's end of the serial line. It owns a
// pseudo-terminal pair (the slave is the device the code under test opens),
// runs the board's one thread, splits the incoming octets into frames with
// the project's framing, and sends outgoing frames at their due time.
//
// Faults are injected here, on the wire: lost requests (dropNextRequests,
// dropEveryNthRequest), lost, delayed or suppressed replies
// (dropEveryNthReply, delayReplies, setSilent, silenceAfterReplies), damaged
// checksums (corruptNextFcs), raw octets (sendRaw) and frames sent unasked
// at a steady pace (sendEvery).
//
// Pacing (off by default, so tests stay fast): every octet takes the time a
// real line needs for it, 10 bits at the speed the host set on the terminal,
// in both directions. A received octet reaches the framing only when its last
// bit would have arrived, and an outgoing octet is written only when the line
// would have finished sending it. Each octet's time is an absolute deadline
// counted from the start of its frame (or from the end of the octet before
// it), so a late wake-up is caught up and delays never add up.
//
// Threading: every public function may be called from any thread. The line's
// thread calls the frame handler with no line lock held; the handler may call
// sendReply/sendFrame. mMutex guards the fault settings, the pacing switch
// and the outgoing schedule; the receive framing state and the two octet
// timelines are touched only by the line's thread.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lpc/hdlc.h"

class SimLine {
public:
    // A received good frame's payload, when its last octet arrived (nowMs
    // clock; on a paced line the time the line delivered it, not when this
    // thread got round to it), and whether the line lost it (the board logs
    // it but must not act on it).
    using FrameHandler = std::function<void(const std::vector<uint8_t>& payload, double receivedMs, bool lost)>;

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
    // silent or loses it; receivedMs is when its request arrived (nowMs clock).
    void sendReply(const std::vector<uint8_t>& payload, double receivedMs);
    // Frames and sends a payload at once (indications, unsolicited messages);
    // not affected by silence, delay or lost replies.
    void sendFrame(const std::vector<uint8_t>& payload);
    // Sends octets as they are, unframed.
    void sendRaw(const std::vector<uint8_t>& octets);

    // Makes one payload of the stream: n counts the frames from 0.
    using FrameSource = std::function<std::vector<uint8_t>(int n)>;
    // From now on frames source's payloads every periodMs, the first at once,
    // like sendFrame; source runs on the line's thread with the line's lock
    // held. A periodMs of 0 or less (or an empty source) ends the stream.
    void sendEvery(int periodMs, FrameSource source);

    void setSilent(bool silent);
    // Sends the next count replies, then falls silent as setSilent(true).
    void silenceAfterReplies(int count);
    void dropNextRequests(int count);
    // Loses every nth request from now on (the nth, 2nth, ...); 0 switches it off.
    void dropEveryNthRequest(int n);
    // Loses every nth reply from now on, after the board acted on its
    // request; 0 switches it off.
    void dropEveryNthReply(int n);
    void delayReplies(int ms);
    // Damages the FCS of the next count frames sent (replies or others).
    void corruptNextFcs(int count = 1);
    // Switches line-speed pacing on or off; applies from the next octet.
    void setPaced(bool on);

    // Hears the host only while it has set one of these rates (bits per
    // second) on its end of the line; whatever it sends at another rate is
    // lost as noise. Empty: every rate. Defined in SimLineSpeed.cpp.
    void hearOnlyAt(const std::vector<int>& baudRates);

    // Milliseconds on the monotonic clock that the request log uses.
    static double nowMs();

private:
    // An octet on its way, and when it is through the line (nowMs clock).
    struct TimedOctet {
        double dueMs;
        uint8_t octet;
    };

    void run();
    double nextWakeMs();
    void waitForLine(double wakeMs);
    void receive();
    void deliverArrived(double now);
    void startDueFrames(double now);
    void streamDue(double now);
    void writeDue(double now);
    double octetMs();
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
    bool mPaced = false;
    int mDropNext = 0;
    int mDropEvery = 0;
    int mRequestCount = 0;
    int mDropReplyEvery = 0;
    int mReplyCount = 0;
    int mDelayMs = 0;
    int mCorruptFcs = 0;
    int mRepliesBeforeSilence = 0;
    FrameSource mStream;
    double mStreamPeriodMs = 0;
    double mStreamNextMs = std::numeric_limits<double>::infinity(); // no stream
    int mStreamCount = 0;
    std::vector<unsigned> mHeardSpeeds; // termios speed codes; empty: all

    // The line thread's own: octets read from the host that have not yet
    // arrived on the simulated line, octets of started frames not yet sent,
    // when each direction of the line is next free, and since when writes
    // have found no room (0 while they have).
    std::deque<TimedOctet> mArriving;
    std::deque<TimedOctet> mSending;
    double mReceiveFreeMs = 0;
    double mSendFreeMs = 0;
    double mStalledSinceMs = 0;
    double mDeliveredMs = 0; // arrival time of the octet being fed to the framing

    std::atomic<bool> mStop{false};
    std::thread mThread;
};
