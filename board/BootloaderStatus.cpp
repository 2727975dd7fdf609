#include "board/BootloaderStatus.h"

#include "board/BootloaderBits.h"

namespace tavo::Board::BootloaderStatus {

namespace {

nlohmann::json withNoAction(nlohmann::json j, const std::bitset<16>& bits)
{
    j["noAction"] = bits.none();
    return j;
}

} // namespace

const std::map<std::string, CorvidNX::Flags> CorvidNX::FlagDescriptions = {
    {"updateOk", Flags::updateOk},
    {"updateReinstall", Flags::updateReinstall},
    {"updateDowngrade", Flags::updateDowngrade},
    {"noFs", Flags::noFs},
    {"generalError", Flags::generalError},
    {"invalidCode", Flags::invalidCode},
    {"ioError", Flags::ioError},
    {"wrongFirmware", Flags::wrongFirmware},
    {"wrongVersion", Flags::wrongVersion},
    {"wrongBoard", Flags::wrongBoard},
    {"wrongBoardRev", Flags::wrongBoardRev},
    {"wrongBuild", Flags::wrongBuild},
};

CorvidNX::CorvidNX(const std::bitset<16>& bits) : mBits(bits) {}

nlohmann::json CorvidNX::toJson() const
{
    return withNoAction(BootloaderBits::toJson(FlagDescriptions, mBits), mBits);
}

std::bitset<16> CorvidNX::toBitset() const
{
    return mBits;
}

const std::map<std::string, LPC176xFlashBoot::Flags> LPC176xFlashBoot::FlagDescriptions = {
    {"updateOk", Flags::updateOk},
    {"generalError", Flags::generalError},
    {"noCodeFound", Flags::noCodeFound},
    {"invalidVTable", Flags::invalidVTable},
    {"invalidFwHeader", Flags::invalidFwHeader},
    {"wrongCrc", Flags::wrongCrc},
    {"wrongFirmware", Flags::wrongFirmware},
    {"wrongBoard", Flags::wrongBoard},
    {"wrongRevision", Flags::wrongRevision},
    {"reinstall", Flags::reinstall},
    {"downgrade", Flags::downgrade},
    {"wrongBuild", Flags::wrongBuild},
    {"wrongVersion", Flags::wrongVersion},
};

LPC176xFlashBoot::LPC176xFlashBoot(const std::bitset<16>& bits) : mBits(bits) {}

nlohmann::json LPC176xFlashBoot::toJson() const
{
    return withNoAction(BootloaderBits::toJson(FlagDescriptions, mBits), mBits);
}

std::bitset<16> LPC176xFlashBoot::toBitset() const
{
    return mBits;
}

} // namespace tavo::Board::BootloaderStatus
