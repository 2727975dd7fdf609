#pragma once
// LPCDriver: the one object that talks to the microcontroller. It owns the
// serial port, the API layer's link context and a reader thread. The reader
// decodes every frame: responses go into a bounded queue for the waiting
// caller, indications become LPCEvents for the registered handler. Requests
// run on the caller's thread: send with a fresh sequence number, wait for the
// response with the same identifier and sequence number, retransmit on
// timeout.
//
// Threading:
// - open, close and the destructor are called by the owner's thread only.
// - Any number of threads may run executeRPC (and the request methods built
//   on it); mRequestMutex serialises them, so at most one request is
//   outstanding on the link. open and close hold it while they set up or
//   release the link context.
// - The reader thread runs API_tick, the framing, the decoding, the response
//   queueing and the event handler. It takes only the queue mutex and
//   mHandlerMutex, never the request mutex.
// - mResponses.mutex guards the queue; mHandlerMutex guards the handler and
//   its user pointer and is released before the handler runs. Lock order:
//   mRequestMutex, then mResponses.mutex. No driver lock is held while the
//   event handler runs.
// - The settings, the sequence number and the counters are atomic and may be
//   read and written from any thread.
// - The event handler must not make requests on this driver: it runs on the
//   reader thread, which alone delivers the replies.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Mutex.h"
#include "foundation/Thread.h"
#include "lpc/LPCEvent.h"
#include "lpc/LpcStats.h"
#include "lpc/LpcTypes.h"
#include "lpc/Queue.h"
#include "lpc/SerialPort.h"
#include "lpc/api.h"

class LPCDriver {
public:
    // Result of every exchange: 0 to 8 are the microcontroller's Error field
    // passed on unchanged, 9 to 11 the driver's own.
    enum ErrorCode : int {
        NoError = 0,
        GeneralError = 1,
        MalformedPacket = 2,
        InvalidApiId = 3,
        InvalidMessageType = 4,
        InvalidCommand = 5,
        InvalidParameter = 6,
        UnexpectedSize = 7,
        UnknownError = 8,
        Timeout = 9,
        SendFailed = 10,
        OpenFailed = 11,
    };

    // Receives each event; called on the reader thread (or on the thread that
    // makes a driver event), with no driver lock held.
    using EventHandler = void (*)(const LPCEvent& event, void* user);

    static constexpr int kResponseQueueCapacity = 5;
    static constexpr int kDefaultReceiveTimeoutMs = 150;
    static constexpr int kDefaultTransmitRetries = 2;

    // Draws the first sequence number at random; opens nothing.
    LPCDriver();
    // Stops the reader thread and closes the port as close() does.
    ~LPCDriver();
    LPCDriver(const LPCDriver&) = delete;
    LPCDriver& operator=(const LPCDriver&) = delete;

    // Opens the device at baud (8N1) and starts the reader thread. Returns 0,
    // or 11 when the device cannot be opened and set up or the thread cannot
    // start; then no descriptor stays open and no thread runs. An open driver
    // is closed first.
    ErrorCode open(const char* device, int baud);
    // Stops and joins the reader thread and closes the port; always 0. Does
    // nothing on a driver that is not open.
    ErrorCode close();

    // Replaces the event handler and its user pointer as one pair; a null
    // handler switches delivery off. Any thread, also while the reader runs.
    void registerEventHandler(EventHandler handler, void* user);
    // Apply from the next exchange on. Any thread.
    void setReceiveTimeout(int ms);
    void setTransmitRetries(int count);
    // Switches the "[LPCDriver] " debug lines on or off. Any thread.
    void setDebugEnable(bool on);

    // A copy of the counters with the framing's dropped-octet count.
    LpcStats getStats() const;

    // The text of a result code; "Unspecified Error" for any other number.
    static std::string strerror(ErrorCode code);

    // The exchange every request runs: sends request (same sequence number on
    // every transmission) until the response with its ID and SeqNo arrives or
    // the transmissions are used up. Returns the response's Error (8 for any
    // Error above 8), 9 when no matching response came, 10 when the last
    // transmission could not be sent. response is valid only on 0 to 8.
    ErrorCode executeRPC(const API_Message_t& request, API_Message_t& response);
    // The next request sequence number: 65535 is never used, 0 follows 65534.
    // One atomic step, so two threads never draw the same number.
    uint16_t getNextSeqNumber();

private:
    static void threadFunction(void* driver);
    static void messageReceivedCallback(API_Message_t* message, void* driver);
    void handleResponse(const API_Message_t& message);
    void handleIndication(const API_Message_t& message);
    // Calls the event handler, if one is registered, on the calling thread.
    void notify(const LPCEvent& event);

    ErrorCode sendRequest(const API_Message_t& request);
    ErrorCode waitForResponse(API_Message_t& response, int id, int seqNo, int timeoutMs);

    void log(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void log(const API_Message_t& message) const;

    Thread mReader;
    Queue<API_Message_t> mResponses;
    Mutex mHandlerMutex;
    EventHandler mHandler = nullptr;
    void* mHandlerUser = nullptr;
    std::atomic<uint16_t> mNextSeqNo;
    std::atomic<bool> mDebug{false};
    API_Context_t mLink{};
    SerialPort mPort;
    Mutex mRequestMutex;
    std::atomic<int> mReceiveTimeout{kDefaultReceiveTimeoutMs};
    std::atomic<int> mTransmitRetries{kDefaultTransmitRetries};
    std::atomic<size_t> mSuccesses{0};
    std::atomic<size_t> mFailures{0};
    std::atomic<size_t> mRetransmitted{0};
};
