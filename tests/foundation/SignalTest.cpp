#include "foundation/Signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Signal, IdsCountFromOneAndSlotsRunInIdOrder)
{
    Signal<> signal;
    std::vector<int> calls;
    EXPECT_EQ(signal.connect([&] { calls.push_back(1); }), 1);
    EXPECT_EQ(signal.connect([&] { calls.push_back(2); }), 2);
    EXPECT_EQ(signal.connect([&] { calls.push_back(3); }), 3);
    signal.emit();
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));
}

TEST(Signal, EmitWithoutSlotsReturns)
{
    Signal<> signal;
    signal.emit();
    Signal<std::string> text;
    text.emit("nobody");
}

struct Listener
{
    virtual ~Listener() = default;
    virtual void onChange() { ++base; }
    void onText(std::string text) { texts.push_back(text); }
    int base = 0;
    std::vector<std::string> texts;
};

struct DerivedListener : Listener
{
    void onChange() override { ++derived; }
    int derived = 0;
};

TEST(Signal, MemberSlotsCallThroughTheVirtualTable)
{
    Signal<> signal;
    DerivedListener listener;
    EXPECT_EQ(signal.connect_member<Listener>(&listener, &Listener::onChange), 1);
    signal.emit();
    signal.emit();
    EXPECT_EQ(listener.derived, 2);
    EXPECT_EQ(listener.base, 0);
}

TEST(Signal, TextSignalPassesACopyToEachSlot)
{
    Signal<std::string> signal;
    Listener first;
    Listener second;
    signal.connect_member(&first, &Listener::onText);
    signal.connect([](std::string text) { text = "changed"; });
    signal.connect_member(&second, &Listener::onText);
    const std::string topic = "tavo/lumacore/gpio";
    signal.emit(topic);
    EXPECT_EQ(first.texts, std::vector<std::string>{topic});
    EXPECT_EQ(second.texts, std::vector<std::string>{topic});
}

TEST(Signal, DisconnectRemovesOnlyThatId)
{
    Signal<> signal;
    std::vector<int> calls;
    signal.connect([&] { calls.push_back(1); });
    const int second = signal.connect([&] { calls.push_back(2); });
    EXPECT_TRUE(signal.disconnect(second));
    EXPECT_FALSE(signal.disconnect(second));
    EXPECT_FALSE(signal.disconnect(42));
    EXPECT_EQ(signal.connect([&] { calls.push_back(3); }), 3) << "ids are not reused";
    signal.emit();
    EXPECT_EQ(calls, (std::vector<int>{1, 3}));
}

// A slot that removes itself and a later slot must neither deadlock nor
// call the removed later slot (its owner may be gone by then).
TEST(Signal, SlotMayDisconnectDuringEmission)
{
    Signal<> signal;
    std::vector<int> calls;
    int self = 0;
    int later = 0;
    signal.connect([&] { calls.push_back(1); });
    self = signal.connect([&] {
        calls.push_back(2);
        EXPECT_TRUE(signal.disconnect(self));
        EXPECT_FALSE(signal.disconnect(self));
        EXPECT_TRUE(signal.disconnect(later));
    });
    later = signal.connect([&] { calls.push_back(3); });
    signal.connect([&] { calls.push_back(4); });
    signal.emit();
    signal.emit();
    EXPECT_EQ(calls, (std::vector<int>{1, 2, 4, 1, 4}));
}

// Another thread's disconnect waits for the emission to end instead of
// pulling the slot out from under it.
TEST(Signal, DisconnectFromAnotherThreadWaitsForEmission)
{
    Signal<> signal;
    std::atomic<bool> inSlot{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    const int id = signal.connect([&] {
        inSlot = true;
        while (!release)
            std::this_thread::yield();
        finished = true;
    });
    std::thread emitter([&] { signal.emit(); });
    while (!inSlot)
        std::this_thread::yield();
    std::thread remover([&] {
        EXPECT_TRUE(signal.disconnect(id));
        EXPECT_TRUE(finished.load());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
    emitter.join();
    remover.join();
}

TEST(Signal, ThrowingSlotLeavesSignalUsable)
{
    Signal<> signal;
    int calls = 0;
    int thrower = 0;
    thrower = signal.connect([&] {
        signal.disconnect(thrower);
        throw std::runtime_error("slot failed");
    });
    signal.connect([&] { ++calls; });
    EXPECT_THROW(signal.emit(), std::runtime_error);
    signal.emit();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(signal.disconnect(2));
}

TEST(Signal, ConcurrentConnectDisconnectAndEmit)
{
    Signal<int> signal;
    std::atomic<long> sum{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const int id = signal.connect([&](int v) { sum += v; });
                signal.emit(1);
                EXPECT_TRUE(signal.disconnect(id));
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    const long settled = sum.load();
    EXPECT_GE(settled, 800);
    signal.emit(1000);
    EXPECT_EQ(sum.load(), settled) << "every slot was disconnected";
}

} // namespace
