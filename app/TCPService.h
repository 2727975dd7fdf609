#pragma once
// tavo::Board::TCP::Service: the board's line-oriented TCP command service.
// It listens on one port, serves one client at a time (a new client replaces
// the old one), greets it with the program's version, reads one request per
// line, splits it at unescaped commas, runs the command's handler from
// mCommands against the manager and answers one "ok..." or "error,..." line.
// As an observer of the manager it writes every event to the client as an
// "event,..." line.
//
// The code is split by concern: TCPService.cpp (life cycle, loop, events,
// parsing), TCPCommands.cpp (the command table and the commands without
// arguments), TCPCommandsBoard.cpp (GPIO, bootloader, LED, parameter,
// serial-port and peripheral commands), TCPCommandsDevice.cpp (system,
// display, audio and LCD commands with arguments) and TCPCommandsBitmap.cpp
// (LCD bitmap storage).
//
// What one client makes the service hold: its pending line counts every
// octet received, carriage returns included, so `inbox` holds at most
// TCPClient::MAX_LINE octets and one read (an upload takes its octets from
// it as they come, up to the size it declared); the kernel holds at most
// twice SEND_BUFFER and twice RECEIVE_BUFFER for it.
//
// Threading:
// - start, stop, reset, configSet, configGet and configPreview may come from
//   any thread (main, configuration, stop); lifecycleMutex serialises them
//   and guards `config`. stop holds it while it joins the loop and writer
//   threads, which never take it.
// - The loop thread accepts clients, reads requests and runs every handler,
//   so requests reach the manager one at a time. It alone owns the
//   connection (`connection`): it alone replaces and closes it, and reads
//   from it (through the borrowed `reader`, with `inbox` and `readTimeout`)
//   without holding any lock. stop closes it too, but only once the loop and
//   writer threads have been joined.
// - Every write goes through the borrowed `client` under clientMutex, held
//   while one whole line is written, so lines never interleave. A borrowed
//   copy never closes the descriptor: a writer that drops the client, and
//   stop, only shut the socket down (shutdown(SHUT_RDWR)), which wakes the
//   loop's wait for octets; the loop then closes the descriptor. So no
//   thread ever reads or writes a descriptor number that was closed and
//   handed out again. A client that cannot take a whole line within the
//   write time-out (a deadline for the line, not for each send) is dropped.
// - How long each thread holds clientMutex: the writer thread one line, then
//   it lets the lock go and, while any other thread waits for it (they take
//   it through ClientLock, counted in `clientWaiters`), does not take it
//   again; the loop thread one line (a reply, the greeting, the upload
//   prompt) or no I/O at all; stop no I/O. So a stop, a new client or a
//   reply waits for at most one line's write time-out.
// - While the loop waits for octets it holds no lock and looks, whenever the
//   wait ends (octets came, or the read time-out passed), whether the
//   service stops or a new client waits; then it abandons the partial line
//   or upload. So a client that drips octets holds neither the writer nor
//   the stop nor a new client for longer than one read time-out.
// - onEvent runs on the serial reader thread. It only appends the event
//   line to a bounded queue (queueMutex guards `events` and the four members
//   after it, and is never held during I/O) and never touches the client,
//   so a client that stops reading cannot stall device replies. The writer
//   thread alone sends the queued lines; a full queue drops the client. From
//   the ">" prompt of a bitmap upload until the end of its turn (after its
//   reply, if it has one) the queue is held (a larger bound applies), so the
//   prompt and the reply stay one line; the lines it held drain under that
//   larger bound.
// - Lock order: lifecycleMutex, then clientMutex, then queueMutex. A thread
//   holding a later one never takes an earlier one; no lock is held while
//   waiting for the client's octets.
// - `running` is atomic; `server`, `listenPort` and `listenAddress` belong to
//   the loop thread while it runs and to the lifecycle calls otherwise. So
//   stop never touches the listener: it sets `wakeUp`, which ends the loop's
//   wait for a client and its pause between attempts to listen again at
//   once, and which start clears. A client accepted as the stop begins is
//   closed ungreeted: adopt looks at `running` under clientMutex, which stop
//   takes to shut the client down only once `running` is false.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/TCPConfig.h"
#include "board/ErrorCode.h"
#include "board/Manager.h"
#include "board/Observer.h"
#include "foundation/Log.h"
#include "foundation/TestHook.h"
#include "messaging/TCPClient.h"
#include "messaging/TCPServer.h"
#include "messaging/WakeUp.h"

namespace tavo::Board::TCP {

class Service : public Logger, public tavo::Board::Observer {
public:
    using Tokens = std::vector<std::string>;
    using Handler = std::string (Service::*)(const Tokens& tokens);

    // Event lines waiting for the client beyond this drop the client: about
    // one write time-out's worth at 1,000 events a second.
    static constexpr size_t MAX_QUEUED_EVENTS = 1024;
    // The bound while a bitmap upload holds the event lines back.
    static constexpr size_t MAX_HELD_EVENTS = 8192;
    // A client must take each line within this time.
    static constexpr int WRITE_TIMEOUT_MS = 1000;
    // SO_SNDBUF of an accepted client, so that a client that stops reading
    // is dropped after a bounded number of octets (twice this, as Linux
    // counts, plus what the client's receive buffer holds) on every host,
    // whatever the system's send buffer tuning.
    static constexpr int SEND_BUFFER = 64 * 1024;
    // SO_RCVBUF of an accepted client, for the same reason: octets a client
    // sends beyond what the service takes wait in the client's own buffers.
    static constexpr int RECEIVE_BUFFER = 64 * 1024;
    static constexpr int READ_TIMEOUT_MS = 300;
    // The read time-out from a bitmap upload on, for the rest of the
    // connection.
    static constexpr int UPLOAD_READ_TIMEOUT_MS = 2000;
    static constexpr int ACCEPT_TIMEOUT_MS = 500;

    // Stores the three values; the settings start at their defaults. Does
    // not listen. Throws std::runtime_error when it cannot make its wake-up
    // descriptor.
    Service(std::shared_ptr<Manager> manager, unsigned long port, bool global);
    // The service must have been stopped.
    ~Service() override = default;
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Listens and starts the loop. The port is the constructor's unless that
    // is the default port, then the "port" setting; the address "0.0.0.0"
    // when global, else the "address" setting. Throws std::runtime_error
    // when it cannot listen, and stays stopped. Nothing when running.
    void start();
    // Ends the loop, drops the client, closes the listener. Safe when stopped.
    void stop();
    // Stops and starts again when running (throws as start); else nothing.
    void reset();
    // Merges the object into the settings and resets a running service. A
    // setting Config::fromJson refuses throws its SettingError, and changes
    // nothing.
    void configSet(const nlohmann::json& j);
    // The settings as a JSON object.
    nlohmann::json configGet() const;
    // configGet as it would be after configSet(j), merged into a copy; never
    // throws a SettingError.
    nlohmann::json configPreview(const nlohmann::json& j) const;

    // Queues the event's line for the client; lost when no client is there.
    void onEvent(const LPCEvent& event) override;

    // Splits one request line, runs its handler and returns the reply line.
    std::string parse(const std::string& line);
    // For tests: the capacity of the read buffer. Only while no client is
    // connected (the loop thread owns the buffer while one is).
    size_t inboxCapacity();
    // The reply line of a manager result ("ok" for Ok).
    static std::string renderErrorCode(ErrorCode code);
    // Every command word of the table, in byte order (help's order).
    static std::vector<std::string> commandWords();

    // Test seams: on the loop thread between accepting a client and taking
    // it on; on the stopping thread once the loop is told to end.
    TestHook clientAccepted;
    TestHook stopBegun;

private:
    static const std::map<std::string, Handler> mCommands;

    // Caller holds lifecycleMutex.
    void startLocked();
    void stopLocked();
    void resetLocked();

    void loop();
    // One turn of the loop: take a new client, then read and answer one line.
    void serveTurn();
    // After a failed accept: logs it and listens again until it works or the
    // service stops.
    void relisten(const std::string& error);
    // Makes the client the connection and greets it; closes it instead when
    // the service stops.
    void adopt(TCPClient fresh);
    void writerLoop();

    // clientMutex for every thread but the writer: the writer lets it go to
    // a holder of this before its next line.
    class ClientLock {
    public:
        explicit ClientLock(Service& service);

    private:
        std::unique_lock<std::mutex> lock;
    };

    // Writes one line to the client, dropping (shutting down) a client that
    // cannot take it whole. Caller holds clientMutex.
    void sendLocked(const std::string& line);
    // Writer thread: sends the next queued event line unless the lines are
    // held, drops the client when the queue overflowed, and forgets the
    // lines when no client is there. Caller holds clientMutex.
    void sendEventLocked();
    // Ends the hold of an upload: the lines held drain under the larger
    // bound.
    void releaseEvents();
    void dropClientLocked(const char* reason);
    // Writes one line under clientMutex; for handlers that write before
    // their reply.
    void sendLine(const std::string& line);

    // The reply of a getter: its failure rendered, else "ok," and the text.
    template <typename T, typename Format>
    std::string valueReply(ErrorCode (Manager::*get)(T&), Format format);

    // Whether token `index` exists and is a decimal integer; then `value` is
    // its value (a leading 0 reads octal).
    static bool numberAt(const Tokens& tokens, size_t index, long long& value);
    // The frame of the setters that take exactly one number: error,2 for
    // another token count, error,6 for a non-number, else apply's result
    // rendered.
    std::string exactlyOneNumber(const Tokens& tokens, const std::function<ErrorCode(long long)>& apply);

    // Handlers of the commands without arguments (TCPCommands.cpp).
    std::string audioChannelSelectionAutoSet(const Tokens& tokens);
    std::string lcdOn(const Tokens& tokens);
    std::string lcdOff(const Tokens& tokens);
    std::string lcdClear(const Tokens& tokens);
    std::string ledOff(const Tokens& tokens);
    std::string systemReset(const Tokens& tokens);
    std::string openPrinterCover(const Tokens& tokens);
    std::string heartbeatSend(const Tokens& tokens);
    std::string parametersDefaults(const Tokens& tokens);
    std::string gpioIgnitionInputGet(const Tokens& tokens);
    std::string gpioInputGet(const Tokens& tokens);
    std::string systemUptimeGet(const Tokens& tokens);
    std::string systemVoltageGet(const Tokens& tokens);
    std::string caseTemperatureGet(const Tokens& tokens);
    std::string caseHeaterEnabledGet(const Tokens& tokens);
    std::string firmwareVersionGet(const Tokens& tokens);
    std::string hardwareVersionGet(const Tokens& tokens);
    std::string hardwareIDGet(const Tokens& tokens);
    std::string poleIDGet(const Tokens& tokens);
    std::string hardwareStatusGet(const Tokens& tokens);
    std::string getImuRawData(const Tokens& tokens);
    std::string getImuTotalAcceleration(const Tokens& tokens);
    std::string audioJackConnectedGet(const Tokens& tokens);
    std::string audioChannelSelectedGet(const Tokens& tokens);
    std::string audioMutedGet(const Tokens& tokens);
    std::string displayBrightnessGet(const Tokens& tokens);
    std::string displayBrightnessSensorGet(const Tokens& tokens);
    std::string displayBrightnessModeGet(const Tokens& tokens);
    std::string lcdSizeGet(const Tokens& tokens);
    std::string lcdStatusGet(const Tokens& tokens);
    std::string bootloaderFlagsGet(const Tokens& tokens);
    std::string bootloaderStatus(const Tokens& tokens);
    std::string printHelp(const Tokens& tokens);

    // GPIO, bootloader, LED, parameter, serial-port and peripheral commands
    // (TCPCommandsBoard.cpp).
    std::string gpioPullResistorSet(const Tokens& tokens);
    std::string gpioPullResistorGet(const Tokens& tokens);
    std::string gpioModeSet(const Tokens& tokens);
    std::string gpioModeGet(const Tokens& tokens);
    std::string gpioDigitalOutputSet(const Tokens& tokens);
    std::string gpioDigitalOutputGet(const Tokens& tokens);
    std::string gpioDigitalInputGet(const Tokens& tokens);
    std::string gpioAnalogInputGet(const Tokens& tokens);
    std::string bootloaderFlagsSet(const Tokens& tokens);
    std::string bootloaderFlagsBitSet(const Tokens& tokens);
    std::string bootloaderFlagsBitClear(const Tokens& tokens);
    std::string ledPlay(const Tokens& tokens);
    std::string ledColorSet(const Tokens& tokens);
    std::string parametersGet(const Tokens& tokens);
    std::string parametersSet(const Tokens& tokens);
    std::string serialProtocolSet(const Tokens& tokens);
    std::string serialProtocolGet(const Tokens& tokens);
    std::string serialDuplexSet(const Tokens& tokens);
    std::string serialDuplexGet(const Tokens& tokens);
    std::string peripheralPoweredSet(const Tokens& tokens);
    std::string peripheralPoweredGet(const Tokens& tokens);
    std::string peripheralReset(const Tokens& tokens);
    // getDigitalInput and getAnalogInput: makes the pin an input of the
    // encoding, then reads it.
    std::string pinInputGet(const Tokens& tokens, GPIO::Encoding encoding);

    // System, display, audio and LCD commands with arguments
    // (TCPCommandsDevice.cpp).
    std::string buzzerPlay(const Tokens& tokens);
    std::string firmwareUpdate(const Tokens& tokens);
    std::string debugEnabledSet(const Tokens& tokens);
    std::string displayBrightnessSet(const Tokens& tokens);
    std::string displayBrightnessModeSet(const Tokens& tokens);
    std::string audioChannelSelectedSet(const Tokens& tokens);
    std::string audioMutedSet(const Tokens& tokens);
    std::string lcdFontSet(const Tokens& tokens);
    std::string lcdDrawText(const Tokens& tokens);
    std::string lcdTextAlignSet(const Tokens& tokens);
    std::string lcdDrawBitmap(const Tokens& tokens);
    std::string lcdBacklightSet(const Tokens& tokens);
    std::string lcdRemoveObject(const Tokens& tokens);

    // LCD bitmap storage (TCPCommandsBitmap.cpp). The buffer form prompts
    // with ">" and reads the announced octets, up to IMAGE_MAX_BUFFER.
    std::string lcdBitmapStoreFile(const Tokens& tokens);
    std::string lcdBitmapStoreBuffeer(const Tokens& tokens);

    // How a wait for the client's octets ended.
    enum class Wait { Octets, TimedOut, Gone, Abandoned };
    // Loop thread: waits up to the read time-out for octets and appends what
    // came to `inbox`. Abandoned when the service stops or a new client
    // waits; Gone (the connection closed) when the client went away.
    Wait receive();
    // Loop thread: the next request line, without its line end and carriage
    // returns. False when none is complete within the read time-out between
    // octets (the part so far is dropped), when the turn is abandoned or
    // the client went away or sent a line beyond TCPClient::MAX_LINE.
    bool readLine(std::string& line);
    // Loop thread, for the bitmap upload: prompts with ">", holds the event
    // lines until the reply is sent, and reads `size` octets with the upload
    // read time-out, which stays for the rest of the connection. Abandoned
    // (and `abandoned` set: no reply) on a stop, a new client or a client
    // that went away; TimedOut when the octets stop coming.
    Wait receiveUpload(std::vector<unsigned char>& octets, size_t size);
    // Loop thread: closes the connection.
    void closeClient();

    TCPServer server;
    WakeUp wakeUp;
    // Borrowed from `connection`: every write goes through it.
    TCPClient client;
    Config config;
    std::shared_ptr<Manager> manager;
    std::thread thread;
    std::atomic<bool> running{false};
    unsigned long port;
    bool global;

    unsigned short listenPort = 0;
    std::string listenAddress;
    std::thread writer;
    mutable std::mutex lifecycleMutex;
    std::mutex clientMutex;
    std::mutex queueMutex;
    std::condition_variable queued;
    std::deque<std::string> events;
    bool eventsOverflowed = false;
    bool eventsHeld = false;
    // The first lines of `events`, released by an upload's reply, that do
    // not count toward MAX_QUEUED_EVENTS.
    size_t eventsReleased = 0;
    // Threads waiting in ClientLock.
    int clientWaiters = 0;

    // The loop thread's own (see Threading).
    TCPClient connection;
    TCPClient reader;
    std::string inbox;
    int readTimeout = READ_TIMEOUT_MS;
    // Set when a request's turn was abandoned: its reply is not sent.
    bool abandoned = false;
};

} // namespace tavo::Board::TCP
