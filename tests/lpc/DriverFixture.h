#pragma once
// Shared fixture of the driver tests: a simulated board, a driver opened on
// it, and the log lines captured through the log's sink.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lpc/LPCDriver.h"
#include "sim/SimulatedBoard.h"
#include "tests/support/LogCapture.h"

// Captured lines whose text contains part.
inline int countLines(const LogCapture& capture, const std::string& part)
{
    int n = 0;
    for (const auto& text : capture.texts())
        n += text.find(part) != std::string::npos;
    return n;
}

// Waits until countLines(capture, part) reaches n; false after timeoutMs.
inline bool waitForLines(const LogCapture& capture, const std::string& part, int n, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (countLines(capture, part) < n) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(driver.open(board.devicePath().c_str(), 115200), LPCDriver::NoError); }

    // A request (id, subId, args) with the driver's next sequence number.
    API_Message_t request(uint8_t id, uint8_t subId, const std::vector<uint8_t>& args = {})
    {
        API_Message_t message{};
        message.ID = id;
        message.Type = API_TYPE_REQUEST;
        message.SeqNo = driver.getNextSeqNumber();
        message.Data[0] = subId;
        std::copy(args.begin(), args.end(), message.Data + 1);
        message.Size = static_cast<uint16_t>(1 + args.size());
        return message;
    }

    API_Message_t heartbeat() { return request(0, 0); }

    // The exchanges the board saw: a reply late on a loaded host brings a
    // retransmission, which repeats its request's sequence number.
    size_t exchanges()
    {
        std::set<uint16_t> numbers;
        for (const auto& logged : board.requests())
            numbers.insert(logged.message.SeqNo);
        return numbers.size();
    }

    LogCapture logs;
    SimulatedBoard board;
    LPCDriver driver;
};

// Milliseconds since start.
inline double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
