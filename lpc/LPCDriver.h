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
// - refuseRequests and admitUntil may come from any thread. mRefusing is
//   atomic; mAdmitMutex guards the admitted thread and its deadline. It is
//   a leaf: executeRPC takes it under mRequestMutex to judge each
//   transmission, and after releasing that to end the admission, never
//   across a send or a wait. An admitted wait for a reply ends at the
//   deadline, late replies to earlier requests included.
// - The settings, the sequence number and the counters are atomic and may be
//   read and written from any thread.
// - The event handler must not make requests on this driver: it runs on the
//   reader thread, which alone delivers the replies.

#include <atomic>
#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Mutex.h"
#include "foundation/Thread.h"
#include "foundation/Variant.h"
#include "lpc/LPCEvent.h"
#include "lpc/LpcRequest.h"
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
    // start; then errno tells why, no descriptor stays open and no thread
    // runs. An open driver is closed first.
    ErrorCode open(const char* device, int baud);
    // Stops and joins the reader thread and closes the port; always 0. Does
    // nothing on a driver that is not open.
    ErrorCode close();
    // From now until the next open, requests end at once with 9 as they do
    // once close has begun, while the link stays open and events still
    // arrive. Any thread.
    void refuseRequests();
    // While requests are refused, the calling thread's are made all the same
    // until deadline, each wait for a reply cut there, and none after its
    // first that gets no reply. Replaces an earlier admission. Any thread.
    void admitUntil(std::chrono::steady_clock::time_point deadline);

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
    // the transmissions are used up. Each transmission waits at most the
    // receive timeout from its sending, whatever other responses come
    // meanwhile: they are discarded. Returns the response's Error (8 for any
    // Error above 8), 9 when no matching response came (at once, without
    // further transmissions, once close has begun), 10 when the last
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

    using TimePoint = std::chrono::steady_clock::time_point;
    // True when the calling thread's request must end at once: from close's
    // first step, or from refuseRequests until the next open unless the
    // thread is admitted (admitted is then set, and until is its deadline).
    bool refused(bool& admitted, TimePoint& until);
    ErrorCode sendRequest(const API_Message_t& request);
    // NoError on a match; Timeout when none came by deadline, however many
    // other responses came meanwhile.
    ErrorCode waitForResponse(API_Message_t& response, int id, int seqNo, TimePoint deadline);

    void log(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void log(const API_Message_t& message) const;

    Thread mReader;
    Queue<API_Message_t> mResponses;
    Mutex mHandlerMutex;
    EventHandler mHandler = nullptr;
    void* mHandlerUser = nullptr;
    std::atomic<uint16_t> mNextSeqNo;
    std::atomic<bool> mDebug{false};
    std::atomic<bool> mRefusing{false};
    // The one thread admitted while refusing and its deadline; mAdmitMutex
    // is a leaf.
    std::mutex mAdmitMutex;
    std::thread::id mAdmitted;
    TimePoint mAdmittedUntil;
    API_Context_t mLink{};
    SerialPort mPort;
    Mutex mRequestMutex;
    std::atomic<int> mReceiveTimeout{kDefaultReceiveTimeoutMs};
    std::atomic<int> mTransmitRetries{kDefaultTransmitRetries};
    std::atomic<size_t> mSuccesses{0};
    std::atomic<size_t> mFailures{0};
    std::atomic<size_t> mRetransmitted{0};

    // ---- Request catalogue -------------------------------------------------
    // One method per request of the microcontroller. Each returns 0, the
    // reply's Error (1 to 8), 9 when no reply came, 10 when the request could
    // not be sent, 7 when the reply is shorter than the method reads, or 6
    // when an argument is refused (then nothing is sent). Out arguments are
    // written only on 0. Any thread; requests queue on the request mutex.
public:
    // System.
    ErrorCode heartbeat();
    ErrorCode getSystemUptime(unsigned int& uptime);
    ErrorCode getFirmwareVersion(std::string& text);
    ErrorCode getHardwareVersion(std::string& text);
    ErrorCode getHardwareID(std::string& text);
    ErrorCode getHardwareStatus(LPCHWStatus& status);
    ErrorCode getPoleID(std::string& text);
    ErrorCode setFirmwareDefaults();

    // Power and inputs; state 0 off, 1 on.
    ErrorCode setPeripheralPowerState(LPCPeripheral peripheral, int state);
    ErrorCode getPeripheralPowerState(LPCPeripheral peripheral, int& state);
    ErrorCode resetPeripheral(LPCPeripheral peripheral);
    ErrorCode getIgnitionInput(int& state);
    ErrorCode getInput(int& state);
    ErrorCode getSystemVoltage(double& volts);
    // Sends the reset without waiting for a reply: 0 when sent, 10 when not.
    // Counts nothing in the statistics.
    ErrorCode resetSystem();
    ErrorCode delayShutdown();

    // Display brightness.
    ErrorCode setDisplayBacklightLevel(unsigned char level);
    ErrorCode getDisplayBacklightLevel(unsigned char& level);
    ErrorCode getLightSensorLevel(unsigned char& level);
    ErrorCode setDisplayBrightnessMode(int mode);
    ErrorCode getDisplayBrightnessMode(int& mode);

    // Buzzer, case temperature and heater, audio.
    ErrorCode setBuzzerPattern(unsigned short on, unsigned short off, int repeat);
    ErrorCode getCaseTemperature(double& temperature);
    ErrorCode getDeviceHeaterState(int& state);
    // second is 0 when the board reports only one jack.
    ErrorCode getAudioJackState(int& first, int& second);
    ErrorCode setAudioJackSelectionAuto();
    ErrorCode setAudioChannel(int channel);
    ErrorCode getAudioChannel(int& channel);
    ErrorCode setAmplifierState(int state);
    ErrorCode getAmplifierState(int& state);
    ErrorCode setAudioMute(int mute);
    ErrorCode getAudioMute(int& mute);

    // LEDs. A pattern sends at most its first kMaxLedSteps steps.
    static constexpr size_t kMaxLedSteps = 6;
    ErrorCode setLEDPattern(const std::vector<LPCLEDStep>& steps, int repeat);
    ErrorCode setLEDState(unsigned int colour);
    ErrorCode clearLEDState();

    // GPIO pins.
    ErrorCode setIOMode(int pin, int mode);
    ErrorCode setDigitalOutputState(int pin, int value);
    ErrorCode getDigitalInputState(int pin, int& value);
    ErrorCode getAnalogInputState(int pin, unsigned short& value);
    ErrorCode setPullResistor(int pin, int resistor);
    ErrorCode getIOMode(int pin, int& mode);
    ErrorCode getDigitalOutputState(int pin, int& value);
    ErrorCode getPullResistor(int pin, int& resistor);

    // LCD. Texts are cut to their first kMaxScreenText octets.
    static constexpr size_t kMaxScreenText = 150;
    ErrorCode screenOff();
    ErrorCode screenOn();
    ErrorCode screenClear();
    ErrorCode screenGetWidth(int& pixels);
    ErrorCode screenGetHeight(int& pixels);
    ErrorCode screenStatus(LPCScreenStatus& status);
    ErrorCode screenSetFont(LPCScreenFont font);
    ErrorCode screenSetFontSpacing(int spacing);
    ErrorCode screenSetTextAlign(LPCScreenAlignment align);
    ErrorCode screenRemoveObject(unsigned int id);
    ErrorCode screenErase(int x, int y, int width, int height, unsigned int& id);
    ErrorCode screenText(unsigned int& id, int x, int y, const std::string& text, int width, int height);
    ErrorCode screenDrawBitmap(unsigned int& id, int bank, int x, int y, int width, int height);
    // Colour: red in bits 0-7, green in 8-15, blue in 16-23.
    ErrorCode screenSetBacklight(unsigned int colour);
    ErrorCode screenGetBacklight(unsigned int& colour);

    // Serial ports, printer, inertial unit.
    ErrorCode setSerialProtocol(int port, LPCSerialProtocol protocol);
    ErrorCode getSerialProtocol(int port, LPCSerialProtocol& protocol);
    ErrorCode setSerialDuplex(int port, LPCSerialDuplex duplex);
    ErrorCode getSerialDuplex(int port, LPCSerialDuplex& duplex);
    ErrorCode openPrinterCover();
    ErrorCode getImuRawData(IMUData& data);
    ErrorCode getImuTotalAcceleration(double& value);

    // Bootloader. Bit 0 of the boot flags cannot be cleared: 6.
    ErrorCode getBootStatus(int& status);
    ErrorCode getBootFlags(std::bitset<16>& flags);
    ErrorCode setBootFlags(const std::bitset<16>& flags);
    ErrorCode setBootFlagBit(unsigned char bit);
    ErrorCode clearBootFlagBit(unsigned char bit);

private:
    // The path every request shares: 6 when the request does not fit a
    // message; otherwise draws the sequence number, runs the exchange and
    // returns its result, or 7 when a reply with Error 0 holds fewer than
    // minSize octets. reply is meaningful only on 0.
    ErrorCode runRequest(const LpcRequest& request, uint16_t minSize, API_Message_t& reply);
    // A request whose reply carries nothing the caller reads.
    ErrorCode command(const LpcRequest& request);
    // A request whose reply of at least minSize octets is handed to decode
    // (called only on success, so out arguments change only then).
    template <typename Decode>
    ErrorCode query(const LpcRequest& request, uint16_t minSize, Decode decode);
    // ---- End of request catalogue ------------------------------------------

    // ---- Firmware parameters and segmented downloads ----------------------
public:
    static constexpr size_t kMaxParameterName = 29;
    static constexpr size_t kMaxParameterText = 49;
    static constexpr size_t kSegmentSize = 128;
    // What the segment fields can count: bitmaps carry their segment count
    // in one octet and their size in 16 bits, firmware its count in 16 bits.
    static constexpr size_t kMaxBitmapSegments = 255;
    static constexpr size_t kMaxBitmapSize = 65535;
    static constexpr size_t kMaxFirmwareSegments = 65535;
    static constexpr int kDownloadReceiveTimeoutMs = 1000;

    // Reads a named parameter: an unsigned integer, a double or a string
    // Variant. 6 for a name over 29 octets (nothing sent); 2 when the reply
    // does not echo the name or does not fit its type code. value is written
    // only on 0.
    ErrorCode getFirmwareParameter(const std::string& name, Variant& value);
    // Writes a signed integer, double or string value; 6 (nothing sent) for
    // a name over 29 octets, a text over 49 or any other type.
    ErrorCode setFirmwareParameter(const std::string& name, const Variant& value);
    // Stores a bitmap in an LCD bank, zero-run compressed when asked and
    // when that makes it shorter. 6 (nothing sent) when the data needs more
    // than 255 segments or its size exceeds 65535 octets. Stops at the first
    // failing segment and returns its result.
    ErrorCode screenStoreBitmap(int bank, int width, int height, const std::vector<unsigned char>& data,
                                bool compress);
    // Downloads a firmware image to the bootloader with a receive timeout of
    // 1000 ms, restored afterwards on every path. Delivers "downloadProgress"
    // events 0, every 4096 octets, and 100 on this thread to the event handler,
    // which must not start another download. 6 (nothing sent) when the image
    // needs more than 65535 segments. Stops at the first failing segment.
    ErrorCode updateFirmware(const std::vector<unsigned char>& image);

private:
    using Octets = std::vector<unsigned char>;
    // Returns the compressed size when the compressed form is kept (then in
    // compressed), 0 when the data is to be sent as it is.
    size_t compressData(const Octets& data, Octets& compressed);
    ErrorCode screenStoreBitmapSegment0(int bank, int width, int height, size_t size, int segments,
                                        size_t compressedSize);
    ErrorCode screenStoreBitmapSegmentN(Octets::const_iterator& position, size_t count, int segment);
    ErrorCode downloadFirmwareSegment0(size_t size, unsigned int crc, int segments);
    ErrorCode downloadFirmwareSegmentN(Octets::const_iterator& position, size_t count, int segment);
    void notifyProgress(int percent);

    // One bitmap upload or firmware download at a time: their segments
    // would otherwise interleave on the link. A second one waits. Held while
    // progress events run; taken before the request mutex.
    Mutex mDownloadMutex;
    // ---- End of firmware parameters and segmented downloads ---------------
};
