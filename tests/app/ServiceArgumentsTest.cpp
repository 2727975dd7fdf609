// The commands with arguments over a real socket: replies, argument checks
// and what reached the simulated board. Each table runs in order on one
// board, so later rows see what earlier rows did.

#include "ServiceFixture.h"
#include "support/FirmwareFile.h"

namespace {

const std::string kMalformed = "error,2,Malformed packet received";
const std::string kInvalid = "error,6,Command parameter is invalid or out of range";

using State = const SimDeviceState&;

TEST_F(ServiceTest, GpioCommands)
{
    startService();
    runCases({
        {"setDigitalOutput,3,1", nullptr, "ok", [](State s) { return s.pins[3].mode == 0 && s.pins[3].output == 1; }},
        {"setDigitalOutput,99,1", nullptr, kInvalid, nullptr},
        {"setDigitalOutput, 3,1", nullptr, kMalformed, nullptr},
        {"setDigitalOutput,3", nullptr, kMalformed, nullptr},
        {"setDigitalOutput,0,7", nullptr, "ok", [](State s) { return s.pins[0].output == 1; }},
        {"getDigitalOutput,256", nullptr, "ok,256,1", nullptr},
        {"setPullResistor,1,1", nullptr, "ok", [](State s) { return s.pins[1].pull == 2; }},
        {"getPullResistor,1", nullptr, "ok,1,1", nullptr},
        {"setPullResistor,1,2", nullptr, "ok", [](State s) { return s.pins[1].pull == 1; }},
        {"getPullResistor,1", nullptr, "ok,1,2", nullptr},
        {"setPullResistor,1,7", nullptr, "ok", nullptr},
        {"getPullResistor,1", nullptr, "ok,1,1", nullptr},
        {"getPullResistor,0", nullptr, kInvalid, nullptr},
        {"setIOMode,0,2", nullptr, "ok", [](State s) { return s.pins[0].mode == 2; }},
        {"getIOMode,0", nullptr, "ok,0,2", nullptr},
        {"setIOMode,0,5", nullptr, "ok", [](State s) { return s.pins[0].mode == 1; }},
        {"getIOMode,0", nullptr, "ok,0,1", nullptr},
        {"getIOMode,8", nullptr, kInvalid, nullptr},
        {"getDigitalInput,2", [](SimDeviceState& s) { s.pins[2].input = 1; }, "ok,1", nullptr},
        {"getAnalogInput,2", [](SimDeviceState& s) { s.pins[2].analog = 777; }, "ok,777",
         [](State s) { return s.pins[2].mode == 2; }},
        {"getAnalogInput", nullptr, kMalformed, nullptr},
    });
}

TEST_F(ServiceTest, BootloaderLedAndParameterCommands)
{
    startService();
    runCases({
        {"setBootFlags,zz", nullptr, "ok", nullptr},
        {"setBootFlagBit,3", nullptr, "ok", [](State s) { return (s.bootFlags & 0x08) != 0; }},
        {"clearBootFlagBit,3", nullptr, "ok", [](State s) { return (s.bootFlags & 0x08) == 0; }},
        {"setBootFlagBit,x", nullptr, kMalformed, nullptr},
        {"setBootFlags,0xC0", nullptr, "ok", [](State s) { return (s.bootFlags & 0xC0) == 0xC0; }},
        {"setLEDPattern,0,500", nullptr, kMalformed, nullptr},
        {"setLEDPattern,0,500,255,100", nullptr, kMalformed, nullptr},
        {"setLEDPattern,1,500,x", nullptr, kMalformed, [](State s) { return s.ledPattern.empty(); }},
        {"setLEDPattern,2,500,255,500,65280", nullptr, "ok",
         [](State s) {
             return s.ledRepeat == 2 && s.ledPattern.size() == 2 && s.ledPattern[0].colour == 0xFF
                 && s.ledPattern[0].durationMs == 500 && s.ledPattern[1].colour == 0xFF00;
         }},
        {"setLEDState,16711680", nullptr, "ok", [](State s) { return s.ledColour == 0xFF0000; }},
        {"getParameter,SITE_NAME", nullptr, "ok,depot", nullptr},
        {"setParameter,ACC_G_THRESHOLD,010", nullptr, "ok",
         [](State s) { return s.parameters.at("ACC_G_THRESHOLD").integer == 8; }},
        {"setParameter,SITE_NAME,1.5", nullptr, "ok", [](State s) { return s.parameters.at("SITE_NAME").text == "1.5"; }},
        {"setParameter,HEATER_ON_BELOW,", nullptr, "ok",
         [](State s) { return s.parameters.at("HEATER_ON_BELOW").number == 0.0; }},
        {"setParameter,SITE_NAME,5", nullptr, kInvalid, nullptr},
        {"setParameter,SITE_NAME", nullptr, kMalformed, nullptr},
    });
    EXPECT_TRUE(capture.contains("[TCP::Server] Parsed: 0x00000000"));
    EXPECT_TRUE(capture.contains("[TCP::Server] Parsed: 0x000000C0"));
    EXPECT_TRUE(capture.contains("[TCP::Server] Color R:0 G:255 B:0"));
}

TEST_F(ServiceTest, SerialPortAndPeripheralCommands)
{
    startService();
    runCases({
        {"setSerialProtocol,0,1", nullptr, "ok", [](State s) { return s.serialPorts[0].protocol == 1; }},
        {"getSerialProtocol,0", nullptr, "ok,0,rs485", nullptr},
        {"setSerialProtocol,0,7", nullptr, "ok", [](State s) { return s.serialPorts[0].protocol == 0; }},
        {"getSerialProtocol,0", nullptr, "ok,0,rs232", nullptr},
        {"setSerialDuplex,0,0", nullptr, "ok", [](State s) { return s.serialPorts[0].duplex == 0; }},
        {"getSerialDuplex,0", nullptr, "ok,0,half", nullptr},
        {"setSerialDuplex,1,1", nullptr, "ok", [](State s) { return s.serialPorts[1].duplex == 1; }},
        {"getSerialDuplex,1", nullptr, "ok,1,full", nullptr},
        {"getSerialDuplex,5", nullptr, kInvalid, nullptr},
        {"setPeripheralPower,9,1", nullptr, "ok", [](State s) { return s.peripheralPower[9] == 1; }},
        {"getPeripheralPower,9", nullptr, "ok,1", nullptr},
        {"resetPeripheral,9", nullptr, "ok", [](State s) { return s.peripheralResets[9] == 1; }},
        {"getPeripheralPower,15", nullptr, "error,8,Unknown error,Unregistered peripheral", nullptr},
    });
    // A protocol or duplex the board does not name.
    board.forceReply(9, 1, 0, {1, 0, 5});
    board.forceReply(9, 3, 0, {3, 0, 5});
    EXPECT_EQ(request("getSerialProtocol,0"), "error,8,Unknown error");
    EXPECT_EQ(request("getSerialDuplex,0"), "error,8,Unknown error");
}

TEST_F(ServiceTest, SystemDisplayAndAudioCommands)
{
    startService();
    runCases({
        {"setBuzzerPattern,100,200", nullptr, "ok",
         [](State s) { return s.buzzerOnMs == 100 && s.buzzerOffMs == 200 && s.buzzerRepeat == 0; }},
        {"setBuzzerPattern,65636,200,3", nullptr, "ok", [](State s) { return s.buzzerOnMs == 100 && s.buzzerRepeat == 3; }},
        {"setBuzzerPattern,100,200,3,9", nullptr, "ok", [](State s) { return s.buzzerRepeat == 0; }},
        {"setBuzzerPattern,100,200,x", nullptr, kMalformed, nullptr},
        {"setBacklightLevel,200", nullptr, "ok", [](State s) { return s.backlightLevel == 200; }},
        {"setBacklightLevel,1,2", nullptr, kMalformed, nullptr},
        {"setBacklightLevel,x", nullptr, kInvalid, nullptr},
        {"setBrightnessMode,3", nullptr, "ok", [](State s) { return s.brightnessMode == 1; }},
        {"setAudioChannel", nullptr, kMalformed, nullptr},
        {"setAudioChannel,1,2", nullptr, kMalformed, nullptr},
        {"setAudioChannel,x", nullptr, kInvalid, nullptr},
        {"setAudioChannel,1", nullptr, "ok", [](State s) { return s.audioChannel == 1 && !s.audioChannelAuto; }},
        {"setAudioMute,1", nullptr, "ok", [](State s) { return s.mute == 1; }},
        {"updateFW,/nonexistent/mcu.bin", nullptr, "error,11,Failed to open device", nullptr},
    });
}

TEST_F(ServiceTest, DebugSwitchesOnlyForLowerCaseOnAndOne)
{
    startService();
    const std::string response = "[TCP::Server] Response: \"ok\"";
    for (const char* word : {"ON", "on", "0", "1"}) {
        capture.clear();
        EXPECT_EQ(request(std::string("debug,") + word), "ok");
        const bool on = std::string(word) == "on" || std::string(word) == "1";
        EXPECT_EQ(capture.contains(response), on) << word;
    }
}

TEST_F(ServiceTest, UpdateFirmwareDownloadsTheFile)
{
    startService();
    TempDir files;
    FirmwareFileBuilder(FirmwareFileBuilder::Layout::Legacy)
        .board("Velmor7")
        .revision(4)
        .version(7)
        .imageSize(0x800)
        .build()
        .writeTo(files.file("mcu.bin"));
    // Progress lines reach the client while the download holds the loop.
    client.println("updateFW," + files.file("mcu.bin"));
    std::string reply = line(client);
    int progressLines = 0;
    for (; reply.rfind("event,7,downloadProgress,", 0) == 0; reply = line(client))
        ++progressLines;
    EXPECT_EQ(reply, "ok");
    EXPECT_GT(progressLines, 0);
    EXPECT_TRUE(waitUntil([this] { return boardState([](State s) { return s.resets == 1; }); }, 3000));
}

TEST_F(ServiceTest, LcdCommands)
{
    const std::string text150(150, 't');
    startService();
    runCases({
        {"screenFont,33", nullptr, "ok", [](State s) { return s.font == 33; }},
        {"screenFont,34", nullptr, kInvalid, [](State s) { return s.font == 33; }},
        {"screenFont,-1", nullptr, kInvalid, nullptr},
        {"screenFont,x", nullptr, kMalformed, nullptr},
        {"screenFont,3,x", [](SimDeviceState& s) { s.fontSpacing = 9; }, "ok",
         [](State s) { return s.font == 3 && s.fontSpacing == 9; }},
        {"screenFont,4,2", nullptr, "ok", [](State s) { return s.font == 4 && s.fontSpacing == 2; }},
        {"screenText,0,0,hello", [](SimDeviceState& s) { s.objects.clear(); }, "ok",
         [](State s) { return s.objects.size() == 1 && s.objects.begin()->second.text == "hello"; }},
        {"screenText,1,2,a\\,b,10,20", [](SimDeviceState& s) { s.objects.clear(); }, "ok",
         [](State s) {
             const SimScreenObject& o = s.objects.begin()->second;
             return o.text == "a,b" && o.x == 1 && o.y == 2 && o.width == 10 && o.height == 20;
         }},
        {"screenText,1,2,hi,10", [](SimDeviceState& s) { s.objects.clear(); }, "ok",
         [](State s) { return s.objects.begin()->second.width == 0; }},
        {"screenText,1,2,hi,10,x", nullptr, kMalformed, nullptr},
        {"screenText,0,0," + text150, nullptr, "ok", nullptr},
        {"screenText,0,0," + text150 + "t", nullptr, kMalformed, nullptr},
        {"screenTextAlign,17", nullptr, "ok", [](State s) { return s.textAlign == 1; }},
        {"screenTextAlign,32", nullptr, "ok", [](State s) { return s.textAlign == 16; }},
        {"screenTextAlign,2", nullptr, "ok", [](State s) { return s.textAlign == 0; }},
        {"screenBacklight,255,0,0", nullptr, "ok", [](State s) { return s.backlightColour == 0xFF; }},
        {"screenBacklight,255,0", nullptr, kMalformed, nullptr},
        {"screenDrawBitmap,1,0,0,32,32", [](SimDeviceState& s) { s.nextObjectId = 0x1a; }, "ok,1a",
         [](State s) { return s.objects.at(0x1a).bank == 1; }},
        {"screenRemoveObject,1a", nullptr, "ok", [](State s) { return s.objects.count(0x1a) == 0; }},
        {"screenRemoveObject,xyz", nullptr, kMalformed, nullptr},
        {"screenDrawBitmap,2,0,0,32,zz", nullptr, "ok,1b", [](State s) { return s.objects.at(0x1b).height == 0; }},
        {"screenDrawBitmap,2,0,0,32", nullptr, kMalformed, nullptr},
    });
}

TEST_F(ServiceTest, BacklightColourOnABoardWithoutIt)
{
    BoardProfile profile;
    profile.colourBacklight = false;
    startService(profile);
    EXPECT_EQ(request("screenBacklight,255,0,0"), "error,3,The requested API ID is invalid, or not supported");
}

} // namespace
