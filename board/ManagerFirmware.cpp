// Firmware updates and the bootloader's flags and status. This is the path
// that can leave a board without working firmware, so the microcontroller
// is reset only after a complete download, one update runs at a time, and
// an accepted file is moved aside before it is installed, so that a failing
// image is never offered again.

#include "board/Manager.h"

#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <thread>

#include "board/Helpers.h"
#include "foundation/Utils.h"

namespace tavo::Board {

namespace {

constexpr const char* kFirmwarePattern = "*.bin";
constexpr const char* kAttemptsDirectory = "attempts";
constexpr mode_t kAttemptsMode = 0755;

std::shared_ptr<BootloaderFlags::Interface> makeFlags(bool corvid, const std::bitset<16>& bits)
{
    if (corvid) {
        return std::make_shared<BootloaderFlags::CorvidNX>(bits);
    }
    return std::make_shared<BootloaderFlags::LPC176xFlashBoot>(bits);
}

std::shared_ptr<BootloaderStatus::Interface> makeStatus(bool corvid, const std::bitset<16>& bits)
{
    if (corvid) {
        return std::make_shared<BootloaderStatus::CorvidNX>(bits);
    }
    return std::make_shared<BootloaderStatus::LPC176xFlashBoot>(bits);
}

} // namespace

// Runs once on the update timer's thread; nothing may leave it, or the
// process would end.
void Manager::autoFirmwareUpdate(void* manager)
{
    auto* self = static_cast<Manager*>(manager);
    try {
        self->runAutoFirmwareUpdate();
    } catch (const std::exception& e) {
        self->log(Log::Error, "Automatic firmware update failed: %s", e.what());
    } catch (...) {
        self->log(Log::Error, "Automatic firmware update failed");
    }
}

void Manager::runAutoFirmwareUpdate()
{
    const std::string directory = firmwareDirectory();
    log(Log::Info, "Searching for firmware files in: %s", directory.c_str());
    log(Log::Info, "Current firmware:");
    log(Log::Info, "    Version:        %s", firmwareVersion.c_str());
    log(Log::Info, "    Board Name:     %s", boardName.c_str());
    log(Log::Info, "    Board Revision: %s", boardRevision.c_str());
    const std::shared_ptr<BootloaderFlags::Interface> flags = bootloaderFlagsGet().second;

    std::string accepted;
    for (const std::string& path : Utils::listFiles(directory, kFirmwarePattern)) {
        log(Log::Debug, "Checking %s", path.c_str());
        Firmware file(flags);
        if (file.open(path) && firmwareAccepted(file, path, *flags)) {
            accepted = path;
            break;
        }
    }
    if (accepted.empty()) {
        log(Log::Info, "No firmware files found");
        return;
    }

    const std::string attempts = directory + "/" + kAttemptsDirectory;
    struct stat entry;
    if (::stat(attempts.c_str(), &entry) != 0) {
        log(Log::Info, "Creating %s directory", attempts.c_str());
        if (::mkdir(attempts.c_str(), kAttemptsMode) != 0) {
            log(Log::Error, "Could not create directory %s", attempts.c_str());
            return;
        }
    }
    const std::string name = Utils::getFilenameFromFilepath(accepted);
    const std::string target = attempts + "/" + name;
    if (std::rename(accepted.c_str(), target.c_str()) != 0) {
        log(Log::Error, "Could not move %s to %s", name.c_str(), attempts.c_str());
        return;
    }
    log(Log::Info, "Moved %s to %s", name.c_str(), attempts.c_str());
    // The file stays in attempts either way; a download cut by the
    // manager's stop ends here too.
    const ErrorCode result = firmwareUpdate(target);
    if (result != ErrorCode::Ok) {
        log(Log::Error, "Firmware update from %s failed: %s", target.c_str(),
            Helpers::errorCodeToString(result).c_str());
    }
}

// The checks in their order: header flag, board, revision, downgrade,
// reinstall, version. Versions compare on their low 8 bits.
bool Manager::firmwareAccepted(const Firmware& file, const std::string& path, const BootloaderFlags::Interface& flags)
{
    const char* name = path.c_str();
    if (flags.ignoreHeader()) {
        log(Log::Warning, "Bootloader Flag 'Ignore Header' is set. Accepting firmware '%s'", name);
        return true;
    }
    if (!flags.ignoreBoard() && file.boardName() != boardName) {
        log(Log::Warning, "Ignoring firmware '%s': Different board Name (installed=%s, file=%s)", name,
            boardName.c_str(), file.boardName().c_str());
        return false;
    }
    if (!flags.ignoreRevision() && file.revision() != boardRevision) {
        log(Log::Warning, "Ignoring firmware '%s': Different board Revision (installed=%s, file=%s)", name,
            boardRevision.c_str(), file.revision().c_str());
        return false;
    }
    const uint8_t offered = file.version();
    const uint8_t installed = Firmware::strToVersion(firmwareVersion);
    if (!flags.allowDowngrade() && offered < installed) {
        log(Log::Warning, "Ignoring firmware '%s': Older version (installed=%s, file=%s)", name,
            firmwareVersion.c_str(), Firmware::versionToStr(offered).c_str());
        return false;
    }
    if (flags.allowReinstall() || offered != installed) {
        return true;
    }
    log(Log::Warning, "Ignoring firmware '%s': Same version (installed=%s, file=%s)", name, firmwareVersion.c_str(),
        Firmware::versionToStr(offered).c_str());
    return false;
}

std::string Manager::firmwareDirectory() const
{
    return host.firmwareDirectory.empty() ? Helpers::getExecutableLocation() : host.firmwareDirectory;
}

// The download and the reset after it stay together under firmwareMutex: a
// second update may not start between them, nor its segments be cut by the
// first one's reset.
ErrorCode Manager::firmwareUpdate(const std::string& path)
{
    try {
        Firmware file(currentFlags());
        if (!file.open(path)) {
            return ErrorCode::OpenFailed;
        }
        std::lock_guard<std::mutex> lock(firmwareMutex);
        const LPCDriver::ErrorCode result = driver.updateFirmware(file.data());
        if (result == LPCDriver::NoError) {
            log(Log::Error, "Firmware download completed with no errors , resseting system ...");
            driver.resetSystem();
        }
        return translate(result);
    } catch (const std::exception& e) {
        log(Log::Error, "Could not update firmware: %s", e.what());
        return ErrorCode::UnknownError;
    }
}

// The thread holds the manager (when shared-owned) until it ends; should it
// drop the last reference, the manager is destroyed on this thread, which is
// detached and so never waited for.
ErrorCode Manager::firmwareUpdateAsync(const std::string& path)
{
    if (!Firmware(currentFlags()).open(path)) {
        return ErrorCode::OpenFailed;
    }
    std::shared_ptr<Manager> keepAlive = weak_from_this().lock();
    std::shared_ptr<AsyncUpdates> updates = asyncUpdates;
    {
        std::lock_guard<std::mutex> lock(updates->mutex);
        ++updates->running;
    }
    try {
        std::thread([this, keepAlive, updates, path]() mutable {
            try {
                firmwareUpdate(path);
            } catch (...) {
                log(Log::Error, "Could not update firmware: unknown exception");
            }
            {
                std::lock_guard<std::mutex> lock(updates->mutex);
                --updates->running;
                updates->ended.notify_all();
            }
            keepAlive.reset();
        }).detach();
    } catch (const std::system_error& e) {
        std::lock_guard<std::mutex> lock(updates->mutex);
        --updates->running;
        log(Log::Error, "Could not update firmware: %s", e.what());
        return ErrorCode::UnknownError;
    }
    return ErrorCode::Ok;
}

void Manager::quiesce()
{
    delayShutdownPingTimer.stop();
    delayShutdownStopTimer.stop();
    autoFirmwareUpdateTimer.stop();
    statusTimer.stop();
    std::unique_lock<std::mutex> lock(asyncUpdates->mutex);
    asyncUpdates->ended.wait(lock, [this] { return asyncUpdates->running == 0; });
}

std::shared_ptr<BootloaderFlags::Interface> Manager::currentFlags()
{
    {
        std::lock_guard<std::mutex> lock(bootloaderMutex);
        if (bootloaderFlags) {
            return bootloaderFlags;
        }
    }
    return bootloaderFlagsGet().second;
}

std::pair<ErrorCode, std::shared_ptr<BootloaderFlags::Interface>> Manager::bootloaderFlagsGet()
{
    std::bitset<16> bits;
    const ErrorCode result = translate(driver.getBootFlags(bits));
    log(Log::Info, "Got bootloader flags to 0x%08X", static_cast<unsigned>(bits.to_ulong()));
    const auto flags = makeFlags(corvidDetected, bits);
    log(Log::Info, "Current bootloader flags: %s", flags->toJson().dump().c_str());
    {
        std::lock_guard<std::mutex> lock(bootloaderMutex);
        bootloaderFlags = flags;
    }
    return {result, flags};
}

ErrorCode Manager::bootloaderFlagsSet(const std::bitset<16>& flags)
{
    log(Log::Debug, "Setting bootloader flags to 0x%08X", static_cast<unsigned>(flags.to_ulong()));
    const auto object = makeFlags(corvidDetected, flags);
    const ErrorCode result = translate(driver.setBootFlags(object->toBitset()));
    if (result == ErrorCode::Ok) {
        std::lock_guard<std::mutex> lock(bootloaderMutex);
        bootloaderFlags = object;
    }
    return result;
}

std::pair<ErrorCode, std::shared_ptr<BootloaderStatus::Interface>> Manager::bootloaderStatusGet()
{
    log(Log::Debug, "getBootStatus");
    int status = 0;
    const ErrorCode result = translate(driver.getBootStatus(status));
    std::lock_guard<std::mutex> lock(bootloaderMutex);
    if (result == ErrorCode::Ok) {
        bootloaderStatus = makeStatus(corvidDetected, std::bitset<16>(static_cast<unsigned>(status) & 0xFFFF));
    }
    return {result, bootloaderStatus};
}

} // namespace tavo::Board
