// Observers of the manager: attached once, notified in address order, each
// shielded from the others' failures; events arrive on the reader thread.

#include <atomic>
#include <condition_variable>
#include <regex>
#include <stdexcept>

#include "ManagerFixture.h"

namespace {

class RecordingObserver;

// The order in which observers heard events. The observers share it, since
// the manager keeps them after the test's body.
struct HeardOrder {
    std::mutex mutex;
    std::vector<const RecordingObserver*> observers;
};

// Records every event it hears; optionally throws after recording.
class RecordingObserver : public tavo::Board::Observer {
public:
    explicit RecordingObserver(std::shared_ptr<HeardOrder> order, bool fails = false) : order(std::move(order)), fails(fails)
    {
    }

    void onEvent(const LPCEvent& event) override
    {
        {
            std::lock_guard<std::mutex> lock(order->mutex);
            order->observers.push_back(this);
            names.push_back(event.name + "=" + event.value);
        }
        heard.notify_all();
        if (fails) {
            throw std::runtime_error("observer broke");
        }
    }

    bool waitForEvents(size_t count)
    {
        std::unique_lock<std::mutex> lock(order->mutex);
        return heard.wait_for(lock, std::chrono::seconds(3), [&] { return names.size() >= count; });
    }

    std::shared_ptr<HeardOrder> order;
    bool fails;
    std::vector<std::string> names;
    std::condition_variable heard;
};

} // namespace

TEST_F(ManagerTest, ObserversHearEventsOnceEachInAddressOrder)
{
    open();
    auto order = std::make_shared<HeardOrder>();
    auto first = std::make_shared<RecordingObserver>(order, true);
    auto second = std::make_shared<RecordingObserver>(order);
    manager->observerAttach(second);
    manager->observerAttach(first);
    manager->observerAttach(second);
    manager->observerAttach(nullptr);

    board.sendIndication(1, 5, {1});
    ASSERT_TRUE(first->waitForEvents(1));
    ASSERT_TRUE(second->waitForEvents(1));
    ASSERT_TRUE(capture.waitFor("[Manager] An observer failed in onEvent: observer broke", 3000));

    std::lock_guard<std::mutex> lock(order->mutex);
    EXPECT_EQ(first->names, std::vector<std::string>{"PowerButtonPressed=1"});
    EXPECT_EQ(second->names, std::vector<std::string>{"PowerButtonPressed=1"});
    const RecordingObserver* low = std::min(first.get(), second.get());
    const RecordingObserver* high = std::max(first.get(), second.get());
    EXPECT_EQ(order->observers, (std::vector<const RecordingObserver*>{low, high}));
}

TEST_F(ManagerTest, EventsAreLoggedWithTheirStampTypeNameAndValue)
{
    open();
    capture.clear();
    board.sendIndication(1, 3);
    board.sendIndication(1, 10, {0});

    const std::string stamp = R"(\[Manager\] LPC Event received: \[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] )";
    const std::regex systemOff(stamp + "1 - SystemOff ");
    const std::regex ignition(stamp + "2 - IgnitionChanged 0");
    const auto logged = [this](const std::regex& pattern) {
        const auto texts = capture.texts();
        return std::any_of(texts.begin(), texts.end(),
                           [&pattern](const std::string& text) { return std::regex_match(text, pattern); });
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!(logged(systemOff) && logged(ignition)) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(logged(systemOff));
    EXPECT_TRUE(logged(ignition));
}
