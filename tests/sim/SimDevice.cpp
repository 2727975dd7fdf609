#include "sim/SimDevice.h"

#include "sim/SimWire.h"

using namespace sim;

SimDevice::SimDevice()
{
    addSystem();
    addPower();
    addDisplayBuzzerAudio();
    addLeds();
    addGpio();
    addScreen();
    addSerialPrinterImu();
    addBootloader();
    addParameters();
    addBitmapStore();
    addFirmwareStore();
}

void SimDevice::add(uint8_t id, uint8_t subId, int argCount, Handler handler)
{
    mTable[{id, subId}] = Entry{argCount, std::move(handler)};
}

SimReply SimDevice::handle(uint8_t id, int type, const uint8_t* data, uint16_t size)
{
    if (type != 0)
        return fail(kErrorInvalidType);
    const auto first = mTable.lower_bound({id, 0});
    if (first == mTable.end() || first->first.first != id)
        return fail(kErrorInvalidId);
    if (size == 0)
        return fail(kErrorSize);
    const auto entry = mTable.find({id, data[0]});
    if (entry == mTable.end())
        return fail(kErrorInvalidCommand);
    if (entry->second.argCount != kVariableSize && size != 1 + entry->second.argCount)
        return fail(kErrorSize);

    const std::vector<uint8_t> args(data + 1, data + size);
    std::lock_guard<std::mutex> lock(mMutex);
    return entry->second.handler(mState, args);
}
