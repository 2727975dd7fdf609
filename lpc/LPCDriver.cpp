#include "lpc/LPCDriver.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <random>

#include "foundation/Log.h"
#include "foundation/String.h"

namespace {

// A tick that ends sooner than this found the port failing (vanished device,
// end of file) rather than a second of line silence: pause before the next.
constexpr int kFailedReadPauseMs = 100;

uint16_t firstSequenceNumber()
{
    std::random_device source("default");
    std::mt19937 generator(source());
    return static_cast<uint16_t>(std::uniform_int_distribution<int>(0, 65535)(generator));
}

// Milliseconds left until deadline, rounded up (none left: 0).
int msUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

} // namespace

LPCDriver::LPCDriver()
    : mReader(&LPCDriver::threadFunction, this), mResponses(kResponseQueueCapacity), mNextSeqNo(firstSequenceNumber())
{
}

LPCDriver::~LPCDriver()
{
    close();
}

LPCDriver::ErrorCode LPCDriver::open(const char* device, int baud)
{
    if (device == nullptr)
        return OpenFailed;
    close();
    mRefusing = false;

    std::lock_guard<Mutex> lock(mRequestMutex);
    if (!API_init(&mLink, &mPort, device, static_cast<uint32_t>(baud), &LPCDriver::messageReceivedCallback, this)) {
        // The port may be open although setting it up failed: close it again.
        const int error = mPort.error();
        API_uninit(&mLink);
        errno = error;
        return OpenFailed;
    }
    if (!mReader.run()) {
        const int error = errno;
        API_uninit(&mLink);
        errno = error;
        return OpenFailed;
    }
    return NoError;
}

LPCDriver::ErrorCode LPCDriver::close()
{
    if (!mReader.running())
        return NoError;
    mReader.terminate();
    mLink.stopRequested = true;
    mReader.join();

    std::lock_guard<Mutex> lock(mRequestMutex);
    API_uninit(&mLink);
    return NoError;
}

void LPCDriver::refuseRequests()
{
    mRefusing = true;
}

void LPCDriver::admitUntil(TimePoint deadline)
{
    std::lock_guard<std::mutex> lock(mAdmitMutex);
    mAdmitted = std::this_thread::get_id();
    mAdmittedUntil = deadline;
}

bool LPCDriver::refused(bool& admitted, TimePoint& until)
{
    admitted = false;
    until = TimePoint::max();
    if (mLink.stopRequested.load())
        return true;
    if (!mRefusing.load())
        return false;
    std::lock_guard<std::mutex> lock(mAdmitMutex);
    if (mAdmitted != std::this_thread::get_id())
        return true;
    admitted = true;
    until = mAdmittedUntil;
    return std::chrono::steady_clock::now() >= until;
}

void LPCDriver::registerEventHandler(EventHandler handler, void* user)
{
    std::lock_guard<Mutex> lock(mHandlerMutex);
    mHandler = handler;
    mHandlerUser = user;
}

void LPCDriver::setReceiveTimeout(int ms)
{
    mReceiveTimeout = ms;
}

void LPCDriver::setTransmitRetries(int count)
{
    mTransmitRetries = count;
}

void LPCDriver::setDebugEnable(bool on)
{
    mDebug = on;
}

LpcStats LPCDriver::getStats() const
{
    LpcStats stats;
    stats.droppedBytes = mLink.hdlc.droppedBytes.load();
    stats.successes = mSuccesses.load();
    stats.failures = mFailures.load();
    stats.retransmitted = mRetransmitted.load();
    return stats;
}

std::string LPCDriver::strerror(ErrorCode code)
{
    static const char* const texts[] = {
        "No error",
        "General/Hardware error",
        "Malformed packet received",
        "The requested API ID is invalid, or not supported",
        "Wrong or unsupported message Type",
        "An invalid command was requested",
        "Command parameter is invalid or out of range",
        "Unexpected message size",
        "Unknown error",
        "A response was not received within the timeout period",
        "Failed to send the API message",
        "Failed to open resource",
    };
    const int index = static_cast<int>(code);
    if (index < 0 || index >= static_cast<int>(sizeof texts / sizeof texts[0]))
        return "Unspecified Error";
    return texts[index];
}

uint16_t LPCDriver::getNextSeqNumber()
{
    uint16_t current = mNextSeqNo.load();
    uint16_t drawn;
    uint16_t next;
    do {
        drawn = current == 65535 ? 0 : current;
        next = static_cast<uint16_t>(drawn + 1);
    } while (!mNextSeqNo.compare_exchange_weak(current, next));
    return drawn;
}

LPCDriver::ErrorCode LPCDriver::executeRPC(const API_Message_t& request, API_Message_t& response)
{
    std::unique_lock<Mutex> lock(mRequestMutex);
    const int timeoutMs = mReceiveTimeout;
    const int transmissions = mTransmitRetries;
    ErrorCode result = Timeout;
    bool admitted = false;
    TimePoint until;
    for (int attempt = 1; attempt <= transmissions; ++attempt) {
        // Once close has stopped the reader no reply can come: every waiting
        // request would time out in turn, and hold close up for all of them.
        if (refused(admitted, until))
            break;
        result = sendRequest(request);
        if (result == NoError) {
            // The whole wait of this transmission counts from its sending.
            const TimePoint deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
            result = waitForResponse(response, request.ID, request.SeqNo, std::min(deadline, until));
        }
        if (result == NoError) {
            lock.unlock();
            ++(attempt == 1 ? mSuccesses : mRetransmitted);
            if (response.Error < NoError || response.Error > UnknownError)
                return UnknownError;
            return static_cast<ErrorCode>(response.Error);
        }
        if (refused(admitted, until))
            break;
        Log::warning("Response timeout. Re-transmitting message (attempt %d of %d)", attempt, transmissions);
        Thread::sleep(1);
    }
    lock.unlock();
    if (admitted) {
        // A board that did not answer is not waited for again.
        std::lock_guard<std::mutex> admission(mAdmitMutex);
        if (mAdmitted == std::this_thread::get_id())
            mAdmitted = std::thread::id();
    }
    ++mFailures;
    return result;
}

LPCDriver::ErrorCode LPCDriver::sendRequest(const API_Message_t& request)
{
    log("Send request");
    log(request);
    return API_send(&mLink, &request) == 0 ? SendFailed : NoError;
}

// Takes queued responses until one carries id and seqNo; every other one (a
// late reply to an earlier request, or one that answers nothing) is
// discarded and the wait goes on for the time left. One deadline for the
// whole wait: a board that streams such responses cannot hold the request.
LPCDriver::ErrorCode LPCDriver::waitForResponse(API_Message_t& response, int id, int seqNo, TimePoint deadline)
{
    for (;;) {
        if (!mResponses.semaphore.Wait(msUntil(deadline)))
            return Timeout;
        {
            std::lock_guard<Mutex> lock(mResponses.mutex);
            response = mResponses.items.front();
            mResponses.items.pop_front();
        }
        if (response.ID == id && response.SeqNo == seqNo)
            return NoError;
    }
}

void LPCDriver::threadFunction(void* driver)
{
    auto* self = static_cast<LPCDriver*>(driver);
    while (!self->mReader.terminated(0)) {
        const auto start = std::chrono::steady_clock::now();
        API_tick(&self->mLink);
        if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kFailedReadPauseMs) &&
            self->mReader.terminated(kFailedReadPauseMs))
            return;
    }
}

void LPCDriver::messageReceivedCallback(API_Message_t* message, void* driver)
{
    auto* self = static_cast<LPCDriver*>(driver);
    switch (message->Type) {
    case API_TYPE_RESPONSE:
        self->handleResponse(*message);
        break;
    case API_TYPE_INDICATION:
        self->handleIndication(*message);
        break;
    default:
        std::fputs("Invalid message type received\n", stdout);
        std::fflush(stdout);
        break;
    }
}

// Beyond the queue's capacity responses are dropped: the request they belong
// to times out and retransmits.
void LPCDriver::handleResponse(const API_Message_t& message)
{
    log("Response received");
    log(message);
    std::lock_guard<Mutex> lock(mResponses.mutex);
    if (mResponses.items.size() < mResponses.semaphore.GetMaxCount()) {
        mResponses.items.push_back(message);
        mResponses.semaphore.Post();
    }
}

void LPCDriver::handleIndication(const API_Message_t& message)
{
    log("Indication received");
    log(message);
    notify(LPCEvent::create(message));
}

void LPCDriver::notify(const LPCEvent& event)
{
    EventHandler handler;
    void* user;
    {
        std::lock_guard<Mutex> lock(mHandlerMutex);
        handler = mHandler;
        user = mHandlerUser;
    }
    if (handler != nullptr)
        handler(event, user);
}

void LPCDriver::log(const char* format, ...) const
{
    if (!mDebug)
        return;
    const std::string prefixed = std::string("[LPCDriver] ") + format;
    va_list args;
    va_start(args, format);
    Log::vprint(Log::Debug, prefixed.c_str(), args);
    va_end(args);
}

void LPCDriver::log(const API_Message_t& message) const
{
    if (!mDebug)
        return;
    std::string text;
    text += String::format("ID     : %d\n", message.ID);
    text += String::format("SubID  : %d\n", message.Size > 0 ? message.Data[0] : -1);
    text += String::format("Type   : %d\n", message.Type);
    text += String::format("Error  : %d\n", message.Error);
    text += String::format("SeqNo  : %d\n", message.SeqNo);
    text += String::format("Size   : %d\n", message.Size);
    text += "Data   : ";
    for (uint16_t i = 0; i < message.Size; ++i)
        text += String::format("0x%02x ", message.Data[i]);
    text += "\n";
    Log::debug("[LPCDriver] API Message:\n%s", text.c_str());
}
