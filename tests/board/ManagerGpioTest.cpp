// GPIO pins through the manager: the requests that reach the board, the
// checks made before anything is sent, and the cached records.

#include "ManagerFixture.h"

using tavo::Board::ErrorCode;
using tavo::Board::GPIO;
using Requests = std::vector<std::vector<uint8_t>>;

namespace {

constexpr uint16_t kSentinel = 0xBEEF;

class ManagerGpioTest : public ManagerTest {
protected:
    // Four pins; pin 3 takes no pull resistor.
    void SetUp() override
    {
        BoardProfile profile;
        profile.gpioPins = 4;
        profile.pinsWithoutResistor = {3};
        open(profile);
        settle();
    }

    GPIO cached(unsigned long pin)
    {
        GPIO gpio(GPIO::Mode::output, GPIO::Encoding::analog, kSentinel);
        EXPECT_EQ(manager->gpioPinGet(pin, gpio), ErrorCode::Ok);
        return gpio;
    }

    SimPin pinState(size_t pin)
    {
        return boardState([pin](SimDeviceState& s) { return s.pins.at(pin); });
    }
};

} // namespace

TEST_F(ManagerGpioTest, PinsAtOrBeyondTheCountAreRefusedBeforeSending)
{
    for (const unsigned pin : {4u, 9u, 255u}) {
        const auto p = static_cast<uint8_t>(pin);
        GPIO gpio(GPIO::Mode::output, GPIO::Encoding::digital, 1);
        GPIO::Mode mode = GPIO::Mode::output;
        GPIO::Encoding encoding = GPIO::Encoding::analog;
        GPIO::Resistor resistor = GPIO::Resistor::pullUp;
        uint16_t value = kSentinel;
        EXPECT_EQ(manager->gpioPinGet(pin, gpio), ErrorCode::InvalidArgument);
        EXPECT_EQ(manager->gpioModeGet(p, mode, encoding), ErrorCode::InvalidArgument);
        EXPECT_EQ(manager->gpioPullResistorGet(p, resistor), ErrorCode::InvalidArgument);
        EXPECT_EQ(manager->gpioModeSet(p, GPIO::Mode::input, GPIO::Encoding::digital), ErrorCode::InvalidArgument);
        EXPECT_EQ(manager->gpioValueGet(p, value), ErrorCode::InvalidArgument);
        EXPECT_EQ(manager->gpioValueSet(p, 1), ErrorCode::InvalidArgument);
        EXPECT_EQ(manager->gpioPullResistorSet(p, GPIO::Resistor::pullUp), ErrorCode::InvalidArgument);
        EXPECT_EQ(value, kSentinel);
        EXPECT_EQ(mode, GPIO::Mode::output);
    }
    GPIO far(GPIO::Mode::input, GPIO::Encoding::digital, 0);
    EXPECT_EQ(manager->gpioPinGet(1ul << 40, far), ErrorCode::InvalidArgument);
    EXPECT_EQ(sent(), Requests{});
}

TEST_F(ManagerGpioTest, ModeSetSendsTheDeviceModeAndCachesIt)
{
    EXPECT_EQ(manager->gpioModeSet(1, GPIO::Mode::output, GPIO::Encoding::digital), ErrorCode::Ok);
    EXPECT_EQ(manager->gpioModeSet(2, GPIO::Mode::input, GPIO::Encoding::analog), ErrorCode::Ok);
    EXPECT_EQ(manager->gpioModeSet(0, GPIO::Mode::input, GPIO::Encoding::digital), ErrorCode::Ok);
    EXPECT_EQ(sent(), (Requests{{7, 0, 1, 0}, {7, 0, 2, 2}, {7, 0, 0, 1}}));
    EXPECT_TRUE(capture.contains("[Manager] Setting GPIO 1 mode to 0"));
    EXPECT_TRUE(capture.contains("[Manager] Setting GPIO 2 mode to 2"));

    GPIO::Mode mode = GPIO::Mode::input;
    GPIO::Encoding encoding = GPIO::Encoding::analog;
    EXPECT_EQ(manager->gpioModeGet(1, mode, encoding), ErrorCode::Ok);
    EXPECT_EQ(mode, GPIO::Mode::output);
    EXPECT_EQ(encoding, GPIO::Encoding::digital);
    EXPECT_EQ(manager->gpioModeGet(2, mode, encoding), ErrorCode::Ok);
    EXPECT_EQ(mode, GPIO::Mode::input);
    EXPECT_EQ(encoding, GPIO::Encoding::analog);
    EXPECT_EQ(pinState(1).mode, 0);
    EXPECT_EQ(pinState(2).mode, 2);
}

TEST_F(ManagerGpioTest, AnalogOutputIsRefusedAndLeavesTheCache)
{
    EXPECT_EQ(manager->gpioModeSet(1, GPIO::Mode::output, GPIO::Encoding::analog), ErrorCode::InvalidArgument);
    EXPECT_EQ(sent(), Requests{});
    const GPIO gpio = cached(1);
    EXPECT_EQ(gpio.mode, GPIO::Mode::input);
    EXPECT_EQ(gpio.encoding, GPIO::Encoding::digital);
}

// The request may have reached the device even without a reply.
TEST_F(ManagerGpioTest, ModeIsCachedEvenWhenTheDeviceDoesNotAnswer)
{
    board.setSilent(true);
    EXPECT_EQ(manager->gpioModeSet(2, GPIO::Mode::output, GPIO::Encoding::digital), ErrorCode::Timeout);
    board.forceReply(7, 0, 6, {0});
    board.setSilent(false);
    EXPECT_EQ(manager->gpioModeSet(1, GPIO::Mode::input, GPIO::Encoding::analog), ErrorCode::InvalidArgument);

    GPIO::Mode mode = GPIO::Mode::input;
    GPIO::Encoding encoding = GPIO::Encoding::analog;
    EXPECT_EQ(manager->gpioModeGet(2, mode, encoding), ErrorCode::Ok);
    EXPECT_EQ(mode, GPIO::Mode::output);
    EXPECT_EQ(encoding, GPIO::Encoding::digital);
    EXPECT_EQ(manager->gpioModeGet(1, mode, encoding), ErrorCode::Ok);
    EXPECT_EQ(mode, GPIO::Mode::input);
    EXPECT_EQ(encoding, GPIO::Encoding::analog);
}

TEST_F(ManagerGpioTest, ValueSetOnlyOnDigitalOutputsWritesOneOrZero)
{
    EXPECT_EQ(manager->gpioValueSet(0, 1), ErrorCode::NotSupported);
    EXPECT_EQ(sent(), Requests{});

    ASSERT_EQ(manager->gpioModeSet(0, GPIO::Mode::output, GPIO::Encoding::digital), ErrorCode::Ok);
    settle();
    EXPECT_EQ(manager->gpioValueSet(0, 300), ErrorCode::Ok);
    EXPECT_EQ(pinState(0).output, 1);
    EXPECT_EQ(cached(0).value, 1);
    EXPECT_EQ(manager->gpioValueSet(0, 0), ErrorCode::Ok);
    EXPECT_EQ(cached(0).value, 0);
    EXPECT_EQ(sent(), (Requests{{7, 1, 0, 1}, {7, 1, 0, 0}}));
    EXPECT_TRUE(capture.contains("[Manager] Setting GPIO 0 value to 1"));
}

TEST_F(ManagerGpioTest, FailedValueSetKeepsTheCachedValue)
{
    ASSERT_EQ(manager->gpioModeSet(0, GPIO::Mode::output, GPIO::Encoding::digital), ErrorCode::Ok);
    ASSERT_EQ(manager->gpioValueSet(0, 1), ErrorCode::Ok);
    board.forceReply(7, 1, 1, {1});
    EXPECT_EQ(manager->gpioValueSet(0, 0), ErrorCode::HardwareError);
    EXPECT_EQ(cached(0).value, 1);
}

// An output answers from the cache, so it works without the device.
TEST_F(ManagerGpioTest, ValueGetOfAnOutputNeedsNoDevice)
{
    ASSERT_EQ(manager->gpioModeSet(2, GPIO::Mode::output, GPIO::Encoding::digital), ErrorCode::Ok);
    ASSERT_EQ(manager->gpioValueSet(2, 1), ErrorCode::Ok);
    settle();
    board.setSilent(true);
    uint16_t value = kSentinel;
    EXPECT_EQ(manager->gpioValueGet(2, value), ErrorCode::Ok);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(sent(), Requests{});
}

TEST_F(ManagerGpioTest, ValueGetReadsDigitalAndAnalogInputs)
{
    ASSERT_EQ(manager->gpioModeSet(2, GPIO::Mode::input, GPIO::Encoding::analog), ErrorCode::Ok);
    boardState([](SimDeviceState& s) {
        s.pins[1].input = 5;
        s.pins[2].analog = 0x1234;
        return 0;
    });
    settle();
    uint16_t value = kSentinel;
    EXPECT_EQ(manager->gpioValueGet(1, value), ErrorCode::Ok);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(manager->gpioValueGet(2, value), ErrorCode::Ok);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(cached(1).value, 1);
    EXPECT_EQ(cached(2).value, 0x1234);
    EXPECT_EQ(sent(), (Requests{{7, 3, 1}, {7, 4, 2}}));
    EXPECT_TRUE(capture.contains("[Manager] Getting digital input state"));
    EXPECT_TRUE(capture.contains("[Manager] Getting analog input state"));
}

TEST_F(ManagerGpioTest, FailedInputReadKeepsThePreviousCachedValue)
{
    boardState([](SimDeviceState& s) { return s.pins[1].input = 1; });
    uint16_t value = kSentinel;
    ASSERT_EQ(manager->gpioValueGet(1, value), ErrorCode::Ok);
    board.forceReply(7, 3, 1, {3});
    value = kSentinel;
    EXPECT_EQ(manager->gpioValueGet(1, value), ErrorCode::HardwareError);
    EXPECT_EQ(value, kSentinel);
    EXPECT_EQ(cached(1).value, 1);
}

TEST_F(ManagerGpioTest, PullResistorsBelongToInputsOnly)
{
    ASSERT_EQ(manager->gpioModeSet(0, GPIO::Mode::output, GPIO::Encoding::digital), ErrorCode::Ok);
    settle();
    GPIO::Resistor resistor = GPIO::Resistor::pullUp;
    EXPECT_EQ(manager->gpioPullResistorGet(0, resistor), ErrorCode::InvalidArgument);
    EXPECT_EQ(manager->gpioPullResistorSet(0, GPIO::Resistor::floating), ErrorCode::InvalidArgument);
    EXPECT_EQ(sent(), Requests{});

    EXPECT_EQ(manager->gpioPullResistorGet(1, resistor), ErrorCode::Ok);
    EXPECT_EQ(resistor, GPIO::Resistor::pullDown);
    EXPECT_EQ(manager->gpioPullResistorSet(1, GPIO::Resistor::pullUp), ErrorCode::Ok);
    EXPECT_EQ(manager->gpioPullResistorGet(1, resistor), ErrorCode::Ok);
    EXPECT_EQ(resistor, GPIO::Resistor::pullUp);
    EXPECT_EQ(manager->gpioPullResistorSet(2, GPIO::Resistor::floating), ErrorCode::Ok);
    EXPECT_EQ(manager->gpioPullResistorSet(2, static_cast<GPIO::Resistor>(9)), ErrorCode::Ok);
    EXPECT_EQ(cached(2).resistor, GPIO::Resistor::pullUp);
    EXPECT_EQ(sent(), (Requests{{7, 5, 1, 1}, {7, 5, 2, 0}, {7, 5, 2, 1}}));
    EXPECT_TRUE(capture.contains("[Manager] Setting GPIO 1 resistor to 1"));
    EXPECT_EQ(pinState(1).pull, 1);
}

// Pin 3 refused its resistor at start; the device, not the manager, says no.
TEST_F(ManagerGpioTest, RefusedResistorIsSentAndLeavesTheCache)
{
    EXPECT_FALSE(cached(3).resistorCapable);
    EXPECT_EQ(manager->gpioPullResistorSet(3, GPIO::Resistor::pullUp), ErrorCode::NotSupported);
    EXPECT_EQ(sent(), (Requests{{7, 5, 3, 1}}));
    EXPECT_EQ(cached(3).resistor, GPIO::Resistor::floating);
}

TEST_F(ManagerGpioTest, BoardInputsAreReadAsFlags)
{
    boardState([](SimDeviceState& s) {
        s.input = 3;
        s.ignition = 0;
        return 0;
    });
    bool input = false;
    bool ignition = true;
    EXPECT_EQ(manager->gpioDigitalInputGet(input), ErrorCode::Ok);
    EXPECT_EQ(manager->gpioDigitalInputIgnitionGet(ignition), ErrorCode::Ok);
    EXPECT_TRUE(input);
    EXPECT_FALSE(ignition);
    EXPECT_EQ(sent(), (Requests{{1, 7}, {1, 4}}));
}

TEST_F(ManagerTest, BoardWithoutPinsRefusesEveryPinOperation)
{
    BoardProfile profile;
    profile.gpioPins = 0;
    open(profile);
    settle();
    GPIO gpio(GPIO::Mode::input, GPIO::Encoding::digital, 0);
    uint16_t value = 0;
    EXPECT_EQ(manager->gpioPinGet(0, gpio), ErrorCode::InvalidArgument);
    EXPECT_EQ(manager->gpioValueGet(0, value), ErrorCode::InvalidArgument);
    EXPECT_EQ(manager->gpioModeSet(0, GPIO::Mode::input, GPIO::Encoding::digital), ErrorCode::InvalidArgument);
    EXPECT_EQ(sent(), Requests{});
}
