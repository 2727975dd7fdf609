#include "sim/SimulatedBoard.h"

#include "sim/SimWire.h"

#include <chrono>
#include <algorithm>
#include <set>

namespace {

constexpr int kTypeResponse = 1;
constexpr int kTypeIndication = 2;

API_Message_t makeMessage(uint8_t id, int type, int error, uint16_t seqNo, const std::vector<uint8_t>& data)
{
    API_Message_t message{};
    message.ID = id;
    message.Type = type;
    message.Error = error;
    message.SeqNo = seqNo;
    message.Size = static_cast<uint16_t>(std::min(data.size(), sizeof message.Data));
    std::copy(data.begin(), data.begin() + message.Size, message.Data);
    return message;
}

} // namespace

SimulatedBoard::SimulatedBoard()
    : mLine([this](const std::vector<uint8_t>& payload, double receivedMs, bool lost) {
          onFrame(payload, receivedMs, lost);
      })
{
}

std::vector<uint8_t> SimulatedBoard::encode(const API_Message_t& message)
{
    std::vector<uint8_t> payload(API_HEADER_SIZE + message.Size);
    API_message_serialise(&message, payload.data());
    return payload;
}

void SimulatedBoard::onFrame(const std::vector<uint8_t>& payload, double receivedMs, bool lost)
{
    // Only frames that hold exactly one message; the host's link layer never
    // sends others.
    API_Message_t request{};
    if (API_message_deserialise(&request, payload.data(), static_cast<uint16_t>(payload.size())) !=
        static_cast<int>(payload.size()))
        return;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        lost = lost || misses(request, receivedMs);
    }
    // The device acts before the request is logged and the reply goes out
    // after: whoever sees the request in the log sees its effect, and whoever
    // got the reply finds the request in the log.
    std::vector<uint8_t> reply;
    if (!lost)
        reply = answer(request, receivedMs);
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mLogging)
            mLog.push_back(LoggedRequest{receivedMs, request, lost});
    }
    mLogged.notify_all();
    if (!reply.empty())
        mLine.sendReply(reply, receivedMs);
}

bool SimulatedBoard::misses(const API_Message_t& request, double receivedMs) const
{
    const uint8_t subId = request.Size > 0 ? request.Data[0] : 0;
    return receivedMs < mRebootEndsMs || mUnheard.count({request.ID, subId}) > 0;
}

std::vector<uint8_t> SimulatedBoard::answer(const API_Message_t& request, double receivedMs)
{
    const uint8_t subId = request.Size > 0 ? request.Data[0] : 0;
    std::vector<uint8_t> data;
    int error = 0;
    bool forced = false;
    uint8_t id = request.ID;
    uint16_t seqNo = request.SeqNo;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        const auto it = mForced.find({request.ID, subId});
        if (it != mForced.end()) {
            forced = true;
            error = it->second.error;
            data = it->second.data;
        } else if (const int refused = mRefusal ? mRefusal(request) : 0; refused != 0) {
            forced = true;
            error = refused;
            data = {subId};
        }
        if (mWrongSeqNo > 0) {
            --mWrongSeqNo;
            seqNo = static_cast<uint16_t>(seqNo + 1);
        }
        if (mWrongId > 0) {
            --mWrongId;
            id ^= 0x80;
        }
    }
    if (!forced) {
        const SimReply reply = mDevice.handle(request.ID, request.Type, request.Data, request.Size);
        error = reply.error;
        if (request.Size > 0)
            data.push_back(subId);
        data.insert(data.end(), reply.values.begin(), reply.values.end());
        const bool reset = request.ID == 1 && subId == 9 && error == 0;
        const int rebootMs = reset ? mDevice.access([](SimDeviceState& s) { return s.rebootMs; }) : 0;
        if (rebootMs > 0) {
            std::lock_guard<std::mutex> lock(mMutex);
            mRebootEndsMs = receivedMs + rebootMs;
            return {};
        }
    }
    return encode(makeMessage(id, kTypeResponse, error, seqNo, data));
}

void SimulatedBoard::replyWithWrongSeqNo(int count)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mWrongSeqNo = count;
}

void SimulatedBoard::replyWithWrongId(int count)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mWrongId = count;
}

void SimulatedBoard::forceReply(uint8_t id, uint8_t subId, int error, const std::vector<uint8_t>& data)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mForced[{id, subId}] = Forced{error, data};
}

void SimulatedBoard::clearForcedReplies()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mForced.clear();
}

void SimulatedBoard::refuseRequests(std::function<int(const API_Message_t& request)> refusal)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mRefusal = std::move(refusal);
}

void SimulatedBoard::sendIndication(uint8_t id, uint8_t subId, const std::vector<uint8_t>& values)
{
    std::vector<uint8_t> data{subId};
    data.insert(data.end(), values.begin(), values.end());
    mLine.sendFrame(encode(makeMessage(id, kTypeIndication, 0, 0, data)));
}

void SimulatedBoard::sendMessage(const API_Message_t& message)
{
    mLine.sendFrame(encode(message));
}

void SimulatedBoard::sendMessagesEvery(int periodMs, std::function<API_Message_t(int n)> make)
{
    SimLine::FrameSource source;
    if (make)
        source = [make = std::move(make)](int n) { return encode(make(n)); };
    mLine.sendEvery(periodMs, std::move(source));
}

void SimulatedBoard::hearRequests(uint8_t id, uint8_t subId, bool on)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (on)
        mUnheard.erase({id, subId});
    else
        mUnheard.insert({id, subId});
}

void SimulatedBoard::sendHighGAlarm(uint32_t milliG)
{
    sendIndication(11, 2, sim::be32(milliG));
}

std::vector<double> SimulatedBoard::requestTimes(uint8_t id, uint8_t subId) const
{
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<double> times;
    std::set<uint16_t> seen;
    for (const LoggedRequest& logged : mLog) {
        const API_Message_t& m = logged.message;
        if (!logged.lost && m.ID == id && m.Size > 0 && m.Data[0] == subId && seen.insert(m.SeqNo).second)
            times.push_back(logged.timeMs);
    }
    return times;
}

void SimulatedBoard::setLogging(bool on)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mLogging = on;
}

std::vector<SimulatedBoard::LoggedRequest> SimulatedBoard::requests() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mLog;
}

bool SimulatedBoard::waitForRequests(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mMutex);
    return mLogged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return mLog.size() >= count; });
}
