#pragma once
// The board manager opened on a simulated board of a chosen profile, with
// every log line captured at debug level. The manager's host seams point at
// a temporary directory and a recorder, so nothing touches the test binary's
// directory or runs a host command.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board/Manager.h"
#include "foundation/Log.h"
#include "sim/BoardProfile.h"
#include "sim/SimulatedBoard.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

class ManagerTest : public ::testing::Test {
protected:
    ManagerTest() { Log::setLevel(Log::Debug); }
    ~ManagerTest() override
    {
        manager.reset();
        Log::setLevel(Log::Info);
    }

    // Sets the board up as `profile`, lets `prepare` change its state
    // further, and opens a manager on it.
    void open(const BoardProfile& profile = BoardProfile{},
              const std::function<void(SimDeviceState&)>& prepare = nullptr)
    {
        profile.applyTo(board);
        if (prepare) {
            board.device().access([&prepare](SimDeviceState& state) {
                prepare(state);
                return 0;
            });
        }
        manager = std::make_shared<tavo::Board::Manager>(board.devicePath(), host());
        if (openReceiveTimeoutMs)
            manager->receiveTimeoutSet(LPCDriver::kDefaultReceiveTimeoutMs);
    }

    // Runs f on the board's state under its lock.
    template <typename F>
    auto boardState(F&& f)
    {
        return board.device().access(std::forward<F>(f));
    }

    tavo::Board::Manager::Host host()
    {
        tavo::Board::Manager::Host seams;
        seams.firmwareDirectory = firmwareDir.path();
        seams.receiveTimeoutMs = openReceiveTimeoutMs;
        seams.runCommand = [this](const std::string& command) {
            std::lock_guard<std::mutex> lock(commandsMutex);
            commands.push_back(command);
            return 0;
        };
        return seams;
    }

    // Waits until the board has heard nothing for quietMs (the start-up
    // traffic, including the timers' first requests, is over), then marks
    // the request log so that sent() shows only what follows.
    void settle(int quietMs = 400)
    {
        size_t seen = board.requests().size();
        auto quietSince = std::chrono::steady_clock::now();
        const auto limit = quietSince + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const size_t now = board.requests().size();
            if (now != seen) {
                seen = now;
                quietSince = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - quietSince >= std::chrono::milliseconds(quietMs)) {
                break;
            }
        }
        mark = seen;
    }

    // Polls until pred holds or timeoutMs passed; the last value of pred.
    template <typename Pred>
    static bool waitUntil(Pred pred, int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!pred() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pred();
    }

    // The requests the board received since the last settle(), as
    // {ID, Data...} octet lists.
    std::vector<std::vector<uint8_t>> sent() const
    {
        std::vector<std::vector<uint8_t>> result;
        const auto log = board.requests();
        for (size_t i = mark; i < log.size(); ++i) {
            const API_Message_t& m = log[i].message;
            std::vector<uint8_t> octets{m.ID};
            octets.insert(octets.end(), m.Data, m.Data + m.Size);
            result.push_back(octets);
        }
        return result;
    }

    // The captured texts that start with "[Manager] ", without that prefix.
    std::vector<std::string> managerLines() const
    {
        static const std::string prefix = "[Manager] ";
        std::vector<std::string> result;
        for (const std::string& text : capture.texts()) {
            if (text.compare(0, prefix.size(), prefix) == 0) {
                result.push_back(text.substr(prefix.size()));
            }
        }
        return result;
    }

    size_t countLines(const std::string& text) const
    {
        const auto texts = capture.texts();
        return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
    }

    LogCapture capture;
    TempDir firmwareDir;
    SimulatedBoard board;
    std::mutex commandsMutex;
    std::vector<std::string> commands;
    std::shared_ptr<tavo::Board::Manager> manager;
    size_t mark = 0;
    // The reply time-out while open() opens and probes the board, the
    // driver's own afterwards; empty: the driver's own throughout.
    std::optional<int> openReceiveTimeoutMs;
};
