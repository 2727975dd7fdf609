// The board's remote procedures and events through a real broker to the
// simulated board and back: each request's reply and what reached the board.

#include "BoardMqttFixture.h"

#include <syslog.h>

#include <filesystem>

#include "foundation/String.h"
#include "image/ImageLimits.h"
#include "support/FirmwareFile.h"

namespace {

// The bank the board already shows when a request starts; draw cases
// describe every object but it.
constexpr uint32_t kStanding = 99;

void resetOutputs(SimDeviceState& s)
{
    s.objects = {{kStanding, SimScreenObject{SimScreenObject::Blank, 0, 0, 1, 1, "", 0}}};
    s.nextObjectId = 1;
    s.screenStatus = 2;
    s.textAlign = 0x22;
    s.font = 9;
    s.fontSpacing = 9;
    s.ledColour = 0xFFFFFF;
    s.ledPattern.clear();
    s.ledRepeat = 0xFF;
    s.buzzerOnMs = s.buzzerOffMs = 0xFFFF;
    s.buzzerRepeat = 0xFF;
    s.peripheralResets = {};
    s.bitmapBanks = {};
    s.uploadCompressedSize = 0;
}

// Banks 1 to 3 in hexadecimal (their sizes beyond four octets), and whether
// the last upload was compressed.
std::string banks(SimDeviceState& s)
{
    std::string text = "banks";
    for (size_t bank = 1; bank <= 3; ++bank) {
        const std::vector<uint8_t>& pixels = s.bitmapBanks[bank].pixels;
        text += " " + std::to_string(bank) + ":" + (pixels.size() > 4 ? "n" + std::to_string(pixels.size()) : "");
        for (size_t i = 0; pixels.size() <= 4 && i < pixels.size(); ++i)
            text += String::format("%02x", pixels[i]);
    }
    return text + (s.uploadCompressedSize ? " compressed" : " plain");
}

// What the requests change on the board, by area: the screen's status and
// object count, the objects drawn with the text settings, the LEDs (colour,
// steps, repeat), the buzzer (on, off, repeat) and the USB hub's resets.
std::string outputs(SimDeviceState& s)
{
    auto n = [](auto v) { return std::to_string(v); };
    std::string text = "screen " + n(s.screenStatus) + "/" + n(s.objects.size()) + " drawn ";
    for (const auto& [id, o] : s.objects) {
        if (id != kStanding) {
            text += (o.kind == SimScreenObject::Text ? "T" : "B") + n(o.x) + "," + n(o.y) + "," + n(o.width) + "," +
                    n(o.height) + "," + n(o.kind == SimScreenObject::Text ? o.text.size() : o.bank) + " ";
        }
    }
    return text + "a" + n(s.textAlign) + " f" + n(s.font) + " s" + n(s.fontSpacing) + " leds c" + n(s.ledColour) +
           " n" + n(s.ledPattern.size()) + " r" + n(s.ledRepeat) + " buzzer " + n(s.buzzerOnMs) + "," +
           n(s.buzzerOffMs) + "," + n(s.buzzerRepeat) + " resets " + n(s.peripheralResets[0]) + " " + banks(s);
}

json stored(const char* source, json value, long long bank = 1, int height = 1, const json& more = json::object())
{
    json request = {{"bank", bank}, {source, value}, {"width", 8}, {"height", height}};
    request.update(more);
    return request;
}

const std::string kPng = (std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "pngsuite" /
                          "basn0g01.png").string();

json text(int x = 0)
{
    return {{"type", "text"}, {"text", "t"}, {"x", x}};
}

json step(json duration = 10)
{
    return {{"color", {{"r", 1}, {"g", 2}, {"b", 3}}}, {"duration", duration}};
}

const char* const kDone = R"({"completed":true})";
const char* const kMalformed = R"({"completed":false,"error":"MalformedRequest"})";
const char* const kInvalid = R"({"completed":false,"error":"InvalidArgument"})";

class BoardMqttRpc : public BoardMqttTest {
protected:
    void SetUp() override
    {
        openAdaptor();
        attachAdaptor();
        connect();
        ASSERT_FALSE(next("info").is_null());
    }

    // Sends the request and returns the reply text; "" when none came.
    std::string call(const std::string& rpc, const std::string& payload)
    {
        const std::string id = std::to_string(++lastId);
        peer->publish("tavo/lumacore/" + rpc + "/request/" + id, payload);
        const auto reply = peer->next("tavo/lumacore/" + rpc + "/response/" + id);
        return reply ? reply->to_string() : std::string();
    }

    int lastId = 0;
};

} // namespace

TEST_F(BoardMqttRpc, RequestsAreCheckedAndReachTheBoard)
{
    const std::string longText(151, 'x');
    const struct {
        const char* rpc;
        std::string payload;
        std::string reply;
        const char* observed;
    } cases[] = {
        {"lcd/clear", "not json", kDone, "screen 2/0"},
        {"lcd/disable", "", kDone, "screen 0/1"},
        {"lcd/enable", "{", kDone, "screen 1/1"},
        {"led/off", "[", kDone, "leds c0 n0 r255"},
        {"lcd/draw/text", R"({"text":"hi"})", R"({"completed":true,"data":{"objectId":1}})",
         "drawn T0,0,0,0,2 a17 f0 s0"},
        {"lcd/draw/text", R"({"text":"hi","alignH":"LEFT","alignV":"bottom","x":-5,"y":3,"font":2,"spacing":1.5})",
         R"({"completed":true,"data":{"objectId":1}})", "drawn T0,3,0,0,2 a33 f2 s0"},
        {"lcd/draw/text", R"({"text":5})", kInvalid, "drawn a34 f9 s9"},
        {"lcd/draw/text", R"({"x":1})", kMalformed, "drawn a34 f9 s9"},
        {"lcd/draw/text", json{{"text", longText}}.dump(), R"({"completed":true,"data":{"objectId":1}})",
         "drawn T0,0,0,0,150 a17 f0 s0"},
        {"lcd/draw/bitmap", R"({"bank":2,"width":8,"height":4,"x":-1,"y":3})",
         R"({"completed":true,"data":{"objectId":1}})", "drawn B0,3,8,4,2 a34 f9 s9"},
        {"lcd/draw/bitmap", R"({"bank":2,"width":8})", kMalformed, "drawn a34 f9 s9"},
        {"lcd/draw/bitmap", R"({"bank":2,"width":8,"height":"4"})", kInvalid, "drawn a34 f9 s9"},
        {"lcd/draw", json::array({text(1), text(2), text(3), text(4), text(5), text(6)}).dump(), kMalformed,
         "drawn a34 f9 s9"},
        {"lcd/draw", json::array({text(1), text(2), text(3), text(4), text(5)}).dump(), kDone,
         "drawn T1,0,0,0,1 T2,0,0,0,1 T3,0,0,0,1 T4,0,0,0,1 T5,0,0,0,1 a17 f0 s0"},
        {"lcd/draw", "[]", kDone, "drawn a34 f9 s9"},
        {"lcd/draw", json::array({text(1), {{"type", "circle"}}, text(2)}).dump(), kDone,
         "drawn T1,0,0,0,1 T2,0,0,0,1 a17 f0 s0"},
        {"lcd/draw", json::array({text(1), text(2), {{"x", 3}}, text(4)}).dump(), kMalformed,
         "drawn T1,0,0,0,1 T2,0,0,0,1 a17 f0 s0"},
        {"lcd/draw", json::array({text(1), {{"type", "text"}}, text(2)}).dump(), kMalformed,
         "drawn T1,0,0,0,1 a17 f0 s0"},
        {"lcd/draw", R"({"type":"text"})", kMalformed, "drawn a34 f9 s9"},
        {"lcd/draw", std::string(100000, '[') + std::string(100000, ']'), kMalformed, "drawn a34 f9 s9"},
        {"led/color/set", R"({"r":300,"g":0,"b":0})", kDone, "leds c44 n0 r255"},
        {"led/color/set", "[]", kInvalid, "leds c16777215 n0 r255"},
        {"led/color/set", "{}", kInvalid, "leds c16777215 n0 r255"},
        {"led/color/set", R"({"r":1,"g":2,"b":-3})", kInvalid, "leds c16777215 n0 r255"},
        {"led/play", json{{"steps", std::vector<json>(7, step())}, {"repeat", 3}}.dump(), kDone,
         "leds c16777215 n6 r3"},
        {"led/play", json{{"steps", {step(), step(), {{"duration", 5}}}}}.dump(), kMalformed, "leds c16777215 n0 r255"},
        {"led/play", json{{"steps", {step(), step(), step("5")}}}.dump(), kInvalid, "leds c16777215 n0 r255"},
        {"led/play", json{{"steps", {step()}}, {"repeat", "2"}}.dump(), kDone, "leds c16777215 n1 r0"},
        {"led/play", R"({"steps":{}})", kMalformed, "leds c16777215 n0 r255"},
        {"buzzer/play", R"({"onMsec":70000})", kDone, "buzzer 4464,0,0"},
        {"buzzer/play", R"({"onMsec":-1})", kInvalid, "buzzer 65535,65535,255"},
        {"buzzer/play", R"({"offMsec":5})", kMalformed, "buzzer 65535,65535,255"},
        {"buzzer/play", R"({"onMsec":5,"repeat":"2"})", kInvalid, "buzzer 65535,65535,255"},
        {"buzzer/play", "", kMalformed, "buzzer 65535,65535,255"},
        {"ota", "", kMalformed, "resets 0"},
        {"ota", R"({"path":5})", kMalformed, "resets 0"},
        {"ota", R"({"path":"/nonexistent/firmware.bin"})", R"({"completed":false,"error":"OpenFailed"})", "resets 0"},
        {"power/reset", R"({"id":"USBHUB"})", kInvalid, "resets 0"},
        {"power/reset", "[]", kInvalid, "resets 0"},
        {"power/reset", R"({"id":5})",
         R"({"completed":false,"error":{"description":)"
         R"("[json.exception.type_error.302] type must be string, but is number"}})",
         "resets 0"},
        {"power/reset", R"({"id":"usbHub"})", kDone, "resets 1"},
        {"lcd/store/buffer", stored("buffer", "abc").dump(), kDone, "banks 1:0abc 2: 3: plain"},
        {"lcd/store/buffer", stored("buffer", "zz0102", 1, 3).dump(), kDone, "banks 1:000102 2: 3: plain"},
        {"lcd/store/buffer", stored("buffer", std::string(32, '0'), 1, 16, {{"compressed", true}}).dump(), kDone,
         "banks 1:n16 2: 3: compressed"},
        {"lcd/store/buffer", stored("buffer", std::string(32, '0'), 1, 16, {{"compressed", "true"}}).dump(), kDone,
         "banks 1:n16 2: 3: plain"},
        {"lcd/store/buffer", stored("buffer", 5).dump(), kInvalid, "banks 1: 2: 3: plain"},
        {"lcd/store/buffer", stored("buffer", "ab", -1).dump(), kInvalid, "banks 1: 2: 3: plain"},
        {"lcd/store/buffer", R"({"bank":1,"buffer":"ab","width":8})", kMalformed, "banks 1: 2: 3: plain"},
        {"lcd/store/file", json{{"bank", 1}, {"path", kPng}, {"width", 32}, {"height", 32}}.dump(), kDone,
         "banks 1:n128 2: 3: plain"},
        {"lcd/store/file", stored("path", kPng, 4294967297).dump(), kInvalid, "banks 1: 2: 3: plain"},
        {"lcd/store/file", stored("path", "/nonexistent.png").dump(), R"({"completed":false,"error":"OpenFailed"})",
         "banks 1: 2: 3: plain"},
        {"lcd/store",
         json::array({stored("buffer", "0a"), json{{"x", 1}}, 5, stored("buffer", "0b", 2, 1, {{"path", 5}}),
                      stored("path", "/nonexistent.png", 3), stored("buffer", "0c", 3)})
             .dump(),
         R"({"completed":false,"error":"OpenFailed"})", "banks 1:0a 2:0b 3: plain"},
        {"lcd/store", "{}", kMalformed, "banks 1: 2: 3: plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.rpc) + " " + c.payload.substr(0, 80));
        boardState([](SimDeviceState& s) {
            resetOutputs(s);
            return 0;
        });
        EXPECT_EQ(call(c.rpc, c.payload), c.reply);
        const std::string summary = boardState(outputs);
        EXPECT_NE(summary.find(c.observed), std::string::npos) << summary;
    }
    EXPECT_TRUE(capture.contains(LOG_WARNING, "[ManagerMqttAdaptor] Too many items in array. Max: 5"));
}

TEST_F(BoardMqttRpc, LedPlayTellsAMissingColourPartFromOneOfTheWrongType)
{
    const std::pair<const char*, json> wrongTypes[] = {{"r", "1"}, {"g", -1}, {"b", 1.5}};
    for (const auto& [part, wrong] : wrongTypes) {
        json missing = step();
        missing["color"].erase(part);
        json mistyped = step();
        mistyped["color"][part] = wrong;
        for (const auto& [bad, reply] : {std::pair{missing, kMalformed}, std::pair{mistyped, kInvalid}}) {
            boardState([](SimDeviceState& s) {
                resetOutputs(s);
                return 0;
            });
            EXPECT_EQ(call("led/play", json{{"steps", {step(), bad}}}.dump()), reply) << bad.dump();
            EXPECT_EQ(boardState([](SimDeviceState& s) { return s.ledRepeat; }), 0xFF) << bad.dump();
        }
    }
}

TEST_F(BoardMqttRpc, AFailedOperationRepliesWithItsCodeAlone)
{
    board.forceReply(8, 34, 1, {34});
    EXPECT_EQ(call("lcd/draw/bitmap", R"({"bank":2,"width":8,"height":4})"),
              R"({"completed":false,"error":"HardwareError"})");
}

TEST_F(BoardMqttRpc, APeripheralsResetPublishesItsPowerStateEvenWhenItFails)
{
    MqttPeer watcher(broker->url(), "watcher");
    watcher.subscribe("tavo/lumacore/power/usbHub");
    boardState([](SimDeviceState& s) { return s.peripheralPower[0] = 1; });
    for (const char* reply : {kDone, R"({"completed":false,"error":"HardwareError"})"}) {
        EXPECT_EQ(call("power/reset", R"({"id":"usbHub"})"), reply);
        const auto power = watcher.next("tavo/lumacore/power/usbHub");
        ASSERT_TRUE(power) << reply;
        EXPECT_EQ(power->to_string(), "true");
        board.forceReply(1, 2, 1, {2});
    }
}

TEST_F(BoardMqttRpc, EveryIndicationIsPublishedAsAnEvent)
{
    const struct {
        uint8_t id;
        uint8_t subId;
        std::vector<uint8_t> values;
        const char* name;
        const char* data;
    } cases[] = {
        {1, 5, {1}, "PowerButtonPressed", "1"},
        {4, 1, {0x0A, 0x28}, "Overtemperature", "26"},
        {5, 0, {1, 0}, "AudioJackChanged", "1,0"},
        {1, 6, {1}, "InputChanged", "0,1"},
        {7, 2, {3, 1}, "InputChanged", "3,1"},
        {11, 2, {0, 0, 0x09, 0xC4}, "HighGAlarm", "2.5"},
        {1, 10, {1}, "IgnitionChanged", "1"},
        {1, 99, {}, "UnknownEvent", ""},
        {1, 3, {}, "SystemOff", ""},
    };
    for (const auto& c : cases) {
        board.sendIndication(c.id, c.subId, c.values);
        const json event = next("event");
        EXPECT_EQ(event["name"], c.name);
        EXPECT_EQ(event["data"], c.data) << c.name;
        ASSERT_TRUE(event["timestamp"].is_string()) << c.name;
        EXPECT_EQ(event["timestamp"].get<std::string>().size(), 14u) << c.name;
    }
}

TEST_F(BoardMqttRpc, AnUpdateRepliesAtOnceAndReportsItsProgressAsEvents)
{
    TempDir dir;
    const std::string path = dir.path() + "/update.bin";
    FirmwareFileBuilder(FirmwareFileBuilder::Layout::CorvidNX).version(4, 5, 6).build().writeTo(path);
    EXPECT_EQ(call("ota", json{{"path", path}}.dump()), kDone);
    json event = next("event");
    EXPECT_EQ(event["name"], "downloadProgress");
    while (!event.is_null() && event["data"] != "100") {
        event = next("event");
    }
    EXPECT_EQ(event["data"], "100");
    EXPECT_TRUE(waitUntil([&] { return boardState([](SimDeviceState& s) { return s.firmwareVersion; }) == "4.5.6"; },
                          10000));
}

TEST_F(BoardMqttTest, AStoredBufferBeyondTheImageCapIsRefusedBeforeDecoding)
{
    openAdaptor();
    const std::string payload =
        R"({"bank":1,"width":8,"height":1,"buffer":")" + std::string(2 * IMAGE_MAX_BUFFER + 1, '0') + "\"}";
    EXPECT_EQ(adaptor->lcdStoreBuffer("", payload, ""), kInvalid);
    EXPECT_EQ(countLines("[Manager] Storing LCD image buffer : bankId=1, width=8, height=1, compress=false, "
                         "size=16777217"),
              0u);
}
