#pragma once
// SimulatedBoard: a software microcontroller on a real pseudo-terminal, for
// tests of everything that talks to the board. It decodes requests with the
// project's framing and message code, answers them from its own device model
// (SimDevice), logs every request it receives with a time stamp, and offers
// controls that name the direction they act in: requests the board loses or
// ignores, replies it delays, damages or replaces, and messages it sends of
// its own accord.
//
// Threading: the board runs one thread of its own (SimLine's). Every public
// function may be called from any thread. mMutex guards the request log and
// its switch, the forced replies, the reply-mangling counters, the requests
// it does not hear and the reboot window; it is never held while calling into the line
// or the device.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lpc/api.h"
#include "sim/SimDevice.h"
#include "sim/SimLine.h"

class SimulatedBoard {
public:
    // One message from the host as it arrived: when (SimLine::nowMs), the decoded message,
    // and whether the line lost it (then it was not answered).
    struct LoggedRequest {
        double timeMs;
        API_Message_t message;
        bool lost;
    };

    SimulatedBoard();
    ~SimulatedBoard() = default;

    // The device path that the code under test opens.
    const std::string& devicePath() const { return mLine.devicePath(); }
    // The board's own state, for tests to set and inspect.
    SimDevice& device() { return mDevice; }

    // The line in both directions: every octet takes its time at the speed
    // the host set on the terminal. Off by default.
    void setLinePaced(bool on) { mLine.setPaced(on); }

    // Requests towards the board.
    void setSilent(bool silent) { mLine.setSilent(silent); }
    void dropNextRequests(int count) { mLine.dropNextRequests(count); }
    void dropEveryNthRequest(int n) { mLine.dropEveryNthRequest(n); }
    // Hears the host only at these rates; empty: at every rate.
    void hearOnlyAt(const std::vector<int>& baudRates) { mLine.hearOnlyAt(baudRates); }
    // While off, requests (id, subId) are lost as if the board no longer
    // heard them, heartbeats (0, 0) among others; every other request is
    // served. All on at start.
    void hearRequests(uint8_t id, uint8_t subId, bool on);

    // Replies from the board.
    void delayReplies(int ms) { mLine.delayReplies(ms); }
    // Every nth reply is lost after the board acted on its request; 0 stops it.
    void dropEveryNthReply(int n) { mLine.dropEveryNthReply(n); }
    void corruptNextFcs(int count = 1) { mLine.corruptNextFcs(count); }
    // Answers the next count requests, then none: as setSilent(true).
    void silenceAfterReplies(int count) { mLine.silenceAfterReplies(count); }
    // The next count replies carry SeqNo + 1 (or ID xor 0x80) instead of
    // the request's.
    void replyWithWrongSeqNo(int count = 1);
    void replyWithWrongId(int count = 1);
    // Until cleared, every request (id, subId) is answered with this Error
    // and these Data octets (sub-identifier included, so Size is data.size()).
    void forceReply(uint8_t id, uint8_t subId, int error, const std::vector<uint8_t>& data);
    void clearForcedReplies();
    // Until replaced, a request for which refusal returns a non-zero Error
    // (and no forced reply applies) is answered with that Error and only its
    // sub-identifier; an empty function refuses nothing. It runs on the
    // board's thread with the board's lock held: it must not call the board.
    void refuseRequests(std::function<int(const API_Message_t& request)> refusal);

    // Messages the board sends unasked.
    void sendIndication(uint8_t id, uint8_t subId, const std::vector<uint8_t>& values = {});
    void sendMessage(const API_Message_t& message);
    void sendRaw(const std::vector<uint8_t>& octets) { mLine.sendRaw(octets); }
    // From now on sends make(n), n = 0, 1, ..., every periodMs, the first at
    // once, whether silent or not; make runs on the board's thread and must
    // not call the board. A periodMs of 0 ends the stream.
    void sendMessagesEvery(int periodMs, std::function<API_Message_t(int n)> make);
    // The board's own events: power about to go, the ignition line (0 off,
    // anything else on), a high-G alarm with the total acceleration in
    // thousandths of g.
    void sendPowerOff() { sendIndication(1, 3); }
    void sendIgnition(uint8_t state) { sendIndication(1, 10, {state}); }
    void sendHighGAlarm(uint32_t milliG);

    // The request log, kept from the start unless switched off (a long run
    // would otherwise grow it without limit); off, it keeps what it holds
    // and adds nothing.
    void setLogging(bool on);
    std::vector<LoggedRequest> requests() const;
    // Waits until at least count requests were logged; false on timeout.
    bool waitForRequests(size_t count, int timeoutMs) const;
    // When each request (id, subId) that the board acted on arrived
    // (SimLine::nowMs), in order: (1, 11) gives the delayed-shutdown requests.
    // One time per sequence number: a retransmission is no request of its own.
    std::vector<double> requestTimes(uint8_t id, uint8_t subId) const;

private:
    struct Forced {
        int error;
        std::vector<uint8_t> data;
    };

    void onFrame(const std::vector<uint8_t>& payload, double receivedMs, bool lost);
    // Lets the device act on the request; returns the encoded reply, or
    // nothing when the board reboots instead of answering.
    std::vector<uint8_t> answer(const API_Message_t& request, double receivedMs);
    // Whether the board, rebooting or deaf to such requests, misses this one.
    bool misses(const API_Message_t& request, double receivedMs) const;
    static std::vector<uint8_t> encode(const API_Message_t& message);

    mutable std::mutex mMutex;
    mutable std::condition_variable mLogged;
    std::vector<LoggedRequest> mLog;
    bool mLogging = true;
    std::map<std::pair<uint8_t, uint8_t>, Forced> mForced;
    std::function<int(const API_Message_t&)> mRefusal;
    int mWrongSeqNo = 0;
    int mWrongId = 0;
    std::set<std::pair<uint8_t, uint8_t>> mUnheard; // (id, subId)
    double mRebootEndsMs = 0; // deaf until then (SimLine::nowMs)

    SimDevice mDevice;
    SimLine mLine; // last: its thread calls back into the members above
};
