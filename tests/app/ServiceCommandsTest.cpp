// The commands without arguments over a real socket: each reply and what
// reached the simulated board, and every device error rendered.

#include <regex>

#include "ServiceFixture.h"

namespace {

// Each case starts with the reset and printer counters at 0.
const std::vector<CommandCase> kNoArgumentCases = {
    {"setAudioAutoSelect", [](SimDeviceState& s) { s.audioChannelAuto = false; }, "ok",
     [](const SimDeviceState& s) { return s.audioChannelAuto; }},
    {"screenOn", [](SimDeviceState& s) { s.screenStatus = 0; }, "ok",
     [](const SimDeviceState& s) { return s.screenStatus != 0; }},
    {"screenOff", nullptr, "ok", [](const SimDeviceState& s) { return s.screenStatus == 0; }},
    {"screenClear", [](SimDeviceState& s) { s.objects[7] = SimScreenObject{SimScreenObject::Blank, 0, 0, 1, 1, "", 0}; },
     "ok", [](const SimDeviceState& s) { return s.objects.empty(); }},
    {"clearLEDState", [](SimDeviceState& s) { s.ledColour = 0xff; }, "ok",
     [](const SimDeviceState& s) { return s.ledColour == 0 && s.ledPattern.empty(); }},
    {"resetSystem", nullptr, "ok", [](const SimDeviceState& s) { return s.resets == 1; }},
    {"openPrinterCover", nullptr, "ok", [](const SimDeviceState& s) { return s.printerCoverOpenings == 1; }},
    {"heartbeat", nullptr, "ok", nullptr},
    {"setDefaults", nullptr, "ok", [](const SimDeviceState& s) { return s.defaultsRestored == 1; }},
    {"getIgnitionInput", [](SimDeviceState& s) { s.ignition = 1; }, "ok,1", nullptr},
    {"getInput", [](SimDeviceState& s) { s.input = 0; }, "ok,0", nullptr},
    {"getSystemUptime", [](SimDeviceState& s) { s.uptimeSeconds = 98765; }, "ok,98765", nullptr},
    {"getSystemVoltage", [](SimDeviceState& s) { s.supplyMillivolts = 12250; }, "ok,12.250000", nullptr},
    {"getCaseTemperature", [](SimDeviceState& s) { s.caseTemperatureCenti = -1050; }, "ok,-10.500000", nullptr},
    {"getHeaterState", [](SimDeviceState& s) { s.heater = 1; }, "ok,1", nullptr},
    {"getFWVer", nullptr, "ok,1.2.3", nullptr},
    {"getHWVer", nullptr, "ok,Velmor7-R4", nullptr},
    {"getHWID", nullptr, "ok,HWID-0001", nullptr},
    {"getPoleID", [](SimDeviceState& s) { s.poleId = "POLE-42"; }, "ok,POLE-42", nullptr},
    {"getHWStatus", [](SimDeviceState& s) { s.hardwareStatus = {4, 1, 0, 1, 1}; }, "ok,4,1,0,1", nullptr},
    {"getImuRawData", [](SimDeviceState& s) { s.imuRaw = {1, -2, 3, -4, 5, -300}; }, "ok,1,-2,3,-4,5,-300",
     nullptr},
    {"getImuTotalAcceleration", [](SimDeviceState& s) { s.imuTotalMilliG = 1500; }, "ok,1.500000", nullptr},
    {"getAudioJackState", [](SimDeviceState& s) { s.jacks = {0, 1}; }, "ok,0,1", nullptr},
    {"getAudioChannel", [](SimDeviceState& s) { s.audioChannel = 2; }, "ok,2", nullptr},
    {"getAudioMute", [](SimDeviceState& s) { s.mute = 1; }, "ok,1", nullptr},
    {"getBacklightLevel", [](SimDeviceState& s) { s.backlightLevel = 200; }, "ok,200", nullptr},
    {"getLightSensorLevel", [](SimDeviceState& s) { s.lightSensorLevel = 42; }, "ok,42", nullptr},
    {"getBrightnessMode", [](SimDeviceState& s) { s.brightnessMode = 1; }, "ok,1", nullptr},
    {"screenSize", nullptr, "ok,128,64", nullptr},
    {"screenStatus", [](SimDeviceState& s) { s.screenStatus = 0; }, "ok,0", nullptr},
    {"screenStatus", [](SimDeviceState& s) { s.screenStatus = 1; }, "ok,1", nullptr},
    {"screenStatus", [](SimDeviceState& s) { s.screenStatus = 2; }, "ok,2", nullptr},
    {"getBootFlags", [](SimDeviceState& s) { s.bootFlags = 0x00C1; }, "ok,00C1", nullptr},
    {"getBootStatus", [](SimDeviceState& s) { s.bootStatus = 0x0a03; }, "ok,a03", nullptr},
};

TEST_F(ServiceTest, CommandsWithoutArgumentsAnswerAndReachTheBoard)
{
    startService();
    for (CommandCase c : kNoArgumentCases) {
        const auto prepare = c.prepare;
        c.prepare = [prepare](SimDeviceState& s) {
            s.resets = s.printerCoverOpenings = s.defaultsRestored = 0;
            if (prepare)
                prepare(s);
        };
        runCases({c});
    }
}

TEST_F(ServiceTest, DeviceErrorsAreRenderedWithTheLinkNumbering)
{
    const std::pair<int, const char*> cases[] = {
        {1, "error,1,General/Hardware error"},
        {2, "error,8,Unknown error"},
        {3, "error,6,Command parameter is invalid or out of range"},
        {4, "error,4,Wrong or unsupported message Type"},
        {5, "error,3,The requested API ID is invalid, or not supported"},
        {6, "error,6,Command parameter is invalid or out of range"},
        {7, "error,7,Unexpected message size"},
        {8, "error,8,Unknown error"},
    };
    startService();
    for (const auto& c : cases) {
        board.forceReply(0, 0, c.first, {0});
        EXPECT_EQ(request("heartbeat"), c.second) << c.first;
    }
    board.clearForcedReplies();
    board.setSilent(true);
    EXPECT_EQ(request("heartbeat"), "error,9,A response was not received within the timeout period");
    board.setSilent(false);

    // Results the board cannot give.
    using tavo::Board::ErrorCode;
    using tavo::Board::TCP::Service;
    const std::pair<ErrorCode, const char*> local[] = {
        {ErrorCode::MalformedRequest, "error,2,Malformed packet received"},
        {ErrorCode::SendFailed, "error,10,Failed to send the API message"},
        {ErrorCode::OpenFailed, "error,11,Failed to open device"},
        {static_cast<ErrorCode>(40), "error,8,Unknown error"},
    };
    for (const auto& c : local)
        EXPECT_EQ(Service::renderErrorCode(c.first), c.second);
}

TEST_F(ServiceTest, HelpListsTheVisibleWordsInOrderThenOk)
{
    startService();
    client.println("help");
    std::vector<std::string> words;
    for (std::string word = line(client); word != "ok" && word != "(none)"; word = line(client))
        words.push_back(word);
    EXPECT_TRUE(std::is_sorted(words.begin(), words.end()));
    for (const char* word : {"clearLEDState", "getBootStatus", "getFWVer", "help", "setDefaults"})
        EXPECT_NE(std::find(words.begin(), words.end(), word), words.end()) << word;
    for (const std::string& word : words)
        EXPECT_EQ(word.find("BootFlag"), std::string::npos) << word;
    EXPECT_EQ(request("getBootFlags").substr(0, 3), "ok,");
}

// While the board answers every request but the heartbeat with an error,
// each getter that asks it answers that error, not "ok" with a value the
// board never gave; those that answer from the manager's cache still answer.
TEST_F(ServiceTest, GettersThatAskTheBoardAnswerItsError)
{
    startService();
    board.refuseRequests([](const API_Message_t& request) {
        const bool heartbeat = request.ID == 0 && request.Size > 0 && request.Data[0] == 0;
        return heartbeat ? 0 : 1;
    });
    for (const char* getter :
         {"getIgnitionInput", "getInput", "getSystemUptime", "getSystemVoltage", "getCaseTemperature",
          "getHeaterState", "getPoleID", "getHWStatus", "getImuRawData", "getImuTotalAcceleration",
          "getAudioJackState", "getAudioChannel", "getAudioMute", "getBacklightLevel", "getLightSensorLevel",
          "getBrightnessMode", "screenSize", "screenStatus", "getBootFlags", "getBootStatus", "getDigitalInput,1",
          "getAnalogInput,1", "getDigitalOutput,1", "getParameter,MAX_SHUTDOWN_DELAY", "getPeripheralPower,1",
          "getSerialProtocol,0", "getSerialDuplex,0"})
        EXPECT_EQ(request(getter), "error,1,General/Hardware error") << getter;
    EXPECT_EQ(request("getFWVer"), "ok,1.2.3");
    board.refuseRequests(nullptr);
}

} // namespace
