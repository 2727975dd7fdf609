#pragma once
// The whole daemon in service mode, end to end: a copy of the executable
// (DaemonProcess) on the simulated board, with its MQTT client on a broker
// of the test's own, its TCP service on a free loopback port, a
// configuration file of the test's and an MQTT peer that watches and drives
// it under the topic root.

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "DaemonProcess.h"
#include "messaging/MqttPeer.h"
#include "messaging/TCPClient.h"
#include "sim/SimulatedBoard.h"
#include "support/MosquittoBroker.h"

constexpr int kStartMs = 30000;
constexpr int kStopMs = 15000;
// Waits for something the daemon does on its own or at a peer's request.
constexpr int kReactMs = 10000;

// The configuration file a service-mode daemon starts with: a full "mqtt"
// section for the broker at mqttUrl (topic root "tavo/lumacore", a client id
// of its own) and a "tcp" section with the port.
nlohmann::json serviceConfig(const std::string& mqttUrl, unsigned short tcpPort);
// Writes the document to path as the daemon would read it.
void writeJson(const std::string& path, const nlohmann::json& document);
// The wait status's exit code; -1 when the process did not exit.
int exitCode(int status);
// The next line from a TCP peer; "(none)" when none came.
std::string nextLine(TCPClient& from);

class ServiceDaemon {
public:
    ServiceDaemon();

    // Writes the configuration file: serviceConfig merged with extra.
    void writeConfig(const nlohmann::json& extra = nlohmann::json::object());
    // Starts the daemon on the board and the file, at the debug level, or
    // at its default (Info) level when debugLog is false.
    void launch();
    // writeConfig and launch, then waits until the daemon blocks with its
    // services started and the peer holds the retained "status"; false
    // (with the log) otherwise. A port found free may be taken before the
    // daemon listens on it (as any connection's local port): the daemon then
    // starts again, on another.
    ::testing::AssertionResult run(const nlohmann::json& extra = nlohmann::json::object());

    std::string configPath() const { return daemon.dir().file("lumacore.json"); }
    nlohmann::json configFile() const;
    // Connects to the TCP service on port (the configured one for 0) and
    // reads the greeting, which must be the version line.
    TCPClient connect(unsigned short port = 0);
    // One request line and its reply.
    static std::string request(TCPClient& client, const std::string& line);
    // The peer's next message on the topic under the topic root, parsed;
    // null when none came within timeoutMs or it is no JSON.
    nlohmann::json next(const std::string& topic, int timeoutMs = kReactMs);
    void publish(const std::string& topic, const nlohmann::json& payload);
    // Subscribes the peer to these topics under the topic root.
    void subscribe(std::initializer_list<const char*> topics);

    SimulatedBoard board;
    MosquittoBroker broker;
    DaemonProcess daemon;
    // Free when the daemon starts; run picks another when it was taken.
    unsigned short tcpPort;
    bool debugLog = true;
    std::unique_ptr<MqttPeer> peer;
};
