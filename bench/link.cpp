// Link benchmark: LPCDriver against the simulated board on a real
// pseudo-terminal. Prints one line per figure, with the load average beside
// it:
// - heartbeat requests per second, unpaced and with the line paced at
//   115200 baud, and the paced figure as a share of the line's limit;
// - the CPU time of this process (user and system) per unpaced heartbeat
//   exchange, against the simulated board as a process of its own (lpc-sim),
//   so that the board's time is not counted;
// - firmware download throughput on the paced line, as a share of the
//   line's limit, clean and with the board losing every 100th reply (each
//   loss costs the download's receive timeout).
// The line's limit is what the wire alone allows: the frame octets of each
// request and its reply, 10 bits per octet, back to back. Round trips are a
// few milliseconds, so other work on the machine shows: the clean figures
// are the best of several runs.

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "foundation/Crc.h"
#include "harness/Figures.h"
#include "lpc/LPCDriver.h"
#include "lpc/api_message.h"
#include "lpc/hdlc.h"
#include "sim/SimulatedBoard.h"

extern char** environ;

namespace {

constexpr int kBaud = 115200;
constexpr double kBitsPerOctet = 10;
constexpr int kTrials = 5;
constexpr double kTrialSeconds = 1;
constexpr int kWarmUpRequests = 20;
constexpr int kCpuExchanges = 20000;
constexpr int kDownloadTrials = 3;
constexpr size_t kCleanImageSize = 32 * 1024;
constexpr size_t kLossyImageSize = 64 * 1024;
constexpr int kLostReplyEvery = 100;
constexpr size_t kSegmentSize = 128;
constexpr uint8_t kIdBootloader = 12;
// Sequence number of the frames the limit is computed from: no escapes.
constexpr uint16_t kPlainSeqNo = 0x0101;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Seconds the line needs for octets at kBaud.
double lineSeconds(double octets)
{
    return octets * kBitsPerOctet / kBaud;
}

void countOctet(char, void* user)
{
    ++*static_cast<size_t*>(user);
}

// Octets of the message's frame on the line, flags and escapes included.
size_t frameOctets(const API_Message_t& message)
{
    uint8_t wire[API_HEADER_SIZE + API_DATA_SIZE];
    const int length = API_message_serialise(&message, wire);
    size_t octets = 0;
    HDLC_Context_t framing{};
    HDLC_init(&framing, &countOctet, nullptr, &octets);
    HDLC_transmit(&framing, wire, static_cast<uint16_t>(length));
    return octets;
}

API_Message_t message(uint8_t id, int type, const std::vector<uint8_t>& data)
{
    API_Message_t m{};
    m.ID = id;
    m.Type = type;
    m.SeqNo = kPlainSeqNo;
    m.Size = static_cast<uint16_t>(data.size());
    std::copy(data.begin(), data.end(), m.Data);
    return m;
}

// Line octets of one exchange: the request and the reply that carries only
// the sub-identifier.
size_t exchangeOctets(uint8_t id, const std::vector<uint8_t>& request)
{
    return frameOctets(message(id, API_TYPE_REQUEST, request)) + frameOctets(message(id, API_TYPE_RESPONSE, {request[0]}));
}

void putBe(std::vector<uint8_t>& out, uint32_t value, int octets)
{
    for (int i = octets - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Seconds the line needs for a whole firmware download of image: the header
// segment and every 128-octet segment, each with its acknowledgement.
double downloadLineSeconds(const std::vector<uint8_t>& image)
{
    const size_t segments = (image.size() + kSegmentSize - 1) / kSegmentSize;
    std::vector<uint8_t> header{0};
    putBe(header, 0, 2);
    putBe(header, static_cast<uint32_t>(image.size()), 4);
    putBe(header, CRC::CRC32_update(0xFFFFFFFF, image), 4);
    putBe(header, static_cast<uint32_t>(segments), 2);
    size_t octets = exchangeOctets(kIdBootloader, header);
    for (size_t k = 1; k <= segments; ++k) {
        std::vector<uint8_t> segment{0};
        putBe(segment, static_cast<uint32_t>(k), 2);
        const size_t start = (k - 1) * kSegmentSize;
        segment.insert(segment.end(), image.begin() + start,
                       image.begin() + std::min(image.size(), start + kSegmentSize));
        octets += exchangeOctets(kIdBootloader, segment);
    }
    return lineSeconds(octets);
}

// Prints one figure's line, the load average beside it.
__attribute__((format(printf, 1, 2))) void figure(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printFigure(text);
}

[[noreturn]] void fail(const char* what, LPCDriver::ErrorCode code)
{
    std::fprintf(stderr, "bench_link: %s: %s", what, LPCDriver::strerror(code).c_str());
    std::exit(1);
}

void check(const char* what, LPCDriver::ErrorCode code)
{
    if (code != LPCDriver::NoError)
        fail(what, code);
}

// Heartbeats per second: the best of kTrials runs of kTrialSeconds each,
// after a few to warm up.
double heartbeatsPerSecond(bool paced)
{
    SimulatedBoard board;
    board.setLinePaced(paced);
    LPCDriver driver;
    check("open", driver.open(board.devicePath().c_str(), kBaud));
    for (int i = 0; i < kWarmUpRequests; ++i)
        check("heartbeat", driver.heartbeat());
    double best = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        long count = 0;
        const auto start = std::chrono::steady_clock::now();
        double elapsed = 0;
        while ((elapsed = secondsSince(start)) < kTrialSeconds) {
            check("heartbeat", driver.heartbeat());
            ++count;
        }
        best = std::max(best, count / elapsed);
    }
    return best;
}

// The shortest of trials downloads of image on the paced line, in seconds,
// with every lostReplyEvery-th reply lost (0: none).
double downloadSeconds(const std::vector<uint8_t>& image, int trials, int lostReplyEvery)
{
    SimulatedBoard board;
    board.setLinePaced(true);
    LPCDriver driver;
    check("open", driver.open(board.devicePath().c_str(), kBaud));
    check("heartbeat", driver.heartbeat());
    double best = 0;
    for (int trial = 0; trial < trials; ++trial) {
        board.dropEveryNthReply(lostReplyEvery);
        const auto start = std::chrono::steady_clock::now();
        check("firmware download", driver.updateFirmware(image));
        const double elapsed = secondsSince(start);
        best = trial == 0 ? elapsed : std::min(best, elapsed);
    }
    return best;
}

// The simulated board as a process of its own: lpc-sim, stopped (SIGTERM)
// and reaped when the object dies.
class SimProgram {
public:
    SimProgram()
    {
        int out[2];
        if (pipe(out) != 0)
            failSystem("pipe");
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_adddup2(&files, out[1], 1);
        posix_spawn_file_actions_addclose(&files, out[0]);
        char* argv[] = {const_cast<char*>(LUMACORE_LPC_SIM), nullptr};
        const int spawned = posix_spawn(&mPid, LUMACORE_LPC_SIM, &files, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&files);
        close(out[1]);
        if (spawned != 0)
            failSystem("lpc-sim");
        // Its first line is the device path.
        char octet = 0;
        while (read(out[0], &octet, 1) == 1 && octet != '\n')
            mDevicePath.push_back(octet);
        close(out[0]);
        if (mDevicePath.empty())
            failSystem("lpc-sim printed no device");
    }
    ~SimProgram()
    {
        kill(mPid, SIGTERM);
        waitpid(mPid, nullptr, 0);
    }
    SimProgram(const SimProgram&) = delete;
    SimProgram& operator=(const SimProgram&) = delete;

    const std::string& devicePath() const { return mDevicePath; }

private:
    [[noreturn]] static void failSystem(const char* what)
    {
        std::perror((std::string("bench_link: ") + what).c_str());
        std::exit(1);
    }

    pid_t mPid = -1;
    std::string mDevicePath;
};

double cpuSeconds(const timeval& time)
{
    return time.tv_sec + time.tv_usec / 1e6;
}

// This process's CPU time per unpaced heartbeat exchange against lpc-sim.
void printCpuPerExchange()
{
    SimProgram board;
    LPCDriver driver;
    check("open", driver.open(board.devicePath().c_str(), kBaud));
    for (int i = 0; i < kWarmUpRequests; ++i)
        check("heartbeat", driver.heartbeat());
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCpuExchanges; ++i)
        check("heartbeat", driver.heartbeat());
    const double elapsed = secondsSince(start);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const double user = cpuSeconds(after.ru_utime) - cpuSeconds(before.ru_utime);
    const double system = cpuSeconds(after.ru_stime) - cpuSeconds(before.ru_stime);
    figure("heartbeat unpaced against lpc-sim: %.1f us each, CPU %.1f us per exchange (user %.1f us, "
                "system %.1f us), the board's excluded",
                elapsed * 1e6 / kCpuExchanges, (user + system) * 1e6 / kCpuExchanges, user * 1e6 / kCpuExchanges,
                system * 1e6 / kCpuExchanges);
}

std::vector<uint8_t> randomImage(size_t size)
{
    std::mt19937 generator(1);
    std::vector<uint8_t> image(size);
    for (auto& octet : image)
        octet = static_cast<uint8_t>(generator());
    return image;
}

void printDownload(const char* label, const std::vector<uint8_t>& image, double seconds)
{
    const double limit = downloadLineSeconds(image);
    figure("firmware download paced at %d baud%s: %.0f octets/s, %.1f %% of the line's limit (%.0f octets/s)",
                kBaud, label, image.size() / seconds, limit * 100 / seconds, image.size() / limit);
}

} // namespace

int main()
{
    const double heartbeatLimit = 1 / lineSeconds(exchangeOctets(0, {0}));

    const double unpaced = heartbeatsPerSecond(false);
    figure("heartbeat unpaced: %.0f requests/s, %.1f us each", unpaced, 1e6 / unpaced);
    printCpuPerExchange();
    const double paced = heartbeatsPerSecond(true);
    figure("heartbeat paced at %d baud: %.1f requests/s", kBaud, paced);
    figure("heartbeat paced at %d baud: %.1f %% of the line's limit (%.1f requests/s)", kBaud,
                paced * 100 / heartbeatLimit, heartbeatLimit);

    const std::vector<uint8_t> clean = randomImage(kCleanImageSize);
    printDownload("", clean, downloadSeconds(clean, kDownloadTrials, 0));
    const std::vector<uint8_t> lossy = randomImage(kLossyImageSize);
    printDownload(", 1 reply in 100 lost", lossy, downloadSeconds(lossy, 1, kLostReplyEvery));
    return 0;
}
