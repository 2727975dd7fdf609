// Daemon start-up and idle benchmark: the Release daemon on an unpaced
// simulated board and a private mosquitto (harness/DaemonRun.h). Prints one
// line per figure, with the load average beside it:
// - start-up: from the exec to the TCP greeting and to the retained
//   "status", the median and the worst of a few starts;
// - idle memory: VmRSS and private memory (smaps_rollup) after 30 s with
//   MQTT connected and no TCP client;
// - idle CPU: the daemon's CPU time (utime + stime) over the next 60 s.

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "harness/DaemonRun.h"
#include "harness/Figures.h"

namespace {

constexpr int kStartMs = 30000;
constexpr int kStarts = 5;
constexpr auto kSettle = std::chrono::seconds(30);
constexpr auto kIdle = std::chrono::seconds(60);

struct StartUp {
    double greetingMs;
    double statusMs;
};

// One start of a fresh daemon; the peer waits for the status before the
// exec, so the retained message counts from its first publication.
StartUp startOnce()
{
    DaemonRun run;
    MqttRecorder peer(run.broker.url(), "bench-peer");
    peer.subscribe(DaemonRun::topic("status"));
    const auto exec = BenchClock::now();
    run.start();
    run.connect(kStartMs);
    const double greetingMs = msBetween(exec, BenchClock::now());
    const auto status = peer.waitFor(DaemonRun::topic("status"), nullptr, kStartMs);
    if (!status)
        run.fail("no retained status");
    return {greetingMs, msBetween(exec, status->arrived)};
}

void measureStartUp()
{
    std::vector<double> greetings;
    std::vector<double> statuses;
    for (int i = 0; i < kStarts; ++i) {
        const StartUp times = startOnce();
        greetings.push_back(times.greetingMs);
        statuses.push_back(times.statusMs);
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "start-up, %d starts: exec to the TCP greeting median %.0f ms, worst %.0f ms; to the retained "
                  "status median %.0f ms, worst %.0f ms (target <= 800 ms)",
                  kStarts, percentile(greetings, 50), percentile(greetings, 100), percentile(statuses, 50),
                  percentile(statuses, 100));
    printFigure(text);
}

void measureIdle()
{
    DaemonRun run;
    MqttRecorder peer(run.broker.url(), "bench-peer");
    peer.subscribe(DaemonRun::topic("status"));
    run.start();
    if (!peer.waitFor(DaemonRun::topic("status"), nullptr, kStartMs))
        run.fail("no retained status");
    std::this_thread::sleep_for(kSettle);
    char text[256];
    std::snprintf(text, sizeof text, "idle memory after 30 s with MQTT connected: VmRSS %ld kB, private %ld kB "
                  "(target RSS <= 8192 kB, private <= 3072 kB)",
                  residentKilobytes(run.pid()), privateKilobytes(run.pid()));
    printFigure(text);
    const double before = processCpuSeconds(run.pid());
    std::this_thread::sleep_for(kIdle);
    const double used = processCpuSeconds(run.pid()) - before;
    if (before < 0 || used < 0)
        run.fail("the daemon's CPU time could not be read");
    std::snprintf(text, sizeof text, "idle CPU over 60 s: %.0f ms, %.3f %% (target <= 0.05 %%)", used * 1000,
                  used * 100 / std::chrono::duration<double>(kIdle).count());
    printFigure(text);
}

} // namespace

int main()
{
    try {
        measureStartUp();
        measureIdle();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_daemon_idle: %s\n", error.what());
        return 1;
    }
    return 0;
}
