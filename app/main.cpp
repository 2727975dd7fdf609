// lumacore: the board-management daemon's entry point. Reads the command
// line, opens the log, opens the board through the manager and then either
// runs the serial-link stress test and ends (status 1 when the report could
// not be written), or builds the services around the board (configuration
// file, MQTT client, TCP service and their adaptors), starts them and serves
// until SIGTERM or SIGINT ends it.
//
// Threading: main blocks the stop signals before anything else, so every
// thread inherits the mask; one stop thread takes the first signal and runs
// the stop sequence, which ends the process. The handles of the manager, the
// configuration, the MQTT client and the TCP service are shared with that
// thread under the handles' mutex, which also guards the once-only flag of
// the two ways out: the stop (status 0) and a failed start (status 1).
// Whichever claims it first ends the process; the other does nothing more.
// The main thread holds the start mutex around each start step (the
// configuration's update, the MQTT start, the TCP start) and checks the flag
// first; the stop claims the flag, then waits for the start mutex, so a step
// under way finishes and is stopped with the rest, and none begins after the
// stop. Lock order: the start mutex, the handles' mutex, then each
// component's own. The stop never waits for the start mutex while it holds
// the handles' mutex, and the main thread never holds the start mutex while
// it waits in pause().
//
// The stop is bounded as a whole: on taking the signal the stop thread arms
// the deadline (StopDeadline.h), which ends the process with status 0
// within kStopBound, whatever step is then under way. Before its first line
// the stop has every board request end at once (but the last status's, for
// a short while) and marks the MQTT client, so that neither the board nor a
// restart planned before the signal holds it, and no set begins after it.
// Both ends take the configuration file's lock last, so that the process
// never ends in the middle of a write of the file.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "app/BoardConfigAdaptor.h"
#include "app/BoardMqttAdaptor.h"
#include "app/Config.h"
#include "app/ConfigMqttAdaptor.h"
#include "app/StopDeadline.h"
#include "app/StopSignals.h"
#include "app/TCPConfigAdaptor.h"
#include "app/TCPService.h"
#include "app/version/Version.h"
#include "board/Manager.h"
#include "board/StressTest.h"
#include "foundation/Log.h"
#include "foundation/String.h"
#include "messaging/Client.h"

namespace {

using tavo::Board::Manager;
using tavo::Board::StressTest;

// The process-wide handles that the stop sequence reaches. Never destroyed,
// so a stop that comes while main returns finds them intact.
struct Handles {
    std::mutex start;
    std::mutex mutex;
    bool ending = false;
    std::shared_ptr<Manager> manager;
    std::shared_ptr<MQTT::Client> mqttClient;
    std::shared_ptr<tavo::Board::TCP::Service> tcpService;
};

Handles& handles()
{
    static Handles* instance = new Handles;
    return *instance;
}

template <typename T>
void keep(std::shared_ptr<T> Handles::*handle, std::shared_ptr<T> value)
{
    std::lock_guard<std::mutex> lock(handles().mutex);
    handles().*handle = std::move(value);
}

// True for the first caller only: that one ends the process.
bool claimEnd()
{
    std::lock_guard<std::mutex> lock(handles().mutex);
    return !std::exchange(handles().ending, true);
}

// Stops what exists, the remote interfaces before the board, so they take
// no more requests when the serial link closes; then ends the process.
// _exit instead of exit, because static destructors must not run under the
// reader, timer and library threads that are still alive. A handler that
// outlived the MQTT stop may still be setting the configuration, but no
// longer rewrites the file: a write under way ends before _exit.
[[noreturn]] void stopAndEnd(int status)
{
    std::shared_ptr<MQTT::Client> mqttClient;
    std::shared_ptr<tavo::Board::TCP::Service> tcpService;
    std::shared_ptr<Manager> manager;
    {
        std::lock_guard<std::mutex> lock(handles().mutex);
        mqttClient = handles().mqttClient;
        tcpService = handles().tcpService;
        manager = handles().manager;
    }
    setStopStep("stopping the MQTT client");
    if (mqttClient)
        mqttClient->stop();
    setStopStep("stopping the TCP service");
    if (tcpService)
        tcpService->stop();
    setStopStep("stopping the board manager");
    if (manager)
        manager->stop();
    setStopStep("writing the last log lines");
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::lock_guard<std::mutex> file(tavo::Config::Config::fileLock());
    _exit(status);
}

// The board and the MQTT client as the stop begins: board requests end at
// once, no restart of the client starts it again and sets are refused.
void beginStop()
{
    std::lock_guard<std::mutex> lock(handles().mutex);
    if (handles().manager)
        handles().manager->beginStop();
    if (handles().mqttClient)
        handles().mqttClient->markProcessStop();
}

// Runs step on the main thread unless the stop has begun; false then. The
// stop waits for a step under way, so what the step starts is stopped too.
template <typename Step>
bool startStep(Step step)
{
    std::lock_guard<std::mutex> start(handles().start);
    {
        std::lock_guard<std::mutex> lock(handles().mutex);
        if (handles().ending)
            return false;
    }
    step();
    return true;
}

// On the stop thread, once. Claimed before the wait for a step under way, so
// that a step failing meanwhile leaves the end to this stop; the deadline
// armed then too, so that it counts from the signal; logged after the wait,
// so that nothing a step logs follows the stop's first line.
void stopProcess(int signal)
{
    if (!claimEnd())
        return;
    const bool bounded = armStopDeadline(kStopBound);
    setStopStep("waiting for the start-up step under way");
    std::lock_guard<std::mutex> start(handles().start);
    beginStop();
    Log::info("Signal caught: %s [%d]", strsignal(signal), signal);
    if (!bounded)
        Log::warning("The stop has no time bound: its thread could not start");
    stopAndEnd(0);
}

// On the main thread, when a step of the start threw. A stop already under
// way ends the process itself.
[[noreturn]] void failProcess(const std::exception& error, bool mirrored)
{
    Log::error("%s", error.what());
    if (!mirrored)
        std::cerr << error.what() << std::endl;
    if (claimEnd())
        stopAndEnd(EXIT_FAILURE);
    for (;;)
        pause();
}

// Service mode: builds the services around the manager, wires them, loads
// the configuration and starts the remote interfaces. Each object goes to
// owned as soon as it exists, so a step that throws destroys nothing. False
// when the stop began before every step ran. Throws what a constructor, the
// configuration's update or the TCP service's start throws.
bool startServices(const std::shared_ptr<Manager>& manager, const std::string& configFile, uint32_t port,
                   bool global, std::vector<std::shared_ptr<void>>& owned)
{
    auto config = std::make_shared<tavo::Config::Config>(configFile);
    owned.push_back(config);
    auto mqttClient = std::make_shared<MQTT::Client>("tavo/lumacore", "MQTT");
    keep(&Handles::mqttClient, mqttClient);
    // A set still running when the stop's wait for handlers ends must not
    // rewrite the file after the client has stopped.
    mqttClient->handlersEnded.connect([config] { config->stopRewrites(); });
    auto tcpService = std::make_shared<tavo::Board::TCP::Service>(manager, port, global);
    keep(&Handles::tcpService, tcpService);

    auto configMqtt = std::make_shared<tavo::Config::MqttAdaptor>(config, mqttClient);
    owned.push_back(configMqtt);
    auto boardConfig = std::make_shared<tavo::Board::ConfigAdaptor>(config, manager);
    owned.push_back(boardConfig);
    auto boardMqtt = std::make_shared<tavo::Board::MqttAdaptor>(manager, mqttClient);
    owned.push_back(boardMqtt);
    auto tcpConfig = std::make_shared<tavo::Board::TCP::ConfigAdaptor>(config, tcpService);
    owned.push_back(tcpConfig);

    manager->observerAttach(boardMqtt);
    manager->observerAttach(tcpService);
    config->observerAttach(configMqtt);
    config->observerAttach(boardConfig);
    config->observerAttach(tcpConfig);

    return startStep([&config] { config->update(); }) && startStep([&mqttClient] { mqttClient->start(); }) &&
           startStep([&tcpService] { tcpService->start(); });
}

// The configuration file's default path; the bare name when the executable's
// directory cannot be found, so that building the help text never ends the
// process.
std::string defaultConfigPath()
{
    try {
        return tavo::Config::Config::getDefaultConfigFilepath();
    } catch (const std::exception&) {
        return getDefaultConfigFile();
    }
}

Log::Level toLogLevel(uint32_t level)
{
    switch (level) {
    case 0:
        return Log::Error;
    case 1:
        return Log::Warning;
    case 2:
        return Log::Info;
    default:
        return Log::Debug;
    }
}

} // namespace

int main(int argc, char** argv)
{
    blockStopSignals();
    startStopThread(stopProcess);

    std::string device = getDefaultDevice();
    std::string configFile;
    uint32_t port = getDefaultPort();
    uint32_t level = 2;
    uint32_t stressSeconds = 60;
    std::string stressOutput = "stress-test-report.json";
    StressTest::Format stressFormat = StressTest::Format::json;
    const std::map<std::string, StressTest::Format> formats{{"ini", StressTest::Format::ini},
                                                            {"json", StressTest::Format::json}};

    const std::string description = String::format("%s v%s (%s, %s)", getProjectDescription(), getProjectVersion(),
                                                   getProgramBuildDate(), getProgramBuildTime());
    CLI::App app{description};
    app.add_option("device,-d,--device", device, std::string("Device. Default is '") + getDefaultDevice() + "'.");
    app.add_option("-f,--conf", configFile, "Configuration file. Default is '" + defaultConfigPath() + "'.");
    app.add_option("-p,--port", port, String::format("Listen on this port. Default is '%u'.", getDefaultPort()))
        ->check(CLI::Range(0u, 65535u));
    app.add_option("--verbose", level, "Sets verbosity level of log messages.");
    app.add_option("--stress-test-seconds", stressSeconds, "Number of seconds to run the stress test (default 60)");
    app.add_option("--stress-test-output", stressOutput, "Filename to store report of stress test");
    app.add_option("--stress-test-format", stressFormat, "Format of the stress test report")
        ->transform(CLI::CheckedTransformer(formats, CLI::ignore_case).name(""));
    app.add_flag("--stress-test", "Perform stress test on the serial port");
    app.add_flag("-g,--global", "Listen on any address, not just localhost.");
    app.add_flag("-V,--version", "Print version and exit.");
    app.add_flag("-e,--stderr", "Print messages to stderr as well as syslog.");
    app.add_flag("-v", "Increases verbosity level of log messages by 1.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error, std::cout, std::cerr);
    }

    if (app.count("-V") || app.count("--version"))
        return app.exit(CLI::CallForHelp(), std::cout, std::cerr);
    const bool global = app.count("-g") || app.count("--global");
    const bool mirror = app.count("-e") || app.count("--stderr");
    const bool stress = app.count("--stress-test") != 0;
    if (const size_t more = app.count("-v"))
        level = static_cast<uint32_t>(std::min<size_t>(more, 3));

    std::ios_base::sync_with_stdio(false);
    Log::open(argv[0], mirror, true);
    Log::info("%s started", description.c_str());
    Log::info("Log level is %d.", static_cast<int>(level));
    Log::setLevel(toLogLevel(level));

    // The services live as long as the process: main never returns from
    // service mode, and the stop ends the process without destructors.
    std::vector<std::shared_ptr<void>> services;
    bool started = false;
    try {
        auto manager = std::make_shared<Manager>(device);
        keep(&Handles::manager, manager);
        if (stress) {
            StressTest test(manager);
            test.execute(std::chrono::seconds(stressSeconds));
            const bool reported = test.report(stressFormat, stressOutput);
            keep(&Handles::manager, std::shared_ptr<Manager>());
            return reported ? 0 : EXIT_FAILURE;
        }
        started = startServices(manager, configFile, port, global, services);
    } catch (const std::exception& error) {
        failProcess(error, mirror);
    }
    if (started)
        startStep([] { Log::debug("Main blocks here!"); });
    for (;;)
        pause();
}
