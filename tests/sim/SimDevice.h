#pragma once
// SimDevice: the simulated microcontroller's own model of the board and the
// table of requests it answers. It declares its own view of each request
// (argument count, reply layout) instead of borrowing the driver's, so a
// disagreement between the two shows up as a failing test.
//
// Error policy (Error field of the reply):
//   a message that is not a request 4, unknown identifier 3, known
//   identifier with unknown sub-identifier 5, wrong request size 7, argument
//   out of range 6 (also a transfer segment out of turn), content that does
//   not fit its layout 2.
//
// Threading: handle() runs on the simulator's line thread; tests read and
// change the state through access() from their own thread. mMutex guards the
// state; handlers run with it held and must not call access().

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

// One step of the LED pattern: colour (red in bits 0-7, green 8-15, blue
// 16-23) and duration in milliseconds.
struct SimLedStep {
    uint32_t colour;
    uint32_t durationMs;
};

// A GPIO pin. Modes: 0 output, 1 digital input, 2 analog input; pull
// resistor: 0 floating, 1 up, 2 down.
struct SimPin {
    uint8_t mode = 1;
    uint8_t output = 0;
    uint8_t input = 0;
    uint16_t analog = 0;
    uint8_t pull = 0;
};

// What the LCD shows: blank rectangles, texts and stored bitmaps.
struct SimScreenObject {
    enum Kind { Blank, Text, Bitmap } kind;
    int16_t x, y, width, height;
    std::string text; // Text
    uint8_t bank;     // Bitmap
};

// A serial port's line mode: protocol 0 RS-232, 1 RS-485; duplex 0 half,
// 1 full.
struct SimSerialPort {
    uint8_t protocol = 0;
    uint8_t duplex = 1;
};

// A firmware parameter: its type code (1 integer, 2 double, 3 text) and the
// value of that type.
struct SimParameter {
    uint8_t code;
    uint32_t integer;
    double number;
    std::string text;
};

// An LCD bitmap bank: the picture as the board stores it, uncompressed.
struct SimBitmapBank {
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint8_t> pixels;
};

// A segmented transfer (bitmap upload, firmware download) as the board
// follows it: a header announces total octets in segments of 128, data
// segments must come in order. A repeat of the last accepted segment (or of
// the header before any data) is a retransmission and is accepted again;
// any other segment out of turn is rejected and remembered.
struct SimTransfer {
    enum Outcome { Accepted, Rejected, WrongSize };
    static constexpr size_t kSegmentSize = 128;

    void start(const std::vector<uint8_t>& header, size_t totalOctets, size_t segmentCount);
    Outcome segment(size_t number, const std::vector<uint8_t>& octets);
    // Forgets the transfer; the counters and detectors stay.
    void clear();
    bool complete() const { return active && next > segments; }

    bool active = false;
    std::vector<uint8_t> header;
    size_t total = 0;
    size_t segments = 0;
    size_t next = 1;
    std::vector<uint8_t> received;
    std::vector<uint8_t> last;

    int repeats = 0;       // retransmitted segments accepted again
    int abandoned = 0;     // transfers replaced by a new header before they completed
    bool sawInterleaved = false; // a segment of the current number but other octets
    bool sawOutOfOrder = false;  // a segment that was neither next nor a repeat
};

// What the simulated board knows about itself. Counters record requests
// that change nothing readable.
struct SimDeviceState {
    static constexpr size_t kPeripherals = 15;
    static constexpr size_t kFonts = 35;
    static constexpr size_t kBitmapBanks = 16;
    static constexpr size_t kMaxLedSteps = 6;

    // System and bootloader.
    std::string firmwareVersion = "1.2.3";
    std::string hardwareVersion = "Velmor7-R4";
    std::string hardwareId = "SIM-0001";
    std::string poleId = "SIM-POLE";
    uint32_t uptimeSeconds = 0;
    // Boot reason, watchdog triggered, RTC failed, debug enabled, MCU reset.
    std::array<uint8_t, 5> hardwareStatus{};
    uint16_t bootStatus = 0;
    uint16_t bootFlags = 0x0001;
    int defaultsRestored = 0;
    int resets = 0;

    // Power and inputs.
    std::array<uint8_t, kPeripherals> peripheralPower{}; // by microcontroller peripheral number
    std::array<int, kPeripherals> peripheralResets{};
    uint8_t ignition = 0;
    uint8_t input = 0;
    uint16_t supplyMillivolts = 12000;
    int shutdownDelays = 0;

    // Display brightness: mode 0 manual, 1 automatic.
    uint8_t backlightLevel = 100;
    uint8_t lightSensorLevel = 0;
    uint8_t brightnessMode = 0;

    // Buzzer, case, audio.
    uint16_t buzzerOnMs = 0;
    uint16_t buzzerOffMs = 0;
    uint8_t buzzerRepeat = 0;
    int16_t caseTemperatureCenti = 2500;
    uint8_t heater = 0;
    uint8_t audioChannel = 0;
    bool audioChannelAuto = true;
    uint8_t amplifier = 0;
    uint8_t mute = 0;
    std::vector<uint8_t> jacks{0, 0}; // one or two jacks reported

    // LEDs.
    std::vector<SimLedStep> ledPattern;
    uint8_t ledRepeat = 0;
    uint32_t ledColour = 0;

    // GPIO.
    std::vector<SimPin> pins = std::vector<SimPin>(8);

    // LCD: status 0 off, 1 on, 2 on and idle.
    uint8_t screenStatus = 1;
    uint16_t screenWidth = 128;
    uint16_t screenHeight = 64;
    uint8_t font = 0;
    uint8_t fontSpacing = 1;
    uint8_t textAlign = 0;
    uint32_t nextObjectId = 1;
    std::map<uint32_t, SimScreenObject> objects;
    uint32_t backlightColour = 0; // 24 bits

    // Serial ports, printer, inertial unit.
    std::vector<SimSerialPort> serialPorts = std::vector<SimSerialPort>(2);
    int printerCoverOpenings = 0;
    std::array<int16_t, 6> imuRaw{}; // acceleration x, y, z, rotation x, y, z
    uint32_t imuTotalMilliG = 1000;

    // Firmware parameters; setFirmwareDefaults restores defaultParameters().
    // Names in unknownParameters are refused as if the firmware lacked them.
    static std::map<std::string, SimParameter> defaultParameters();
    std::map<std::string, SimParameter> parameters = defaultParameters();
    std::set<std::string> unknownParameters;

    // Bitmap banks and the upload that fills one.
    std::array<SimBitmapBank, kBitmapBanks> bitmapBanks;
    SimTransfer bitmapUpload;
    uint8_t uploadBank = 0;
    SimBitmapBank uploadHeader;
    uint16_t uploadCompressedSize = 0;

    // The firmware store: the download in progress, checked at the next
    // reset; bootStatus then reports 0x0001 installed, 0x0020 wrong CRC,
    // 0x0002 incomplete, 0 when nothing was downloaded. An installed image
    // that carries a header (legacy at 0x100, Corvid-NX at 0x200) makes its
    // version the firmware version the board reports.
    SimTransfer firmwareDownload;
    uint32_t firmwareCrc = 0;
    std::vector<uint8_t> installedFirmware;
    // The image offset whose octet the flash stores inverted, a write fault
    // that the CRC check at the next reset finds; -1: none.
    long flashFaultAt = -1;
    // After a reset the board hears nothing for this long while it reboots
    // (its reply to the reset is lost with it); 0: it answers at once.
    int rebootMs = 0;
};

// The answer to one request: the Error field and the values that follow the
// sub-identifier in Data.
struct SimReply {
    int error = 0;
    std::vector<uint8_t> values;
};

class SimDevice {
public:
    // A request's arguments are the octets after the sub-identifier.
    using Handler = std::function<SimReply(SimDeviceState& state, const std::vector<uint8_t>& args)>;
    static constexpr int kVariableSize = -1;

    SimDevice();

    // Answers one request message (Data[0] is its sub-identifier) under the
    // error policy above; the result's values exclude the sub-identifier.
    SimReply handle(uint8_t id, int type, const uint8_t* data, uint16_t size);

    // Runs f on the state under the device's lock and returns its result.
    template <typename F>
    auto access(F&& f)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return f(mState);
    }

private:
    struct Entry {
        int argCount; // octets after the sub-identifier, or kVariableSize
        Handler handler;
    };

    void add(uint8_t id, uint8_t subId, int argCount, Handler handler);
    void addSystem();
    void addPower();
    void addDisplayBuzzerAudio();
    void addLeds();
    void addGpio();
    void addScreen();
    void addSerialPrinterImu();
    void addBootloader();
    void addParameters();
    void addBitmapStore();
    void addFirmwareStore();

    std::mutex mMutex;
    SimDeviceState mState;
    std::map<std::pair<uint8_t, uint8_t>, Entry> mTable;
};
