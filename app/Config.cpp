#include "app/Config.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "app/version/Version.h"
#include "board/Helpers.h"
#include "foundation/FileIo.h"
#include "foundation/JsonSetting.h"
#include "foundation/JsonText.h"
#include "foundation/Settings.h"
#include "foundation/String.h"
#include "foundation/Utils.h"
#include "messaging/JsonNesting.h"
#include "messaging/LambdaTree.h"
#include "messaging/PasswordMask.h"

namespace tavo::Config {

namespace {

using nlohmann::json;

// One step of a durable rewrite and what went wrong in it.
enum class Step { Done, Keep, Open, Write, Rename, SyncDirectory };

struct Outcome {
    Step failed = Step::Done;
    int error = 0;
};

const char* const kTemporarySuffix = "-temp-config";
const char* const kNotRegular = "not a regular file";
const char* const kTooLarge = "larger than 16 MiB";
static_assert(Config::kMaxFileOctets == 16 * 1024 * 1024, "kTooLarge names the bound");

// Why the file at target may not be replaced; null when it may (a missing
// one is written anew).
const char* refusalOf(const std::string& target)
{
    struct stat file;
    if (stat(target.c_str(), &file) != 0) {
        return nullptr;
    }
    if (!S_ISREG(file.st_mode)) {
        return kNotRegular;
    }
    return static_cast<unsigned long long>(file.st_size) > Config::kMaxFileOctets ? kTooLarge : nullptr;
}

// The temporary file a rewrite by the process pid goes through.
std::string temporaryName(const std::string& pid)
{
    return String::format("%s-%s%s", getProjectName(), pid.c_str(), kTemporarySuffix);
}

// The process id in a name of temporaryName's form; 0 for any other name.
pid_t temporaryOwner(const std::string& name)
{
    return FileIo::processId(FileIo::between(name, std::string(getProjectName()) + "-", kTemporarySuffix));
}

Outcome failure(Step step)
{
    return Outcome{step, errno};
}

// Writes text whole; false with errno set.
bool writeText(int fd, const std::string& text)
{
    if (FileIo::writeAll(fd, text.data(), text.size()) == text.size()) {
        return true;
    }
    if (errno == 0) {
        errno = EIO;
    }
    return false;
}

// Creates the temporary file afresh (a stale one, or a link planted under its
// name, is removed, never followed), with the mode of the file it replaces.
int openTemporary(const std::string& temporary, const std::string& path)
{
    if (unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        return -1;
    }
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    struct stat old;
    if (stat(path.c_str(), &old) == 0 && fchmod(fd, old.st_mode & 07777) != 0) {
        const int error = errno;
        close(fd);
        unlink(temporary.c_str());
        errno = error;
        return -1;
    }
    return fd;
}

// Writes, syncs and closes the temporary file, then renames it over path and
// syncs the directory. Until the rename the old file is untouched; the
// temporary file is removed again when it could not replace path.
Outcome replaceFile(int fd, const std::string& temporary, const std::string& path, const std::string& text)
{
    const bool written = writeText(fd, text) && fsync(fd) == 0;
    Outcome outcome = written ? Outcome{} : failure(Step::Write);
    if (close(fd) != 0 && written) {
        outcome = failure(Step::Write);
    }
    if (outcome.failed == Step::Done && !Utils::moveFile(temporary, path)) {
        outcome = failure(Step::Rename);
    }
    if (outcome.failed != Step::Done) {
        unlink(temporary.c_str());
        return outcome;
    }
    return FileIo::syncDirectory(path) ? outcome : failure(Step::SyncDirectory);
}

// Renames an existing, non-empty file at path to bad; kept tells whether
// there was one to rename.
Outcome keepAsBad(const std::string& path, const std::string& bad, bool& kept)
{
    struct stat file;
    kept = false;
    if (stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode) || file.st_size == 0) {
        return Outcome{};
    }
    if (!Utils::moveFile(path, bad)) {
        return failure(Step::Keep);
    }
    kept = true;
    return Outcome{};
}

} // namespace

std::string fileText(const json& config)
{
    return config.dump(4, ' ', false, json::error_handler_t::replace);
}

std::string dumpForLog(const json& config)
{
    return JsonText::forLog(MQTT::maskPasswords(config));
}

Config::Config(std::string filepath)
    : Logger("Config"), mFilepath(filepath.empty() ? getDefaultConfigFilepath() : std::move(filepath))
{
}

std::string Config::getDefaultConfigFilepath()
{
    return Utils::combinePath(tavo::Board::Helpers::getExecutableLocation(), getDefaultConfigFile());
}

void Config::observerAttach(std::shared_ptr<Observer> observer)
{
    if (!observer) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    mObservers.insert(std::move(observer));
}

json Config::combined(const std::function<json(const Observer&)>& report) const
{
    json result;
    for (const auto& observer : mObservers) {
        json value = report(*observer);
        if (result.is_null()) {
            result = std::move(value);
        } else {
            result.insert(value.cbegin(), value.cend());
        }
    }
    return result;
}

json Config::configGet()
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    log(Log::Debug, "Getting config...");
    mStored = merge();
    return mStored;
}

Config::Saving Config::configSet(const json& config)
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    if (!config.empty()) {
        mStored = config;
    }
    // A copy: an observer that refreshes the MQTT tree runs configGet, which
    // replaces the stored configuration while this loop still hands it out.
    const json applied = mStored;
    if (Log::enabled(Log::Debug)) {
        log(Log::Debug, "Setting config %s", dumpForLog(applied).c_str());
    }
    for (const bool last : {false, true}) {
        for (const auto& observer : mObservers) {
            if (observer->appliedLast() == last) {
                log(Log::Debug, "Setting config on an observer");
                observer->onConfigSet(applied);
            }
        }
    }
    // The file is compared too: a complete configuration that every
    // component takes equals its own merge, and must still be saved.
    const json merged = configGet();
    if (merged == applied && merged == mFileContent) {
        log(Log::Info, "Configuration not changed ===> No need to update configuration file");
        printSettings();
        return Saving::Saved;
    }
    std::lock_guard<std::mutex> rewrite(mRewriteMutex);
    if (mRewritesStopped) {
        log(Log::Debug, "Stopping: the file is not rewritten");
        return Saving::RewritesStopped;
    }
    log(Log::Info, "Configuration changed ===> Updating configuration file...");
    return save() ? Saving::Saved : Saving::WriteFailed;
}

void Config::stopRewrites()
{
    std::lock_guard<std::mutex> rewrite(mRewriteMutex);
    mRewritesStopped = true;
}

std::mutex& Config::fileLock()
{
    // Never destroyed: the process stop may take it while static objects go.
    static std::mutex* lock = new std::mutex;
    return *lock;
}

void Config::update()
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    // Each process writes through a name of its own, so the files of killed
    // rewrites would otherwise pile up.
    if (const std::string target = FileIo::finalTarget(mFilepath); !target.empty()) {
        FileIo::removeOrphans(FileIo::directoryOf(target), temporaryOwner);
    }
    const Reading reading = fileRead();
    if (reading == Reading::Read) {
        try {
            configSet(json());
        } catch (const SettingError& error) {
            throw error.inFile(mFilepath);
        }
        return;
    }
    const json before = mStored;
    if (configGet() != before && reading == Reading::Unusable) {
        save(true);
    }
}

Config::Reading Config::fileRead()
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    std::string text;
    switch (FileIo::readRegular(mFilepath, kMaxFileOctets, text)) {
    case FileIo::ReadResult::Ok:
        break;
    case FileIo::ReadResult::NotRegular:
        log(Log::Error, "Could not read config file '%s': %s", mFilepath.c_str(), kNotRegular);
        return Reading::Refused;
    case FileIo::ReadResult::TooLarge:
        log(Log::Error, "Could not read config file '%s': %s", mFilepath.c_str(), kTooLarge);
        return Reading::Refused;
    default:
        log(Log::Error, "Could not read config file: '%s'.", mFilepath.c_str());
        return Reading::Unusable;
    }
    if (text.empty()) {
        log(Log::Error, "Could not read config file '%s': empty file", mFilepath.c_str());
        return Reading::Unusable;
    }
    // Measured before anything parses it: the library copies values
    // recursively, and a deep one would overflow the stack.
    if (jsonNestingExceeds(text)) {
        log(Log::Error, "Could not read config file '%s': nested deeper than %zu levels", mFilepath.c_str(),
            kMaxJsonNesting);
        return Reading::Unusable;
    }
    json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        log(Log::Error, "Could not read config file '%s': malformed json", mFilepath.c_str());
        return Reading::Unusable;
    }
    mStored = std::move(parsed);
    mFileContent = mStored;
    return Reading::Read;
}

bool Config::fileWrite() const
{
    return writeFile(false);
}

bool Config::writeFile(bool keepUnusable) const
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    printSettings();
    // Replaced where it lives, so that a link to it stays.
    const std::string target = FileIo::finalTarget(mFilepath);
    if (target.empty()) {
        log(Log::Error, "Could not write config file '%s': %s", mFilepath.c_str(), strerror(errno));
        return false;
    }
    if (const char* refusal = refusalOf(target)) {
        log(Log::Error, "Could not write config file '%s': %s", mFilepath.c_str(), refusal);
        return false;
    }
    const std::string temporary =
        Utils::combinePath(FileIo::directoryOf(target), temporaryName(Utils::getProcessId()));
    const std::string bad = target + ".bad";
    log(Log::Info, "Saving updated config file '%s'", temporary.c_str());
    bool kept = false;
    Outcome outcome;
    {
        std::lock_guard<std::mutex> file(fileLock());
        if (keepUnusable) {
            outcome = keepAsBad(target, bad, kept);
        }
        if (outcome.failed == Step::Done) {
            const int fd = openTemporary(temporary, target);
            outcome = fd < 0 ? failure(Step::Open) : replaceFile(fd, temporary, target, fileText(mStored));
        }
    }
    if (kept) {
        log(Log::Warning, "Kept the unusable config file as '%s'", bad.c_str());
    }
    const char* reason = strerror(outcome.error);
    switch (outcome.failed) {
    case Step::Done:
        return true;
    case Step::Keep:
        log(Log::Error, "Could not move file from=%s to=%s: %s", target.c_str(), bad.c_str(), reason);
        return false;
    case Step::Open:
        log(Log::Error, "Could not write config file: '%s'.", temporary.c_str());
        return false;
    case Step::Rename:
        log(Log::Error, "Could not move file from=%s to=%s: %s", temporary.c_str(), target.c_str(), reason);
        return false;
    case Step::SyncDirectory:
        log(Log::Error, "Could not sync the directory of config file '%s': %s", target.c_str(), reason);
        return false;
    default:
        log(Log::Error, "Could not write config file '%s': %s", temporary.c_str(), reason);
        return false;
    }
}

bool Config::save(bool keepUnusable)
{
    if (!writeFile(keepUnusable)) {
        return false;
    }
    mFileContent = mStored;
    return true;
}

void Config::printSettings() const
{
    // The table cuts long keys and texts itself; a member too wide to
    // become topics is listed by its member count instead of row by row.
    json shown = MQTT::maskPasswords(mStored);
    JsonText::collapseWide(shown);
    SettingStore settings;
    settings.fromJson(shown);
    settings.print();
}

} // namespace tavo::Config
