// tavo::Board::Manager: the facade of the board. main, the remote interfaces,
// the configuration adaptor and the stress test reach the microcontroller only
// through it. It owns the device driver, the board configuration, the cached
// GPIO records and identity, the bootloader status and its timers, and tells
// its observers of events, status changes and configuration changes.
//
// The code is split by concern: Manager.cpp (opening, handshake, stop),
// ManagerProbe.cpp (capability probe, identity, pin/port/power counts),
// ManagerEvents.cpp (events, status polling, delayed shutdown),
// ManagerConfig.cpp (configuration apply and report), ManagerFirmware.cpp
// (firmware update, bootloader flags and status), ManagerGpio.cpp,
// ManagerLcd.cpp and ManagerOperations.cpp (hardware operations),
// ManagerBitmap.cpp (LCD bitmap storage).
//
// Threading:
// - The constructor runs on the caller's thread. From the moment the event
//   handler is registered, lpcEventHandler runs on the driver's reader thread
//   (and on a downloading thread for download progress). Each timer runs its
//   callback on a thread of its own. The operations run on their callers'
//   threads (remote interfaces, timers, stress test); the driver serialises
//   their device requests and blocks each caller until reply or time-out.
// - Nothing on the reader thread makes a device request.
// - observersMutex guards `observers`; it is held only to add an observer or
//   to copy the set, never while an observer runs.
// - gpioMutex guards the records in `gpios`; it is held across a pin's device
//   request so that the cache follows the order in which requests were sent.
//   Lock order: gpioMutex, then the driver's request mutex.
// - The counts, the capability flags and the identity texts are written
//   only by the constructor and read-only afterwards. isActive, ignitionOn,
//   stopBegun and lastStatusBegun are atomic flags.
// - configMutex guards `config` and `delayedShutdownSupported`, also while
//   the constructor writes them, since the ignition handler reads both from
//   the moment it is registered; it is never held across a device request.
//   bootloaderMutex guards the cached bootloader flags and status, which are
//   handed out as shared pointers to objects that never change.
//   firmwareMutex keeps firmware updates (each a download and the reset
//   after it) one at a time; a progress observer must not start another
//   update. Lock order: firmwareMutex, then the driver's locks.
#pragma once

#include <atomic>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "board/BootloaderFlags.h"
#include "board/BootloaderStatus.h"
#include "board/Color.h"
#include "board/Config.h"
#include "board/ErrorCode.h"
#include "board/Firmware.h"
#include "board/Gpio.h"
#include "board/Hardware.h"
#include "board/Led.h"
#include "board/Observer.h"
#include "board/Peripheral.h"
#include "board/Screen.h"
#include "board/Serial.h"
#include "foundation/Log.h"
#include "foundation/Timer.h"
#include "foundation/Variant.h"
#include "lpc/LPCDriver.h"
#include "lpc/LpcStats.h"
#include "lpc/LpcTypes.h"

namespace tavo::Board {

class Manager : public Logger, public std::enable_shared_from_this<Manager> {
public:
    // What the manager reaches on its host besides the serial device. Tests
    // replace both, so that no test moves files beside its own binary or
    // runs a real host command.
    struct Host {
        // Searched for firmware files; empty means the executable's directory.
        std::string firmwareDirectory;
        // Runs a shell command; returns what std::system returns. Empty
        // means runHostCommand.
        std::function<int(const std::string& command)> runCommand;
        // The driver's reply time-out from the first heartbeat on; empty
        // means its default. Tests on a starved host lengthen it.
        std::optional<int> receiveTimeoutMs;
    };

    // Opens the device (115200 twice, then 57600 twice, each with up to
    // three heartbeat handshakes), probes it, reads its identity, counts its
    // GPIO pins and serial ports, reads the power states and arms the
    // automatic firmware update. Throws std::runtime_error "Could not open
    // device <path> ." when no rate answers, after logging why the last
    // attempt failed.
    explicit Manager(const std::string& device, Host host = Host{});
    // Stops every timer, waits until no asynchronous update runs on another
    // thread, then does what stop() does; the timers then end with their
    // members, each waiting for its running callback.
    ~Manager() override;
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // Stops the status polling and closes the driver. Any thread.
    void stop();
    // For the process stop, from its first step: every device request ends
    // at once as after stop() (the link stays open until then), and the
    // status poll reports no change, so nothing waits for the board. Any
    // thread.
    void beginStop();
    // For the process stop's last status, on the thread that reads it, as
    // its first device request, once: lets that thread's device requests
    // through for kLastStatusMs from now, and none after the first that gets
    // no reply; a heartbeat goes first and its outcome becomes the answering
    // state, so that the status it reports agrees with its readings. Does
    // nothing before beginStop or after the first call.
    void beginLastStatus();
    // The longest the last status may wait for the board.
    static constexpr int kLastStatusMs = 500;
    // Test seam: the last status's window from now on (kLastStatusMs
    // unless a test sets another). Any thread.
    void lastStatusWindowSet(int ms) { lastStatusMs = ms; }

    // ---- Configuration (ManagerConfig.cpp) --------------------------------
    // Stores the "device" section and pushes what it names to the device,
    // ignoring device errors, then calls every observer's onConfigSet. A
    // value a setting cannot hold (SettingError, see Config::fromJson) or a
    // GPIO entry with an unknown mode or resistor throws: what was applied
    // before stays, the failing pin keeps its previous record, later keys
    // are not applied and nobody is told.
    void setConfig(const nlohmann::json& j);
    // The stored configuration in the same layout.
    nlohmann::json getConfig();
    // getConfig as it would be after setConfig(j), each pin it names at the
    // widest entry the set may leave it (see countNamedPinsAtWidest); applies
    // nothing. Any thread.
    nlohmann::json configPreview(const nlohmann::json& j) const;
    // getConfig now, each pin that j names counted as configPreview(j)
    // counts it, so that a set that changes nothing is no wider than now.
    // Any thread.
    nlohmann::json configPreviewNow(const nlohmann::json& j) const;
    // Drives a pin to the record: InvalidArgument for a pin out of range or
    // an analog output, else the mode's result, then the resistor's (input)
    // or the value's (output). The cache takes the mode even when refused.
    ErrorCode gpioPinSet(unsigned long pin, const GPIO& gpio);

    // ---- Firmware update and bootloader (ManagerFirmware.cpp) -------------
    // Downloads the file's image and resets the microcontroller when the
    // download succeeded; blocks throughout. OpenFailed when the file is no
    // firmware, the translated download error, UnknownError on an
    // exception. Updates run one at a time.
    ErrorCode firmwareUpdate(const std::string& path);
    // OpenFailed at once when the file is no firmware; otherwise Ok, and the
    // update runs on a detached thread that keeps a shared-owned manager
    // alive until it ends.
    ErrorCode firmwareUpdateAsync(const std::string& path);
    // Reads the flags and makes them the cached flags (all clear when the
    // read failed).
    std::pair<ErrorCode, std::shared_ptr<BootloaderFlags::Interface>> bootloaderFlagsGet();
    // Writes the flags in the board's layout; cached on success.
    ErrorCode bootloaderFlagsSet(const std::bitset<16>& flags);
    // Reads the status, which becomes the cached status when the read
    // succeeded; returns the result and the cached status.
    std::pair<ErrorCode, std::shared_ptr<BootloaderStatus::Interface>> bootloaderStatusGet();

    // Adds the observer once; observers are notified in address order.
    // A null pointer is ignored. Any thread.
    void observerAttach(std::shared_ptr<Observer> observer);
    // True while the microcontroller answers. No device request.
    bool getIsActive() const;
    // A copy of the driver's link statistics.
    LpcStats getStats() const;
    // How long the driver waits for each reply (150 ms at start). Public for
    // tests alone, which try boards slower than that; the daemon never
    // changes it. Any thread.
    void receiveTimeoutSet(int ms);
    // Switches the driver's message dumps and the process log level (Debug
    // or Info); always Ok.
    ErrorCode debugEnabledSet(bool on);

    // Audio. Jacks are 0 and 1; any other number is InvalidArgument.
    ErrorCode audioChannelSelectedGet(int& channel);
    ErrorCode audioChannelSelectedSet(int channel);
    ErrorCode audioChannelSelectionAutoSet();
    ErrorCode audioJackConnectedGet(int jack, bool& connected);
    ErrorCode audioMutedGet(bool& muted);
    ErrorCode audioMutedSet(bool muted);

    // The backlight of the display that the microcontroller drives.
    ErrorCode displayBrightnessGet(uint8_t& level);
    ErrorCode displayBrightnessSet(uint8_t level);
    // true: automatic from the light sensor; false: the manual level.
    ErrorCode displayBrightnessModeGet(bool& automatic);
    ErrorCode displayBrightnessModeSet(bool automatic);
    ErrorCode displayBrightnessSensorGet(uint8_t& level);

    // Peripheral power. Throw std::runtime_error "Unregistered peripheral"
    // for a value outside 0 to 14, before anything is sent.
    ErrorCode peripheralPoweredGet(Peripheral peripheral, bool& on);
    ErrorCode peripheralPoweredSet(Peripheral peripheral, bool on);
    ErrorCode peripheralReset(Peripheral peripheral);

    // GPIO pins, numbered from 0 below gpioPinCountGet(); a pin at or beyond
    // the count is InvalidArgument in every pin operation, with nothing sent.
    unsigned long gpioPinCountGet() const;
    ErrorCode gpioPinGet(unsigned long pin, GPIO& gpio);
    // The cached mode and encoding; no device request.
    ErrorCode gpioModeGet(uint8_t pin, GPIO::Mode& mode, GPIO::Encoding& encoding);
    // The cached resistor of an input; InvalidArgument for an output.
    ErrorCode gpioPullResistorGet(uint8_t pin, GPIO::Resistor& resistor);
    // An analog output is InvalidArgument. The cache takes the new mode even
    // when the device refuses it.
    ErrorCode gpioModeSet(uint8_t pin, GPIO::Mode mode, GPIO::Encoding encoding);
    // An output answers its cached value without a device request; an input
    // is read (digital 0 or 1, analog raw) and cached on success.
    ErrorCode gpioValueGet(uint8_t pin, uint16_t& value);
    // Digital outputs only (else NotSupported); sends and, on success,
    // caches 1 for any non-zero value, else 0.
    ErrorCode gpioValueSet(uint8_t pin, uint16_t value);
    // Inputs only (else InvalidArgument); caches the resistor on success.
    ErrorCode gpioPullResistorSet(uint8_t pin, GPIO::Resistor resistor);
    // The board's general digital input and the ignition line (not pins).
    ErrorCode gpioDigitalInputGet(bool& on);
    ErrorCode gpioDigitalInputIgnitionGet(bool& on);

    // LCD. Objects are drawn by the microcontroller, which returns their ids.
    ErrorCode lcdEnabledSet(bool on);
    ErrorCode lcdEnabledGet(bool& on);
    ErrorCode lcdIdleGet(bool& idle);
    ErrorCode lcdClear();
    ErrorCode lcdGetWidth(int& width);
    ErrorCode lcdGetHeight(int& height);
    ErrorCode lcdDrawText(unsigned& objectId, const std::string& text, int x, int y, int width, int height);
    ErrorCode lcdDrawBitmap(unsigned& objectId, int bank, int x, int y, int width, int height);
    ErrorCode lcdDrawBlank(unsigned& objectId, int x, int y, int width, int height);
    ErrorCode lcdRemoveObject(unsigned objectId);
    // A font of the microcontroller's table (0 to 34), sent as one octet.
    ErrorCode lcdTextFontSet(unsigned long font);
    ErrorCode lcdTextSpacingSet(int spacing);
    ErrorCode lcdTextAlignSet(Screen::Align::Horizontal horizontal, Screen::Align::Vertical vertical);
    // NotSupported, with nothing sent, on a board without a colour backlight.
    ErrorCode lcdBacklightColorGet(Color& color);
    ErrorCode lcdBacklightColorSet(Color color);
    // A colour backlight is on when any colour is lit and switched with 1
    // and 0; a single-colour one is switched with 255 and 0 and read as on
    // when its low 8 bits are 255.
    ErrorCode lcdBacklightEnabledGet(bool& on);
    ErrorCode lcdBacklightEnabledSet(bool on);

    // ---- LCD bitmap storage (ManagerBitmap.cpp) ---------------------------
    // Store a 1-bit bitmap in the bank, zero-run compressed on the link when
    // asked; block for the whole upload. InvalidArgument, with nothing
    // converted or sent, for a bank outside 0-255 or a width or height
    // outside 0-65535. The file form sends a ".bin" file as it is (a regular
    // file of at most 65535 octets; a larger one is InvalidArgument) and
    // converts any other: OpenFailed for a missing or unreadable file. The
    // buffer form sends width × height / 8 octets, or octets of no known
    // image kind, as they are and converts PNG and BMP images. Nothing to
    // send (an empty raw bitmap, a failed conversion) is UnsupportedType.
    ErrorCode lcdStoreBitmapFile(int bankId, int width, int height, bool compress, const std::string& path);
    ErrorCode lcdStoreBitmapBuffer(int bankId, int width, int height, bool compress,
                                   const std::vector<uint8_t>& buffer);

    // LEDs and buzzer. The device plays at most the first 6 steps.
    ErrorCode ledOff();
    ErrorCode ledColorSet(Color color);
    ErrorCode ledPlay(const std::vector<LED::AnimationStep>& steps, int repeat);
    ErrorCode buzzerPlay(uint16_t onMs, uint16_t offMs, uint8_t repeat);

    // Serial ports; the port goes to the device unchecked. A device value
    // outside the two known ones leaves the out-parameter unchanged.
    unsigned long serialPortCountGet() const;
    ErrorCode serialProtocolGet(unsigned long port, Serial::Protocol& protocol);
    ErrorCode serialProtocolSet(unsigned long port, Serial::Protocol protocol);
    ErrorCode serialDuplexGet(unsigned long port, Serial::Duplex& duplex);
    ErrorCode serialDuplexSet(unsigned long port, Serial::Duplex duplex);

    // Case, motion sensor, system.
    ErrorCode caseHeaterEnabledGet(bool& on);
    ErrorCode caseTemperatureGet(double& celsius);
    ErrorCode getImuRawData(IMUData& data);
    ErrorCode getImuTotalAcceleration(double& acceleration);
    ErrorCode systemUptimeGet(std::chrono::seconds& uptime);
    ErrorCode systemVoltageGet(double& volts);
    // Sent without waiting for a reply.
    ErrorCode systemReset();
    ErrorCode openPrinterCover();
    ErrorCode heartbeatSend();
    ErrorCode hardwareStatusGet(Hardware::Status& status);

    // Identity read when the device was opened; always Ok, no device
    // request. poleIDGet reads the device at every call.
    ErrorCode firmwareVersionGet(std::string& version);
    ErrorCode hardwareIDGet(std::string& id);
    ErrorCode hardwareVersionGet(std::string& version);
    ErrorCode poleIDGet(std::string& id);

    // Firmware parameters and single bootloader flag bits (the bit number is
    // cut to 8 bits; bit 0 cannot be cleared).
    ErrorCode parametersGet(const std::string& name, Variant& value);
    ErrorCode parametersSet(const std::string& name, const Variant& value);
    ErrorCode parametersDefaults();
    ErrorCode bootloaderFlagsBitSet(unsigned long bit, bool on);
    // The parameters that firmware `version` of board `boardName` offers, in
    // name order; no device request.
    static std::vector<std::string> getAvailableParameters(const std::string& boardName,
                                                           const unsigned long& version);

private:
    // Board name -> firmware version -> parameter name -> available.
    using ParameterHistory = std::map<std::string, std::map<unsigned long, std::map<std::string, bool>>>;
    static const ParameterHistory mHistory;

    // Construction steps, in their order.
    bool deviceFactory();
    // On failure, failure says why.
    bool openAttempt(int baud, std::string& failure);
    void logSupport();
    void cacheLpcInfo();
    void gpioInitialize();
    void serialInitialize();
    void powerInitialize();

    // Callbacks registered with the driver and the timers; `manager` is this.
    static void lpcEventHandler(const LPCEvent& event, void* manager);
    static void statusFunction(void* manager);
    static void autoFirmwareUpdate(void* manager);
    static void delayShutdownPingFunction(void* manager);
    static void delayShutdownStopFunction(void* manager);

    // Events the manager acts on; on the reader thread, no device request.
    void handlePowerOffEvent(const LPCEvent& event);
    void handleIgnitionChangedEvent(const LPCEvent& event);
    void handleHighGAlarm(const LPCEvent& event);

    // The device steps of setConfig, in their order.
    void applyStatusPeriod();
    void applyDisplay();
    void applyImu();
    void applyPower();
    // Applies the pins' entries in pin order; `applied` ends past the last
    // pin whose entry was applied and stored.
    void applyGpio(const nlohmann::json& entries, unsigned long& applied);
    void applySerial(const nlohmann::json& entries);
    // Stores in `counted` each pin that j names at the widest record its
    // cache may hold when a set of j reads it: a TCP client or the board may
    // change it meanwhile. Every stored pin entry is a record of its pin (the
    // probe's, a set's, or one a throw gave back), so this bounds what the
    // set leaves whichever step throws.
    void countNamedPinsAtWidest(Config& counted, const nlohmann::json& j) const;

    // The automatic update's steps.
    void runAutoFirmwareUpdate();
    std::string firmwareDirectory() const;
    bool firmwareAccepted(const Firmware& file, const std::string& path, const BootloaderFlags::Interface& flags);
    // The cached flags; read from the device first when never read.
    std::shared_ptr<BootloaderFlags::Interface> currentFlags();
    // The destructor's first step: stops every timer and waits until no
    // asynchronous update runs on another thread.
    void quiesce();

    // The bitmap storage's check of its arguments, with the error line for
    // `source` ("file" or "buffer") when they are out of range.
    bool bitmapArgumentsValid(const char* source, int bankId, int width, int height) const;
    // Sends the bitmap, or refuses it as UnsupportedType when it is empty.
    ErrorCode bitmapStore(const char* source, int bankId, int width, int height, bool compress,
                          const std::vector<uint8_t>& data);

    // The driver's result as the board's.
    static ErrorCode translate(LPCDriver::ErrorCode result);
    // A serial setting the device reported, as the board's; false, with the
    // out-parameter unchanged, for a value outside the two known ones.
    static bool fromDevice(LPCSerialProtocol value, Serial::Protocol& protocol);
    static bool fromDevice(LPCSerialDuplex value, Serial::Duplex& duplex);
    // The microcontroller's number of a peripheral; throws as
    // Helpers::translatePeripheral does.
    static LPCPeripheral toDevice(Peripheral peripheral);
    // The result of a request that read `state` (taken by reference, so it is
    // read after the request); on success `flag` becomes state != 0.
    static ErrorCode flagResult(LPCDriver::ErrorCode result, const int& state, bool& flag);

    // Calls `notification` on every observer in the set's order, without a
    // lock held. An exception from one observer is logged and does not keep
    // the others from being notified.
    void notifyObservers(const char* what, const std::function<void(Observer&)>& notification);

    // The pin's record when pin < the count, else null. Caller holds gpioMutex.
    GPIO* gpioRecord(unsigned long pin);
    // Driver call of the GPIO operations; caller holds gpioMutex and has
    // checked the pin.
    ErrorCode applyGpioMode(uint8_t pin, GPIO& gpio, GPIO::Mode mode, GPIO::Encoding encoding);

    LPCDriver driver;
    std::string devicePath;
    // One record per pin found when the device was opened; never resized.
    std::vector<GPIO> gpios;
    uint64_t serialPortCount = 0;
    std::atomic<bool> isActive{false};
    std::atomic<bool> stopBegun{false};
    std::atomic<bool> lastStatusBegun{false};
    std::atomic<int> lastStatusMs{kLastStatusMs};
    Config config;
    std::set<std::shared_ptr<Observer>> observers;
    bool delayedShutdownSupported = false;
    bool colorBacklightSupported = false;
    bool driversDisplaySupported = false;
    std::string hardwareId;
    std::string boardName;
    std::string boardRevision;
    std::string firmwareVersion;
    std::string lastBootCause;
    bool corvidDetected = false;
    std::shared_ptr<BootloaderStatus::Interface> bootloaderStatus;
    Host host;
    mutable std::mutex observersMutex;
    mutable std::mutex gpioMutex;
    std::atomic<bool> ignitionOn{true};
    mutable std::mutex configMutex;
    std::shared_ptr<BootloaderFlags::Interface> bootloaderFlags;
    mutable std::mutex bootloaderMutex;
    std::mutex firmwareMutex;
    // The asynchronous updates still running; shared with their threads, so
    // that the last one may signal its end while the manager goes away.
    struct AsyncUpdates {
        std::mutex mutex;
        std::condition_variable ended;
        int running = 0;
    };
    std::shared_ptr<AsyncUpdates> asyncUpdates = std::make_shared<AsyncUpdates>();
    // Last: destroyed first, each waiting for its running callback, while the
    // members above still exist.
    Timer statusTimer;
    Timer autoFirmwareUpdateTimer;
    Timer delayShutdownPingTimer{Timer::Periodic, &Manager::delayShutdownPingFunction, this};
    Timer delayShutdownStopTimer{Timer::SingleShot, &Manager::delayShutdownStopFunction, this};
};

} // namespace tavo::Board
