#include "sim/BoardProfile.h"

#include "sim/SimWire.h"

namespace {

// A rail whose sensing fails answers with a general (hardware) error.
constexpr int kErrorHardware = 1;

} // namespace

void BoardProfile::applyTo(SimulatedBoard& board) const
{
    board.setSilent(silent);
    board.hearOnlyAt(baudRates);
    board.device().access([this](SimDeviceState& s) {
        s.firmwareVersion = firmwareVersion;
        s.hardwareVersion = hardwareVersion;
        s.hardwareId = hardwareId;
        s.hardwareStatus = hardwareStatus;
        s.bootStatus = bootStatus;
        s.pins.assign(gpioPins, SimPin{});
        s.serialPorts.assign(serialPorts, SimSerialPort{});
        if (!delayedShutdown)
            s.unknownParameters.insert("MAX_SHUTDOWN_DELAY");
        return 0;
    });

    const BoardProfile profile = *this;
    board.refuseRequests([profile](const API_Message_t& request) {
        const uint8_t subId = request.Size > 0 ? request.Data[0] : 0xFF;
        const uint8_t first = request.Size > 1 ? request.Data[1] : 0xFF;
        if (request.ID == 2 && subId == 1 && !profile.driversDisplay)
            return sim::kErrorInvalidCommand;
        if (request.ID == 8 && subId == 35 && !profile.colourBacklight && request.Size == 4 &&
            (request.Data[2] != 0 || request.Data[3] != 0))
            return sim::kErrorOutOfRange;
        if (request.ID == 7 && subId == 5 && profile.pinsWithoutResistor.count(first) != 0)
            return sim::kErrorInvalidCommand;
        if (request.ID == 1 && subId == 1 && profile.unreadableRails.count(first) != 0)
            return kErrorHardware;
        return 0;
    });
}
