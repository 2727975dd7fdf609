#include "board/BootloaderFlags.h"

#include "board/BootloaderBits.h"

namespace tavo::Board::BootloaderFlags {

// CorvidNX ------------------------------------------------------------------

const std::map<std::string, CorvidNX::Flags> CorvidNX::FlagDescriptions = {
    {"allowReinstall", Flags::allowReinstall},
    {"allowDowngrade", Flags::allowDowngrade},
    {"ignoreHeader", Flags::ignoreHeader},
    {"ignoreFirmware", Flags::ignoreFirmware},
    {"ignoreBoard", Flags::ignoreBoard},
    {"ignoreRevision", Flags::ignoreRevision},
    {"ignoreBuild", Flags::ignoreBuild},
};

CorvidNX::CorvidNX(const std::bitset<16>& bits) : mBits(bits) {}

CorvidNX::CorvidNX(const nlohmann::json& value)
{
    fromJson(value);
}

nlohmann::json CorvidNX::toJson() const
{
    return BootloaderBits::toJson(FlagDescriptions, mBits);
}

std::bitset<16> CorvidNX::toBitset() const
{
    return mBits;
}

bool CorvidNX::test(Flags flag) const
{
    return mBits.test(static_cast<std::size_t>(flag));
}

bool CorvidNX::allowReinstall() const { return test(Flags::allowReinstall); }
bool CorvidNX::allowDowngrade() const { return test(Flags::allowDowngrade); }
bool CorvidNX::ignoreBoard() const { return test(Flags::ignoreBoard); }
bool CorvidNX::ignoreRevision() const { return test(Flags::ignoreRevision); }
bool CorvidNX::ignoreHeader() const { return test(Flags::ignoreHeader); }
bool CorvidNX::ignoreFirmware() const { return test(Flags::ignoreFirmware); }
bool CorvidNX::ignoreBuild() const { return test(Flags::ignoreBuild); }

void CorvidNX::fromJson(const nlohmann::json& value)
{
    BootloaderBits::fromJson(FlagDescriptions, value, mBits);
}

// LPC176xFlashBoot ----------------------------------------------------------

const std::map<std::string, LPC176xFlashBoot::Flags> LPC176xFlashBoot::FlagDescriptions = {
    {"ignoreVtable", Flags::ignoreVtable},
    {"ignoreHeader", Flags::ignoreHeader},
    {"ignoreCrc", Flags::ignoreCrc},
    {"ignoreFirmware", Flags::ignoreFirmware},
    {"ignoreBoard", Flags::ignoreBoard},
    {"ignoreRevision", Flags::ignoreRevision},
    {"allowReinstall", Flags::allowReinstall},
    {"allowDowngrade", Flags::allowDowngrade},
    {"ignoreBuild", Flags::ignoreBuild},
};

LPC176xFlashBoot::LPC176xFlashBoot(const std::bitset<16>& bits) : mBits(bits) {}

LPC176xFlashBoot::LPC176xFlashBoot(const nlohmann::json& value)
{
    fromJson(value);
}

nlohmann::json LPC176xFlashBoot::toJson() const
{
    return BootloaderBits::toJson(FlagDescriptions, mBits);
}

std::bitset<16> LPC176xFlashBoot::toBitset() const
{
    std::bitset<16> bits = mBits;
    bits.set(static_cast<std::size_t>(Flags::ignoreVtable));
    return bits;
}

bool LPC176xFlashBoot::test(Flags flag) const
{
    return mBits.test(static_cast<std::size_t>(flag));
}

bool LPC176xFlashBoot::allowReinstall() const { return test(Flags::allowReinstall); }
bool LPC176xFlashBoot::allowDowngrade() const { return test(Flags::allowDowngrade); }
bool LPC176xFlashBoot::ignoreBoard() const { return test(Flags::ignoreBoard); }
bool LPC176xFlashBoot::ignoreRevision() const { return test(Flags::ignoreRevision); }
bool LPC176xFlashBoot::ignoreHeader() const { return test(Flags::ignoreHeader); }
bool LPC176xFlashBoot::ignoreFirmware() const { return test(Flags::ignoreFirmware); }
bool LPC176xFlashBoot::ignoreBuild() const { return test(Flags::ignoreBuild); }
bool LPC176xFlashBoot::ignoreVtable() const { return test(Flags::ignoreVtable); }
bool LPC176xFlashBoot::ignoreCrc() const { return test(Flags::ignoreCrc); }

void LPC176xFlashBoot::fromJson(const nlohmann::json& value)
{
    BootloaderBits::fromJson(FlagDescriptions, value, mBits);
}

} // namespace tavo::Board::BootloaderFlags
