#include "ServiceDaemon.h"

#include <fstream>
#include <sys/wait.h>

namespace {

const std::string kBase = "tavo/lumacore";

} // namespace

nlohmann::json serviceConfig(const std::string& mqttUrl, unsigned short tcpPort)
{
    return {{"mqtt", {{"url", mqttUrl}, {"base", kBase}, {"clientId", "lumacore-under-test"}}},
            {"tcp", {{"port", tcpPort}}}};
}

void writeJson(const std::string& path, const nlohmann::json& document)
{
    std::ofstream(path) << document.dump(4);
}

int exitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string nextLine(TCPClient& from)
{
    std::string text;
    return from.getline(text) ? text : "(none)";
}

ServiceDaemon::ServiceDaemon() : tcpPort(static_cast<unsigned short>(MosquittoBroker::freePort())) {}

void ServiceDaemon::writeConfig(const nlohmann::json& extra)
{
    nlohmann::json config = serviceConfig(broker.url(), tcpPort);
    config.merge_patch(extra);
    writeJson(configPath(), config);
}

void ServiceDaemon::launch()
{
    std::vector<std::string> args{"-d", board.devicePath(), "-e", "-f", configPath()};
    if (debugLog)
        args.push_back("-vvv");
    daemon.start(args);
}

::testing::AssertionResult ServiceDaemon::run(const nlohmann::json& extra)
{
    // The last line of the start-up at each level.
    const char* started = debugLog ? "Main blocks here!" : "Subscriptions thread ended!";
    for (int attempt = 1;; ++attempt) {
        writeConfig(extra);
        launch();
        if (daemon.waitForErr(started, kStartMs))
            break;
        if (attempt == 3 || daemon.err().find("Address already in use") == std::string::npos)
            return ::testing::AssertionFailure() << "not started:\n" << daemon.err();
        daemon.wait(kStopMs);
        tcpPort = static_cast<unsigned short>(MosquittoBroker::freePort());
    }
    peer = std::make_unique<MqttPeer>(broker.url(), "test-peer");
    subscribe({"status", "info", "config"});
    // The status follows the subscription of every topic, which on a loaded
    // host with every log line on takes a while.
    if (next("status", kStartMs).is_null())
        return ::testing::AssertionFailure() << "no status:\n" << daemon.err();
    return ::testing::AssertionSuccess();
}

nlohmann::json ServiceDaemon::configFile() const
{
    return nlohmann::json::parse(readFile(configPath()), nullptr, false);
}

TCPClient ServiceDaemon::connect(unsigned short port)
{
    TCPClient client;
    client.setReadTimeout(kReactMs);
    client.connect("127.0.0.1", port != 0 ? port : tcpPort);
    EXPECT_EQ(nextLine(client), "Lumacore 1.0.28");
    return client;
}

std::string ServiceDaemon::request(TCPClient& client, const std::string& line)
{
    client.println(line);
    return nextLine(client);
}

nlohmann::json ServiceDaemon::next(const std::string& topic, int timeoutMs)
{
    const auto message = peer->next(kBase + "/" + topic, timeoutMs);
    if (!message)
        return nullptr;
    const auto value = nlohmann::json::parse(message->get_payload_str(), nullptr, false);
    return value.is_discarded() ? nlohmann::json() : value;
}

void ServiceDaemon::publish(const std::string& topic, const nlohmann::json& payload)
{
    peer->publish(kBase + "/" + topic, payload.dump());
}

void ServiceDaemon::subscribe(std::initializer_list<const char*> topics)
{
    for (const char* topic : topics)
        peer->subscribe(kBase + "/" + topic);
}
