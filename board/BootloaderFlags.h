// The bootloader flags word: which checks the bootloader skips when it
// installs new firmware. The Corvid-NX bootloader and the LPC176x flash
// bootloader lay the same flags out at different bits, so a word means
// something only together with its layout class.
//
// Objects are immutable once shared (fromJson is applied only while one is
// being built), so any thread may read them without a lock.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace tavo::Board::BootloaderFlags {

// Abstract view of a flags word. There is no virtual destructor: objects are
// created for their concrete class inside a std::shared_ptr (which destroys
// them as that class) and used through std::shared_ptr<Interface>; the
// protected destructor keeps anyone from deleting through the interface.
class Interface {
public:
    // One boolean per named bit of the layout.
    virtual nlohmann::json toJson() const = 0;
    // The word to write to the bootloader (a layout may force bits on).
    virtual std::bitset<16> toBitset() const = 0;
    virtual bool allowReinstall() const = 0;
    virtual bool allowDowngrade() const = 0;
    virtual bool ignoreBoard() const = 0;
    virtual bool ignoreRevision() const = 0;
    virtual bool ignoreHeader() const = 0;
    // Sets or clears the named bits whose members are JSON booleans; anything
    // else (non-objects, unknown names, other types) is skipped silently.
    virtual void fromJson(const nlohmann::json& value) = 0;

protected:
    Interface() = default;
    Interface(const Interface&) = default;
    Interface& operator=(const Interface&) = default;
    ~Interface() = default;
};

class CorvidNX final : public Interface {
public:
    enum class Flags : uint16_t {
        allowReinstall = 0,
        allowDowngrade = 1,
        ignoreHeader = 4,
        ignoreFirmware = 5,
        ignoreBoard = 6,
        ignoreRevision = 7,
        ignoreBuild = 8,
    };
    static const std::map<std::string, Flags> FlagDescriptions;

    CorvidNX() = default;
    explicit CorvidNX(const std::bitset<16>& bits);
    // All bits clear, then fromJson(value).
    explicit CorvidNX(const nlohmann::json& value);

    nlohmann::json toJson() const override;
    std::bitset<16> toBitset() const override;
    bool allowReinstall() const override;
    bool allowDowngrade() const override;
    bool ignoreBoard() const override;
    bool ignoreRevision() const override;
    bool ignoreHeader() const override;
    void fromJson(const nlohmann::json& value) override;

    bool ignoreFirmware() const;
    bool ignoreBuild() const;

private:
    bool test(Flags flag) const;

    std::bitset<16> mBits;
};

class LPC176xFlashBoot final : public Interface {
public:
    enum class Flags : uint16_t {
        ignoreVtable = 0,
        ignoreHeader = 1,
        ignoreCrc = 2,
        ignoreFirmware = 3,
        ignoreBoard = 4,
        ignoreRevision = 5,
        allowReinstall = 6,
        allowDowngrade = 7,
        ignoreBuild = 8,
    };
    static const std::map<std::string, Flags> FlagDescriptions;

    LPC176xFlashBoot() = default;
    explicit LPC176xFlashBoot(const std::bitset<16>& bits);
    // All bits clear, then fromJson(value).
    explicit LPC176xFlashBoot(const nlohmann::json& value);

    nlohmann::json toJson() const override;
    // The stored bits with bit 0 (ignoreVtable) always set: this bootloader
    // is never asked to check the vector table.
    std::bitset<16> toBitset() const override;
    bool allowReinstall() const override;
    bool allowDowngrade() const override;
    bool ignoreBoard() const override;
    bool ignoreRevision() const override;
    bool ignoreHeader() const override;
    void fromJson(const nlohmann::json& value) override;

    bool ignoreFirmware() const;
    bool ignoreBuild() const;
    // The stored bit 0, which toBitset forces on regardless.
    bool ignoreVtable() const;
    bool ignoreCrc() const;

private:
    bool test(Flags flag) const;

    std::bitset<16> mBits;
};

} // namespace tavo::Board::BootloaderFlags
