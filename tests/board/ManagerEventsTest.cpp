// The manager's reactions: power-off and high-G events, the delayed shutdown
// after the ignition goes off, and the status poll with its observers.

#include <atomic>
#include <thread>

#include "ManagerFixture.h"

namespace {

using nlohmann::json;

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class StatusObserver : public tavo::Board::Observer {
public:
    void onStatusChanged() override { ++changes; }
    std::atomic<int> changes{0};
};

} // namespace

// The host command runs once per power-off, through the manager's seam; a
// command that can't be started is logged. The high-G line carries no
// component name.
TEST_F(ManagerTest, PowerOffShutsTheHostDownAndHighGIsLogged)
{
    for (const int commandResult : {0, -1}) {
        SCOPED_TRACE(commandResult);
        BoardProfile{}.applyTo(board);
        tavo::Board::Manager::Host seams = host();
        seams.runCommand = [this, commandResult](const std::string& command) {
            std::lock_guard<std::mutex> lock(commandsMutex);
            commands.push_back(command);
            return commandResult;
        };
        manager = std::make_shared<tavo::Board::Manager>(board.devicePath(), seams);
        commands.clear();
        capture.clear();

        board.sendPowerOff();
        board.sendHighGAlarm(12500);
        ASSERT_TRUE(capture.waitFor("High-G Alarm Event With Total Acceleration : 12.500000", 3000));
        EXPECT_TRUE(capture.contains("[Manager] System is shutting down."));
        EXPECT_EQ(capture.contains("[Manager] Failed to shutdown system"), commandResult < 0);
        std::lock_guard<std::mutex> lock(commandsMutex);
        EXPECT_EQ(commands, std::vector<std::string>{"shutdown now"});
        manager.reset();
    }
}

// Ignition off: one delay request a second for the configured time, then
// "Stopping delay shutdown requests". Ignition on stops them at once.
TEST_F(ManagerTest, IgnitionOffDelaysShutdownForTheConfiguredSeconds)
{
    open();
    manager->setConfig(json{{"delayShutdownFor", 3}});
    const double start = SimLine::nowMs();
    board.sendIgnition(0);
    ASSERT_TRUE(capture.waitFor("[Manager] Stopping delay shutdown requests", 6000));
    sleepMs(1500);

    const auto pings = board.requestTimes(1, 11);
    ASSERT_GE(pings.size(), 2u);
    EXPECT_LE(pings.size(), 4u);
    EXPECT_GT(pings.front() - start, 700.0);
    for (size_t i = 1; i < pings.size(); ++i) {
        EXPECT_GT(pings[i] - pings[i - 1], 700.0);
        EXPECT_LT(pings[i] - pings[i - 1], 1800.0);
    }
    EXPECT_TRUE(capture.contains("[Manager] System prepares to shutdown..."));

    // A fresh delay, cut short by the ignition.
    board.sendIgnition(1);
    ASSERT_TRUE(capture.waitFor("[Manager] System shutdown aborted", 3000));
    capture.clear();
    board.sendIgnition(0);
    sleepMs(1500);
    board.sendIgnition(1);
    ASSERT_TRUE(capture.waitFor("[Manager] System shutdown aborted", 3000));
    const size_t afterAbort = board.requestTimes(1, 11).size();
    EXPECT_GE(afterAbort, pings.size() + 1);
    sleepMs(1500);
    EXPECT_EQ(board.requestTimes(1, 11).size(), afterAbort);
}

// The handler acts on changes only: ignition on while on logs nothing, and
// a second "off" neither logs again nor restarts the delay. Events are
// handled in order, so the high-G line marks the earlier ones as done.
TEST_F(ManagerTest, RepeatedIgnitionStateIsIgnored)
{
    open();
    manager->setConfig(json{{"delayShutdownFor", 3}});
    capture.clear();
    board.sendIgnition(1);
    board.sendHighGAlarm(1000);
    ASSERT_TRUE(capture.waitFor("High-G Alarm Event With Total Acceleration : 1.000000", 3000));
    EXPECT_FALSE(capture.contains("[Manager] System shutdown aborted"));
    EXPECT_FALSE(capture.contains("[Manager] System prepares to shutdown..."));

    board.sendIgnition(0);
    sleepMs(1500);
    board.sendIgnition(0);
    board.sendHighGAlarm(2000);
    ASSERT_TRUE(capture.waitFor("High-G Alarm Event With Total Acceleration : 2.000000", 3000));
    EXPECT_EQ(countLines("[Manager] System prepares to shutdown..."), 1u);
}

// A delay too long for the timer's millisecond count is held at its
// largest, not wrapped around to a stop that comes after 0.7 s.
TEST_F(ManagerTest, LongShutdownDelayKeepsPinging)
{
    open();
    manager->setConfig(json{{"delayShutdownFor", 4294968}});
    board.sendIgnition(0);
    sleepMs(2600);
    EXPECT_GE(board.requestTimes(1, 11).size(), 2u);
    EXPECT_FALSE(capture.contains("[Manager] Stopping delay shutdown requests"));
    board.sendIgnition(1);
    ASSERT_TRUE(capture.waitFor("[Manager] System shutdown aborted", 3000));
}

// Ignition indications arrive all the time while the manager is being
// made; they are delivered from the moment the handler is registered, and
// the start-up writes meet them under the configuration lock (which a
// ThreadSanitizer build checks; a few rounds widen its chance).
TEST_F(ManagerTest, IgnitionDuringStartUpIsDelivered)
{
    for (int round = 0; round < 3; ++round) {
        capture.clear();
        std::atomic<bool> starting{true};
        std::thread sender([&] {
            for (uint8_t state = 0; starting; state ^= 1) {
                board.sendIgnition(state);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        open();
        starting = false;
        sender.join();
        EXPECT_TRUE(manager->getIsActive());
        EXPECT_TRUE(capture.waitFor("[Manager] System prepares to shutdown...", 3000));
        manager.reset();
    }
}

// The poll turns the board inactive when heartbeats go unanswered and
// active again when they are answered; observers hear of each change.
TEST_F(ManagerTest, StatusPollFollowsTheHeartbeat)
{
    open();
    auto observer = std::make_shared<StatusObserver>();
    manager->observerAttach(observer);
    manager->setConfig(json{{"statusPeriod", 200}});
    // Polls that find the status unchanged tell nobody.
    sleepMs(700);
    EXPECT_EQ(observer->changes, 0);

    board.hearRequests(0, 0, false);
    ASSERT_TRUE(waitUntil([&] { return observer->changes == 1; }, 5000));
    EXPECT_FALSE(manager->getIsActive());
    EXPECT_TRUE(capture.contains("[Manager] Current device status: inactive"));
    sleepMs(1200);
    EXPECT_EQ(observer->changes, 1);
    board.hearRequests(0, 0, true);
    ASSERT_TRUE(waitUntil([&] { return observer->changes == 2; }, 5000));
    EXPECT_TRUE(manager->getIsActive());
    EXPECT_TRUE(capture.contains("[Manager] Current device status: active"));

    // A period beyond the timer's range is held at its largest, not cut to
    // its low 32 bits (here 5 ms).
    manager->setConfig(json{{"statusPeriod", 4294967301ULL}});
    settle();
    sleepMs(700);
    EXPECT_TRUE(sent().empty());
}
