// The hardware status record decoded from the device's five octets.
#include "board/Hardware.h"

#include <gtest/gtest.h>

#include <vector>

using nlohmann::json;
using tavo::Board::Hardware::Status;

TEST(HardwareStatus, BootReasonNames)
{
    const std::vector<std::pair<uint8_t, const char*>> rows = {
        {0x00, "IgnitionOff"}, {0x01, "Overheated"}, {0x02, "BrownOutDetected"}, {0x03, "SoftReset"},
        {0x04, "HardReset"},   {0x05, "PowerButton"}, {0x06, "HardFault"},       {0x07, "Undefined"},
        {0x0F, "Undefined"},   {0x11, "Overheated"}, {0x13, "SoftReset"}, {0x76, "HardFault"},       {0x80, "Undefined"},
        {0x83, "Undefined"},   {0xFF, "Undefined"},
    };
    for (const auto& [octet, name] : rows) {
        const Status status(LPCHWStatus{octet, 0, 0, 0, 0});
        EXPECT_EQ(status.toJson().at("lastBootReason"), name) << int(octet);
        EXPECT_EQ(status.reason, octet);
    }
}

TEST(HardwareStatus, FlagsAreNonZeroOctets)
{
    EXPECT_EQ(Status(LPCHWStatus{0x03, 1, 2, 255, 0}).toJson().dump(),
              R"({"debugEnabled":true,"lastBootReason":"SoftReset","mcuReset":false,"rtcFailed":true,"wdtTriggered":true})");
    EXPECT_EQ(Status(LPCHWStatus{0x00, 0, 0, 0, 7}).toJson(),
              json::parse(R"({"debugEnabled":false,"lastBootReason":"IgnitionOff","mcuReset":true,)"
                          R"("rtcFailed":false,"wdtTriggered":false})"));
}

TEST(HardwareStatus, UnfilledRecordReadsUndefined)
{
    EXPECT_EQ(Status().toJson().at("lastBootReason"), "Undefined");
}
