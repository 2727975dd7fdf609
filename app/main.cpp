// lumacore: the board-management daemon's entry point. Reads the command
// line, opens the log, opens the board through the manager and then either
// runs the serial-link stress test and ends, or serves until SIGTERM or
// SIGINT ends it.
//
// Threading: main blocks the stop signals before anything else, so every
// thread inherits the mask; one stop thread takes the first signal and runs
// the stop sequence, which ends the process. The manager handle is shared
// with that thread under its mutex.

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

#include "app/Config.h"
#include "app/StopSignals.h"
#include "app/version/Version.h"
#include "board/Manager.h"
#include "board/StressTest.h"
#include "foundation/Log.h"
#include "foundation/String.h"

namespace {

using tavo::Board::Manager;
using tavo::Board::StressTest;

// The process-wide handles that the stop sequence reaches. Never destroyed,
// so a stop that comes while main returns finds them intact.
struct Handles {
    std::mutex mutex;
    std::shared_ptr<Manager> manager;
};

Handles& handles()
{
    static Handles* instance = new Handles;
    return *instance;
}

void setManager(std::shared_ptr<Manager> manager)
{
    std::lock_guard<std::mutex> lock(handles().mutex);
    handles().manager = std::move(manager);
}

// On the stop thread, once: stops what exists and ends the process. _exit
// instead of exit, because static destructors must not run under the
// reader, timer and library threads that are still alive.
void stopProcess(int signal)
{
    Log::info("Signal caught: %s [%d]", strsignal(signal), signal);
    std::shared_ptr<Manager> manager;
    {
        std::lock_guard<std::mutex> lock(handles().mutex);
        manager = handles().manager;
    }
    if (manager)
        manager->stop();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(0);
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
    const bool mirror = app.count("-e") || app.count("--stderr");
    const bool stress = app.count("--stress-test") != 0;
    if (const size_t more = app.count("-v"))
        level = static_cast<uint32_t>(std::min<size_t>(more, 3));

    std::ios_base::sync_with_stdio(false);
    Log::open(argv[0], mirror, true);
    Log::info("%s started", description.c_str());
    Log::info("Log level is %d.", static_cast<int>(level));
    Log::setLevel(toLogLevel(level));

    try {
        auto manager = std::make_shared<Manager>(device);
        setManager(manager);
        if (stress) {
            StressTest test(manager);
            test.execute(std::chrono::seconds(stressSeconds));
            test.report(stressFormat, stressOutput);
            setManager(nullptr);
            return 0;
        }
        for (;;)
            pause();
    } catch (const std::exception& error) {
        Log::error("%s", error.what());
        setManager(nullptr);
        return EXIT_FAILURE;
    }
}
