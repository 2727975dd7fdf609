#include "sim/SimDevice.h"

namespace {

constexpr int kErrorInvalidId = 3;
constexpr int kErrorInvalidType = 4;
constexpr int kErrorInvalidCommand = 5;
constexpr int kErrorOutOfRange = 6;
constexpr int kErrorSize = 7;

SimReply ok(std::vector<uint8_t> values = {})
{
    return SimReply{0, std::move(values)};
}

SimReply outOfRange()
{
    return SimReply{kErrorOutOfRange, {}};
}

std::vector<uint8_t> be32(uint32_t value)
{
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

} // namespace

SimDevice::SimDevice()
{
    addSystem();
    addPower();
}

void SimDevice::add(uint8_t id, uint8_t subId, int argCount, Handler handler)
{
    mTable[{id, subId}] = Entry{argCount, std::move(handler)};
}

void SimDevice::addSystem()
{
    add(0, 0, 0, [](SimDeviceState&, const std::vector<uint8_t>&) { return ok(); });
    add(0, 1, 0, [](SimDeviceState& s, const std::vector<uint8_t>&) { return ok(be32(s.uptimeSeconds)); });
    add(0, 2, 0, [](SimDeviceState& s, const std::vector<uint8_t>&) {
        return ok(std::vector<uint8_t>(s.firmwareVersion.begin(), s.firmwareVersion.end()));
    });
}

void SimDevice::addPower()
{
    add(1, 0, 2, [](SimDeviceState& s, const std::vector<uint8_t>& a) {
        if (a[0] >= s.peripheralPower.size() || a[1] > 1)
            return outOfRange();
        s.peripheralPower[a[0]] = a[1];
        return ok();
    });
    add(1, 1, 1, [](SimDeviceState& s, const std::vector<uint8_t>& a) {
        if (a[0] >= s.peripheralPower.size())
            return outOfRange();
        return ok({a[0], s.peripheralPower[a[0]]});
    });
}

SimReply SimDevice::handle(uint8_t id, int type, const uint8_t* data, uint16_t size)
{
    if (type != 0)
        return SimReply{kErrorInvalidType, {}};
    const auto first = mTable.lower_bound({id, 0});
    if (first == mTable.end() || first->first.first != id)
        return SimReply{kErrorInvalidId, {}};
    if (size == 0)
        return SimReply{kErrorSize, {}};
    const auto entry = mTable.find({id, data[0]});
    if (entry == mTable.end())
        return SimReply{kErrorInvalidCommand, {}};
    if (entry->second.argCount != kVariableSize && size != 1 + entry->second.argCount)
        return SimReply{kErrorSize, {}};

    const std::vector<uint8_t> args(data + 1, data + size);
    std::lock_guard<std::mutex> lock(mMutex);
    return entry->second.handler(mState, args);
}
