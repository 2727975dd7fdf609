// The bootloader status word: the outcome of the last firmware installation,
// as the Corvid-NX bootloader or the LPC176x flash bootloader lays it out.
// Objects never change after construction, so any thread may read them.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace tavo::Board::BootloaderStatus {

// Abstract view of a status word. No virtual destructor: objects live in a
// std::shared_ptr made for their concrete class and are used through
// std::shared_ptr<Interface>; the protected destructor forbids deleting
// through the interface.
class Interface {
public:
    // One boolean per named bit, plus "noAction": true when all 16 bits
    // (named or not) are clear.
    virtual nlohmann::json toJson() const = 0;
    // The stored bits unchanged.
    virtual std::bitset<16> toBitset() const = 0;

protected:
    Interface() = default;
    Interface(const Interface&) = default;
    Interface& operator=(const Interface&) = default;
    ~Interface() = default;
};

class CorvidNX final : public Interface {
public:
    enum class Flags : uint16_t {
        updateOk = 0,
        updateReinstall = 1,
        updateDowngrade = 2,
        noFs = 3,
        generalError = 4,
        invalidCode = 5,
        ioError = 6,
        wrongFirmware = 7,
        wrongVersion = 8,
        wrongBoard = 9,
        wrongBoardRev = 10,
        wrongBuild = 11,
    };
    static const std::map<std::string, Flags> FlagDescriptions;

    CorvidNX() = default;
    explicit CorvidNX(const std::bitset<16>& bits);

    nlohmann::json toJson() const override;
    std::bitset<16> toBitset() const override;

private:
    std::bitset<16> mBits;
};

class LPC176xFlashBoot final : public Interface {
public:
    enum class Flags : uint16_t {
        updateOk = 0,
        generalError = 1,
        noCodeFound = 2,
        invalidVTable = 3,
        invalidFwHeader = 4,
        wrongCrc = 5,
        wrongFirmware = 6,
        wrongBoard = 7,
        wrongRevision = 8,
        reinstall = 9,
        downgrade = 10,
        wrongBuild = 11,
        wrongVersion = 12,
    };
    static const std::map<std::string, Flags> FlagDescriptions;

    LPC176xFlashBoot() = default;
    explicit LPC176xFlashBoot(const std::bitset<16>& bits);

    nlohmann::json toJson() const override;
    std::bitset<16> toBitset() const override;

private:
    std::bitset<16> mBits;
};

} // namespace tavo::Board::BootloaderStatus
