// Link benchmark: LPCDriver against the simulated board on a real
// pseudo-terminal. Prints one line per figure:
// - heartbeat requests per second, unpaced and with the line paced at
//   115200 baud, and the paced figure as a share of the line's limit;
// The line's limit is what the wire alone allows: the frame octets of each
// request and its reply, 10 bits per octet, back to back.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lpc/LPCDriver.h"
#include "lpc/api_message.h"
#include "lpc/hdlc.h"
#include "sim/SimulatedBoard.h"

namespace {

constexpr int kBaud = 115200;
constexpr double kBitsPerOctet = 10;
constexpr int kTrials = 5;
constexpr double kTrialSeconds = 1;
constexpr int kWarmUpRequests = 20;

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

API_Message_t heartbeat(int type, uint16_t seqNo)
{
    API_Message_t message{};
    message.Type = type;
    message.SeqNo = seqNo;
    message.Size = 1;
    return message;
}

[[noreturn]] void fail(const char* what, LPCDriver::ErrorCode code)
{
    std::fprintf(stderr, "bench_link: %s: %s\n", what, LPCDriver::strerror(code).c_str());
    std::exit(1);
}

// A driver opened at kBaud on the board.
void open(LPCDriver& driver, SimulatedBoard& board)
{
    const LPCDriver::ErrorCode result = driver.open(board.devicePath().c_str(), kBaud);
    if (result != LPCDriver::NoError)
        fail("open", result);
}

void sendHeartbeat(LPCDriver& driver)
{
    API_Message_t response{};
    const LPCDriver::ErrorCode result = driver.executeRPC(heartbeat(API_TYPE_REQUEST, driver.getNextSeqNumber()), response);
    if (result != LPCDriver::NoError)
        fail("heartbeat", result);
}

// Heartbeats per second: the best of kTrials runs of kTrialSeconds each,
// after a few to warm up (the best run is the one least disturbed by other
// work on the machine).
double heartbeatsPerSecond(bool paced)
{
    SimulatedBoard board;
    board.setLinePaced(paced);
    LPCDriver driver;
    open(driver, board);
    for (int i = 0; i < kWarmUpRequests; ++i)
        sendHeartbeat(driver);
    double best = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        long count = 0;
        const auto start = std::chrono::steady_clock::now();
        double elapsed = 0;
        while ((elapsed = secondsSince(start)) < kTrialSeconds) {
            sendHeartbeat(driver);
            ++count;
        }
        best = std::max(best, count / elapsed);
    }
    return best;
}

} // namespace

int main()
{
    // A sequence number and FCS free of escapes: the shortest frames, so the
    // limit is the highest the line can reach.
    const double exchangeOctets =
        frameOctets(heartbeat(API_TYPE_REQUEST, 0x0101)) + frameOctets(heartbeat(API_TYPE_RESPONSE, 0x0101));
    const double heartbeatLimit = 1 / lineSeconds(exchangeOctets);

    std::printf("heartbeat unpaced: %.0f requests/s\n", heartbeatsPerSecond(false));
    const double paced = heartbeatsPerSecond(true);
    std::printf("heartbeat paced at %d baud: %.1f requests/s\n", kBaud, paced);
    std::printf("heartbeat paced at %d baud: %.1f %% of the line's limit (%.0f octets per exchange, %.1f requests/s)\n",
                kBaud, paced * 100 / heartbeatLimit, exchangeOctets, heartbeatLimit);
    return 0;
}
