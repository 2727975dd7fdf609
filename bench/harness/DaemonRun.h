#pragma once
// The whole daemon for the benchmarks: a copy of the Release executable
// (DaemonProcess) in service mode on an unpaced simulated board of this
// process, with its MQTT client on a private mosquitto and its TCP service
// on a free loopback port, configured by a file in the copy's directory
// (a full "mqtt" section, the "tcp" port, nothing else: no status polling).
// Beside it the peers the benchmarks measure with: a buffered TCP line
// socket and an MQTT client that stamps every message on arrival.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <mqtt/async_client.h>
#include <nlohmann/json.hpp>

#include "app/DaemonProcess.h"
#include "sim/SimulatedBoard.h"
#include "support/MosquittoBroker.h"

using BenchClock = std::chrono::steady_clock;

// Milliseconds from start to end.
double msBetween(BenchClock::time_point start, BenchClock::time_point end);

// One TCP connection read through a buffer, so the measuring side costs one
// system call per reply instead of one per octet. Unconnected on failure.
class LineSocket {
public:
    LineSocket() = default;
    ~LineSocket();
    LineSocket(LineSocket&& other) noexcept;
    LineSocket& operator=(LineSocket&& other) noexcept;
    LineSocket(const LineSocket&) = delete;
    LineSocket& operator=(const LineSocket&) = delete;

    // Connects to 127.0.0.1:port; false when nobody listens there.
    bool connect(unsigned short port);
    bool connected() const { return mFd >= 0; }
    // Sends the line and "\r\n"; false when the connection failed.
    bool send(const std::string& line);
    // The next line without its end; nullopt after timeoutMs or on close.
    std::optional<std::string> next(int timeoutMs);

private:
    int mFd = -1;
    std::string mBuffered;
};

// Threading: the library's thread appends to the message list under mMutex;
// the benchmark's thread waits on it.
class MqttRecorder {
public:
    struct Message {
        std::string topic;
        std::string payload;
        BenchClock::time_point arrived;
    };

    // Connects to the broker at url with a clean session; throws the
    // library's exception when it cannot.
    MqttRecorder(const std::string& url, const std::string& clientId);
    ~MqttRecorder();

    void subscribe(const std::string& topic);
    // Publishes at QoS 0. At QoS 1 the broker's acknowledgement to us and the
    // message that answers it would leave the broker as two small segments,
    // and mosquitto, which does not set TCP_NODELAY, holds the second until
    // our delayed ACK (about 40 ms): that would measure the broker.
    void publish(const std::string& topic, const std::string& payload);
    // Takes messages until one on topic whose JSON payload satisfies accept
    // (any when accept is empty) and returns it; nullopt after timeoutMs.
    std::optional<Message> waitFor(const std::string& topic,
                                   const std::function<bool(const nlohmann::json&)>& accept, int timeoutMs);

private:
    mqtt::async_client mClient;
    std::mutex mMutex;
    std::condition_variable mArrived;
    std::deque<Message> mMessages;
};

class DaemonRun {
public:
    // The board, the broker and the configuration file; no daemon yet.
    DaemonRun();

    // Starts the daemon, its log at the default level mirrored to its
    // standard error file. Throws std::runtime_error when it cannot start.
    void start();
    // Connects to the TCP service, retrying every millisecond, and reads the
    // greeting; throws std::runtime_error (with the daemon's log) when none
    // came within timeoutMs.
    LineSocket connect(int timeoutMs);
    pid_t pid() const { return daemon.pid(); }
    // The topic under the daemon's topic root.
    static std::string topic(const std::string& relative);
    // Throws std::runtime_error with what and the daemon's log.
    [[noreturn]] void fail(const std::string& what) const;

    SimulatedBoard board;
    MosquittoBroker broker;
    DaemonProcess daemon;
    const unsigned short tcpPort;
};

// A note for the figures' reader when this machine has no system logger:
// every log line of the daemon then goes to the console (the log is opened
// with LOG_CONS), and the per-request lines' cost is the console's. Empty
// when /dev/log is there.
std::string loggerNote();

// Round trips of count bare heartbeat exchanges in milliseconds: LPCDriver
// on an unpaced simulated board of this process, no daemon in between.
std::vector<double> bareHeartbeatMs(size_t count);
