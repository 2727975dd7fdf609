// LPCEvent::create from indication messages, and their delivery through the
// driver from the simulated board.

#include "DriverFixture.h"

#include <initializer_list>

namespace {

API_Message_t indication(uint8_t id, std::initializer_list<uint8_t> data)
{
    API_Message_t message{};
    std::memset(message.Data, 0xAA, sizeof message.Data); // octets beyond Size must not be read
    message.ID = id;
    message.Type = API_TYPE_INDICATION;
    message.Size = static_cast<uint16_t>(data.size());
    std::copy(data.begin(), data.end(), message.Data);
    return message;
}

struct EventCase {
    uint8_t id;
    std::initializer_list<uint8_t> data; // SubID first
    int type;
    const char* name;
    const char* value;
};

const EventCase kCases[] = {
    {1, {3, 7, 7}, 1, "SystemOff", ""},
    {1, {10, 1}, 2, "IgnitionChanged", "1"},
    {1, {10}, 2, "IgnitionChanged", "0"},
    {1, {5, 1}, 3, "PowerButtonPressed", "1"},
    {1, {5}, 3, "PowerButtonPressed", "0"},
    {4, {1, 0x11, 0xC6}, 4, "Overtemperature", "45.5"},
    {4, {1, 0xFF, 0xFF}, 4, "Overtemperature", "655.35"},
    {4, {1, 0x27, 0x10}, 4, "Overtemperature", "100"},
    {4, {1, 0x11}, 4, "Overtemperature", "0"},
    {5, {0, 1}, 5, "AudioJackChanged", "1,0"},
    {5, {0}, 5, "AudioJackChanged", "0,0"},
    {5, {0, 1, 255}, 5, "AudioJackChanged", "1,255"},
    {1, {6, 1}, 6, "InputChanged", "0,1"},
    {7, {2, 3, 1}, 6, "InputChanged", "3,1"},
    {11, {2, 0x00, 0x00, 0x05, 0xDC}, 8, "HighGAlarm", "1.5"},
    {11, {2, 0x00, 0x12, 0xD6, 0x87}, 8, "HighGAlarm", "1234.57"},
    {11, {2, 0x49, 0x96, 0x02, 0xD2}, 8, "HighGAlarm", "1.23457e+06"},
    {11, {2, 0x00, 0x00, 0x05}, 8, "HighGAlarm", "0"},
    {1, {}, 0, "UnknownEvent", ""},
    {2, {3}, 0, "UnknownEvent", ""},
    {4, {0}, 0, "UnknownEvent", ""},
};

TEST(LPCEventCreate, MapsEachIndicationToItsEvent)
{
    for (const auto& c : kCases) {
        const LPCEvent event = LPCEvent::create(indication(c.id, c.data));
        SCOPED_TRACE(std::string(c.name) + " " + c.value);
        EXPECT_EQ(event.type, c.type);
        EXPECT_EQ(event.name, c.name);
        EXPECT_EQ(event.value, c.value);
    }
}

TEST(LPCEventCreate, IgnoresTypeErrorAndSeqNo)
{
    API_Message_t message = indication(1, {5, 1});
    message.Type = API_TYPE_RESPONSE;
    message.Error = 3;
    message.SeqNo = 77;
    const LPCEvent event = LPCEvent::create(message);
    EXPECT_EQ(event.name, "PowerButtonPressed");
    EXPECT_EQ(event.value, "1");
}

class EventSink {
public:
    static void handler(const LPCEvent& event, void* user)
    {
        auto* self = static_cast<EventSink*>(user);
        std::lock_guard<std::mutex> lock(self->mMutex);
        self->mEvents.push_back(event);
        self->mArrived.notify_all();
    }
    // The events received once count have arrived, or what came before timeoutMs.
    std::vector<LPCEvent> waitFor(size_t count, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return mEvents.size() >= count; });
        return mEvents;
    }

private:
    std::mutex mMutex;
    std::condition_variable mArrived;
    std::vector<LPCEvent> mEvents;
};

TEST_F(DriverTest, EveryIndicationTypeArrivesAsItsEvent)
{
    EventSink sink;
    driver.registerEventHandler(&EventSink::handler, &sink);
    for (const auto& c : kCases) {
        if (c.data.size() > 0)
            board.sendIndication(c.id, *c.data.begin(), std::vector<uint8_t>(c.data.begin() + 1, c.data.end()));
    }
    const size_t expected = std::size(kCases) - 1;
    const auto events = sink.waitFor(expected, 3000);
    ASSERT_EQ(events.size(), expected);
    size_t i = 0;
    for (const auto& c : kCases) {
        if (c.data.size() == 0)
            continue;
        EXPECT_EQ(events[i].type, c.type) << i;
        EXPECT_EQ(events[i].name, c.name) << i;
        EXPECT_EQ(events[i].value, c.value) << i;
        ++i;
    }
    driver.registerEventHandler(nullptr, nullptr);
}

TEST_F(DriverTest, IndicationWithoutHandlerIsDropped)
{
    driver.setDebugEnable(true);
    board.sendIndication(1, 3);
    // The reader handles messages in order: once the response behind it is
    // queued, the indication has been dealt with.
    API_Message_t marker{};
    marker.Type = API_TYPE_RESPONSE;
    board.sendMessage(marker);
    ASSERT_TRUE(waitForLines(logs, "[LPCDriver] Response received", 1, 2000));

    EventSink sink;
    driver.registerEventHandler(&EventSink::handler, &sink);
    board.sendIndication(1, 10, {1});
    const auto events = sink.waitFor(1, 2000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "IgnitionChanged");
    driver.registerEventHandler(nullptr, nullptr);
}

} // namespace
