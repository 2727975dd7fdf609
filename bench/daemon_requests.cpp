// Daemon request benchmark: the Release daemon on an unpaced simulated board
// and a private mosquitto (harness/DaemonRun.h), measured from its peers.
// Prints one line per figure, with the load average beside it:
// - TCP round trips of "getFWVer" (answered by the manager from what it read
//   at start, no device request) and of "heartbeat" (one serial exchange),
//   10,000 each on one connection, p50 and p99; beside the heartbeat the
//   bare exchange (LPCDriver on the same kind of board, no daemon);
// - an MQTT "gpio/set" from a Paho client (QoS 0) until the new value is
//   published, 2,000 sets, p50 and p99;
// - an MQTT set of "config/tcp" in the RPC form until its reply, 200 sets,
//   p50 and p99: each restarts the TCP service, though it changes nothing;
// - an indication of the board until its TCP event line and its "event"
//   message arrive, 1,000 events, p50 and p99;
// - the daemon's peak resident memory (VmHWM) after 20 requests of 40 MB
//   ("[0,0,...]") on "led/color/set", each refused for its size; the figure
//   includes the MQTT library's own copy of each message.
// Each series is preceded by a few unmeasured requests to warm up.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "harness/DaemonRun.h"
#include "harness/Figures.h"

namespace {

constexpr int kStartMs = 30000;
constexpr int kReplyMs = 5000;
constexpr int kWarmUp = 100;
constexpr size_t kTcpRequests = 10000;
constexpr size_t kMqttSets = 2000;
constexpr size_t kTcpConfigSets = 200;
constexpr size_t kTcpConfigWarmUp = 10;
constexpr size_t kEvents = 1000;
constexpr size_t kLargeRequests = 20;
constexpr size_t kLargeOctets = 40 * 1000 * 1000;
// A pin the simulated board has, made an output for the sets.
constexpr int kPin = 1;

std::string percentiles(const std::vector<double>& ms)
{
    char text[96];
    std::snprintf(text, sizeof text, "p50 %.3f ms, p99 %.3f ms", percentile(ms, 50), percentile(ms, 99));
    return text;
}

std::vector<double> tcpRoundTrips(DaemonRun& run, LineSocket& tcp, const std::string& request, size_t count)
{
    std::vector<double> times;
    for (size_t i = 0; i < count + kWarmUp; ++i) {
        const auto start = BenchClock::now();
        if (!tcp.send(request))
            run.fail("the TCP request could not be sent");
        const auto reply = tcp.next(kReplyMs);
        if (!reply || reply->rfind("ok", 0) != 0)
            run.fail(request + " answered \"" + reply.value_or("(nothing)") + "\"");
        if (i >= kWarmUp)
            times.push_back(msBetween(start, BenchClock::now()));
    }
    return times;
}

void measureTcp(DaemonRun& run)
{
    LineSocket tcp = run.connect(kStartMs);
    printFigure("TCP getFWVer round trip, 10000 requests: " + percentiles(tcpRoundTrips(run, tcp, "getFWVer", kTcpRequests)) +
                " (target p50 <= 0.1 ms, p99 <= 1 ms)");
    const std::vector<double> heartbeats = tcpRoundTrips(run, tcp, "heartbeat", kTcpRequests);
    const std::vector<double> bare = bareHeartbeatMs(kTcpRequests);
    char extra[128];
    std::snprintf(extra, sizeof extra, "; bare exchange %s, p50 %.3f ms above it", percentiles(bare).c_str(),
                  percentile(heartbeats, 50) - percentile(bare, 50));
    printFigure("TCP heartbeat round trip, 10000 requests: " + percentiles(heartbeats) + extra +
                " (target p50 <= 0.5 ms, p99 <= 2 ms, at most 0.1 ms above the bare exchange)");
}

void measureMqtt(DaemonRun& run, MqttRecorder& peer)
{
    peer.subscribe(DaemonRun::topic("gpio"));
    const std::string pin = std::to_string(kPin);
    const auto set = [&](const nlohmann::json& change, int value) {
        const auto start = BenchClock::now();
        peer.publish(DaemonRun::topic("gpio/set"), nlohmann::json{{pin, change}}.dump());
        const auto published = peer.waitFor(
            DaemonRun::topic("gpio"),
            [&](const nlohmann::json& gpio) { return gpio.is_object() && gpio.value(pin, nlohmann::json())["value"] == value; },
            kReplyMs);
        if (!published)
            run.fail("gpio/set was not answered by the new value");
        return msBetween(start, published->arrived);
    };
    set({{"mode", "digitalOut"}, {"value", 0}}, 0);
    std::vector<double> times;
    for (size_t i = 0; i < kMqttSets + kWarmUp; ++i) {
        const int value = static_cast<int>((i + 1) % 2);
        const double ms = set({{"value", value}}, value);
        if (i >= kWarmUp)
            times.push_back(ms);
    }
    printFigure("MQTT gpio/set until the new value is published, 2000 sets: " + percentiles(times) +
                " (target p50 <= 1 ms, p99 <= 5 ms)");
}

void measureTcpConfig(DaemonRun& run, MqttRecorder& peer)
{
    const std::string set = DaemonRun::topic("config/tcp/set/request/bench/");
    const std::string response = DaemonRun::topic("config/tcp/set/response/bench/");
    peer.subscribe(response + "+");
    std::vector<double> times;
    for (size_t i = 0; i < kTcpConfigSets + kTcpConfigWarmUp; ++i) {
        const std::string id = std::to_string(i);
        const auto start = BenchClock::now();
        peer.publish(set + id, nlohmann::json{{"port", run.tcpPort}}.dump());
        const auto reply = peer.waitFor(response + id, nullptr, kReplyMs);
        const nlohmann::json answer = nlohmann::json::parse(reply ? reply->payload : "", nullptr, false);
        if (!answer.is_object() || answer.value("completed", false) != true)
            run.fail("config/tcp/set answered \"" + (reply ? reply->payload : "(nothing)") + "\"");
        if (i >= kTcpConfigWarmUp)
            times.push_back(msBetween(start, reply->arrived));
    }
    printFigure("MQTT config/tcp set until its reply, 200 sets: " + percentiles(times));
}

void measureEvents(DaemonRun& run, MqttRecorder& peer)
{
    LineSocket tcp = run.connect(kReplyMs);
    peer.subscribe(DaemonRun::topic("event"));
    std::vector<double> toTcp;
    std::vector<double> toMqtt;
    for (size_t i = 0; i < kEvents + kWarmUp; ++i) {
        const uint8_t value = static_cast<uint8_t>(i % 2);
        const std::string data = std::to_string(kPin) + "," + std::to_string(value);
        const auto start = BenchClock::now();
        run.board.sendIndication(7, 2, {static_cast<uint8_t>(kPin), value});
        const auto line = tcp.next(kReplyMs);
        const auto lineArrived = BenchClock::now();
        if (!line || line->rfind("event,6,InputChanged,", 0) != 0 || line->substr(line->size() - data.size()) != data)
            run.fail("the event line was \"" + line.value_or("(nothing)") + "\"");
        const auto message = peer.waitFor(
            DaemonRun::topic("event"), [&](const nlohmann::json& event) { return event.is_object() && event.value("data", "") == data; },
            kReplyMs);
        if (!message)
            run.fail("no event message");
        if (i >= kWarmUp) {
            toTcp.push_back(msBetween(start, lineArrived));
            toMqtt.push_back(msBetween(start, message->arrived));
        }
    }
    printFigure("event to the TCP event line, 1000 events: " + percentiles(toTcp) + " (target p50 <= 0.5 ms)");
    printFigure("event to the MQTT event message, 1000 events: " + percentiles(toMqtt) + " (target p50 <= 0.5 ms)");
}

void measureLargeRequests(DaemonRun& run, MqttRecorder& peer)
{
    peer.subscribe(DaemonRun::topic("led/color/set/response/bench/+"));
    const long before = peakResidentKilobytes(run.pid());
    // About 20 million zeros: parsed, a JSON tree of some 800 MB.
    std::string payload = "[0";
    payload.reserve(kLargeOctets);
    while (payload.size() + 3 <= kLargeOctets)
        payload += ",0";
    payload += "]";
    for (size_t i = 0; i < kLargeRequests; ++i) {
        const std::string id = std::to_string(i);
        peer.publish(DaemonRun::topic("led/color/set/request/bench/" + id), payload);
        if (!peer.waitFor(DaemonRun::topic("led/color/set/response/bench/" + id), nullptr, 60000))
            run.fail("a 40 MB request was not answered");
    }
    char text[192];
    std::snprintf(text, sizeof text,
                  "peak resident memory after 20 requests of 40 MB on led/color/set: %ld kB (%ld kB before them)",
                  peakResidentKilobytes(run.pid()), before);
    printFigure(text);
}

} // namespace

int main()
{
    try {
        if (!loggerNote().empty())
            std::printf("%s\n", loggerNote().c_str());
        DaemonRun run;
        run.start();
        MqttRecorder peer(run.broker.url(), "bench-peer");
        peer.subscribe(DaemonRun::topic("status"));
        if (!peer.waitFor(DaemonRun::topic("status"), nullptr, kStartMs))
            run.fail("no retained status");
        measureTcp(run);
        measureMqtt(run, peer);
        measureTcpConfig(run, peer);
        measureEvents(run, peer);
        measureLargeRequests(run, peer);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_daemon_requests: %s\n", error.what());
        return 1;
    }
    return 0;
}
