#include "app/Config.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "app/version/Version.h"
#include "board/Helpers.h"
#include "foundation/FileIo.h"
#include "foundation/Settings.h"
#include "foundation/String.h"
#include "foundation/Utils.h"
#include "messaging/LambdaTree.h"
#include "messaging/PasswordMask.h"

namespace tavo::Config {

namespace {

using nlohmann::json;

// One step of a durable rewrite and what went wrong in it.
enum class Step { Done, Write, Rename, SyncDirectory };

struct Outcome {
    Step failed = Step::Done;
    int error = 0;
};

const char* const kTemporarySuffix = "-temp-config";

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

// Every row of the settings table is as wide as its widest key and value.
constexpr size_t kMaxPrintedText = 256;

// The text cut after kMaxPrintedText characters, with its length.
std::string shortened(const std::string& text)
{
    size_t characters = 0;
    size_t cut = text.size();
    for (size_t i = 0; i < text.size(); ++i) {
        // UTF-8 continuation bytes belong to the character before.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (characters == kMaxPrintedText) {
                cut = i;
            }
            ++characters;
        }
    }
    if (characters <= kMaxPrintedText) {
        return text;
    }
    return text.substr(0, cut) + String::format("... (%zu characters)", characters);
}

// The settings are listed one line per key: a member too wide to become
// topics is shown by its member count, a long text or member name cut,
// instead of flooding the log.
void summarise(json& value)
{
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        if (text.size() > kMaxPrintedText) {
            value = shortened(text);
        }
        return;
    }
    if (!value.is_structured()) {
        return;
    }
    if (value.is_object()) {
        json renamed = json::object();
        for (auto member : value.items()) {
            renamed[shortened(member.key())] = std::move(member.value());
        }
        value = std::move(renamed);
    }
    for (json& member : value) {
        summarise(member);
        if (LambdaTree::tooWide(member)) {
            member = String::format("(%zu members)", member.size());
        }
    }
}

} // namespace

std::string fileText(const json& config)
{
    return config.dump(4, ' ', false, json::error_handler_t::replace);
}

std::string dumpForLog(const json& config)
{
    json shown = MQTT::maskPasswords(config);
    summarise(shown);
    return shown.dump(-1, ' ', false, json::error_handler_t::replace);
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

void Config::configSet(const json& config)
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    if (!config.empty()) {
        mStored = config;
    }
    // A copy: an observer that refreshes the MQTT tree runs configGet, which
    // replaces the stored configuration while this loop still hands it out.
    const json applied = mStored;
    log(Log::Debug, "Setting config %s", dumpForLog(applied).c_str());
    for (const auto& observer : mObservers) {
        log(Log::Debug, "Setting config on an observer");
        observer->onConfigSet(applied);
    }
    // The file is compared too: a complete configuration that every
    // component takes equals its own merge, and must still be saved.
    const json merged = configGet();
    if (merged == applied && merged == mFileContent) {
        log(Log::Info, "Configuration not changed ===> No need to update configuration file");
        printSettings();
    } else {
        std::lock_guard<std::mutex> rewrite(mRewriteMutex);
        if (mRewritesStopped) {
            log(Log::Debug, "Stopping: the file is not rewritten");
            return;
        }
        log(Log::Info, "Configuration changed ===> Updating configuration file...");
        save();
    }
}

void Config::stopRewrites()
{
    std::lock_guard<std::mutex> rewrite(mRewriteMutex);
    mRewritesStopped = true;
}

void Config::update()
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    // Each process writes through a name of its own, so the files of killed
    // rewrites would otherwise pile up.
    FileIo::removeOrphans(FileIo::directoryOf(mFilepath), temporaryOwner);
    if (fileRead()) {
        configSet(json());
        return;
    }
    const json before = mStored;
    if (configGet() != before && keepUnusableFile()) {
        save();
    }
}

bool Config::fileRead()
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    std::ifstream in(mFilepath, std::ios::binary);
    if (!in.is_open()) {
        log(Log::Error, "Could not read config file: '%s'.", mFilepath.c_str());
        return false;
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        log(Log::Error, "Could not read config file: '%s'.", mFilepath.c_str());
        return false;
    }
    if (text.empty()) {
        log(Log::Error, "Could not read config file '%s': empty file", mFilepath.c_str());
        return false;
    }
    json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        log(Log::Error, "Could not read config file '%s': malformed json", mFilepath.c_str());
        return false;
    }
    mStored = std::move(parsed);
    mFileContent = mStored;
    return true;
}

bool Config::fileWrite() const
{
    std::lock_guard<std::recursive_mutex> lock(mMutex);
    printSettings();
    const std::string temporary =
        Utils::combinePath(FileIo::directoryOf(mFilepath), temporaryName(Utils::getProcessId()));
    const int fd = openTemporary(temporary, mFilepath);
    if (fd < 0) {
        log(Log::Error, "Could not write config file: '%s'.", temporary.c_str());
        return false;
    }
    log(Log::Info, "Saving updated config file '%s'", temporary.c_str());
    const Outcome outcome = replaceFile(fd, temporary, mFilepath, fileText(mStored));
    const char* reason = strerror(outcome.error);
    switch (outcome.failed) {
    case Step::Done:
        return true;
    case Step::Rename:
        log(Log::Error, "Could not move file from=%s to=%s: %s", temporary.c_str(), mFilepath.c_str(), reason);
        return false;
    case Step::SyncDirectory:
        log(Log::Error, "Could not sync the directory of config file '%s': %s", mFilepath.c_str(), reason);
        return false;
    default:
        log(Log::Error, "Could not write config file '%s': %s", temporary.c_str(), reason);
        return false;
    }
}

void Config::save()
{
    if (fileWrite()) {
        mFileContent = mStored;
    }
}

void Config::printSettings() const
{
    json shown = MQTT::maskPasswords(mStored);
    summarise(shown);
    SettingStore settings;
    settings.fromJson(shown);
    settings.print();
}

bool Config::keepUnusableFile() const
{
    struct stat file;
    if (stat(mFilepath.c_str(), &file) != 0 || !S_ISREG(file.st_mode) || file.st_size == 0) {
        return true;
    }
    const std::string bad = mFilepath + ".bad";
    if (!Utils::moveFile(mFilepath, bad)) {
        log(Log::Error, "Could not move file from=%s to=%s: %s", mFilepath.c_str(), bad.c_str(), strerror(errno));
        return false;
    }
    log(Log::Warning, "Kept the unusable config file as '%s'", bad.c_str());
    return true;
}

} // namespace tavo::Config
