// tavo::Config::Config: the daemon's JSON configuration file. It holds no
// settings of its own: every component with settings registers an observer,
// and the file is the merge of the sections the observers report. update()
// synchronises file and components at start-up; configGet and configSet
// serve the configuration's node of the MQTT interface afterwards.
//
// The file is one JSON value, written with four-space indentation, keys in
// byte order, UTF-8 unescaped and no line end after the closing brace.
// Rewrites are atomic and durable: a temporary file beside the file is
// written, synced and renamed over it, so a crash at any moment leaves the
// old or the new file. A path that is a symbolic link is followed to its
// final target, which is replaced in its own directory: the link stays.
// Only a regular file of at most kMaxFileOctets is read or replaced; a path
// whose target is anything else (a FIFO, a device, a directory) is left
// alone, and the daemon runs on its components' configuration. Passwords
// never reach the log.
//
// Threading:
// - update() runs on the main thread before the remote interfaces start;
//   configGet and configSet run afterwards on MQTT library threads, and each
//   observer runs on the thread that called in.
// - `mutex` (recursive: configSet calls configGet) guards the observers and
//   the stored configuration and is held while the observers run, so one
//   get or set runs at a time.
// - `mRewriteMutex` is taken under `mMutex` for a set's rewrite, from its
//   "Configuration changed" line to the end of its write, and alone by
//   stopRewrites, which so never waits for the observers.
// - fileLock() is process-wide and a leaf: every write of a configuration
//   file holds it over the file operations alone (at start-up from keeping
//   an unusable file as ".bad" to the new file's rename), never over a log
//   line. The process stop takes it last, so the process never ends in the
//   middle of a write and never waits for a log that blocks.
// - Lock order: the MQTT tree lock, then `mutex` (the getter, setter and
//   bound of the configuration's node, admitsRemoteSet, run under the tree
//   lock). No observer takes the tree lock under `mutex`: the board's MQTT
//   adaptor hands its refresh to the client's worker.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "app/ConfigObserver.h"
#include "foundation/Log.h"

namespace tavo::Config {

class Config : public Logger {
public:
    // An empty path selects getDefaultConfigFilepath(). Reads nothing.
    explicit Config(std::string filepath);

    // The executable's directory joined with "lumacore.json". Throws
    // std::logic_error when the executable's directory cannot be resolved.
    static std::string getDefaultConfigFilepath();

    // Adds the observer once; observers run in address order (a set applies
    // those that are Observer::appliedLast after the others). A null pointer
    // is ignored.
    void observerAttach(std::shared_ptr<Observer> observer);

    // The merge of every observer's section (a key already present keeps the
    // lower address's value); it also becomes the stored configuration.
    // Null without observers. Throws the JSON library's error when an
    // observer reports something other than an object after the first.
    nlohmann::json configGet();
    // What a set left in the file: Saved when the file holds the result
    // (rewritten, or equal already); otherwise the components have it but
    // the file does not, since rewrites were stopped or the write failed.
    enum class Saving { Saved, RewritesStopped, WriteFailed };
    // Applies config (the stored configuration when config is empty) to
    // every observer, those applied last after the others, then rewrites the
    // file when the components' merge differs from what was applied or from
    // what the file holds. An observer's exception passes to the caller: the
    // observers applied before it keep the set, those after it (every one
    // applied last among them) never get it, the stored configuration is
    // already replaced, the file untouched.
    Saving configSet(const nlohmann::json& config);
    // For the process stop: waits for a rewrite of the file under way, its
    // log lines included, then refuses every later one (sets still reach
    // the components, and configSet says RewritesStopped). Any thread.
    void stopRewrites();
    // The lock over every write of a configuration file; see Threading.
    static std::mutex& fileLock();
    // Start-up: removes the temporary files that rewrites of ended processes
    // left beside the file; then a readable file goes to every observer
    // (rewritten when the components differ from it); a file refused as not
    // regular or too large is left as it is; otherwise the components'
    // configuration is written, an unusable file being kept first as its
    // path plus ".bad". A setting the file holds that a component cannot
    // take throws SettingError naming the file and the key path; nothing is
    // written then.
    void update();

    // The most octets a configuration file may have; the daemon's own stay
    // under kMaxRemoteFile.
    static constexpr size_t kMaxFileOctets = 16 * 1024 * 1024;

    // Writes the stored configuration; false (logged) when anything failed,
    // or when the file may not be replaced (not a regular file, or larger
    // than kMaxFileOctets). The old file is then intact, unless only the
    // directory's sync after the rename failed.
    bool fileWrite() const;

    // What a remote set may store: the board's own configuration is about
    // 2.5 KB, and a long token as the MQTT password fits in a text.
    static constexpr size_t kMaxRemoteText = 4 * 1024;
    static constexpr size_t kMaxRemoteFile = 256 * 1024;

    // A configuration's file octets, and the nodes, the longest path and the
    // octets of all paths of the node that serves it remotely. The paths
    // count from the topic root: a node whose path has nodePath octets
    // ("config": 6) adds them and a separator to each path below it.
    struct Size {
        size_t octets;
        size_t nodes;
        size_t longestPath;
        size_t pathOctets;
        // True when each field is within its remote bound or no larger than now's.
        bool fits(const Size& now) const;
    };
    // The size of the configuration now, and the most that configSet(value)
    // would leave: each observer's preview combined as configGet combines,
    // section by section the larger of it and the section now, since an
    // observer's throw leaves the sections of the ones after it as they
    // are. Now counts what may change before the set as the preview does
    // (Observer::onConfigPreviewNow). Applies nothing. Throws what an
    // observer's preview or get throws.
    std::pair<Size, Size> remoteSetSizes(const nlohmann::json& value, size_t nodePath) const;
    // Whether a remote set of value (as the node's setter gets it) may be
    // applied. False when it would store a text or a member name longer
    // than kMaxRemoteText where the configuration holds none at least as
    // long (a text at the same key path, a member name in the object
    // there), or when the value's own paths, and then the size it would
    // leave, do not fit the size now (Size::fits): a configuration over
    // these bounds already is the user's, it stays, and sets that do not
    // grow it pass. False, too, when an observer throws. Runs under the
    // MQTT tree lock, then takes `mutex`.
    bool admitsRemoteSet(const nlohmann::json& value, size_t nodePath) const;

private:
    // What reading the file found: a configuration, a file to replace, or
    // one to leave alone.
    enum class Reading { Read, Unusable, Refused };
    // Parses the file into the stored configuration; Refused (logged, the
    // stored configuration untouched) when it is not a regular file or is
    // larger than kMaxFileOctets; Unusable (likewise) when it is missing,
    // unreadable, empty, nested deeper than kMaxJsonNesting or not exactly
    // one JSON value.
    Reading fileRead();
    // The observers' reports combined as configGet combines them: the first
    // whole, then the members of each later one that are still missing.
    nlohmann::json combined(const std::function<nlohmann::json(const Observer&)>& report) const;
    // The observers' current settings combined; stores nothing.
    nlohmann::json merge() const;
    // fileWrite (after keeping an unusable file when keepUnusable),
    // remembering what the file then holds; false when the write failed.
    bool save(bool keepUnusable = false);
    // fileWrite's work; with keepUnusable, an existing, non-empty file is
    // first renamed to its final target's path plus ".bad", and nothing is
    // written when that fails.
    bool writeFile(bool keepUnusable) const;
    // The stored configuration as a settings table, passwords masked, and
    // cut where one row would flood the log.
    void printSettings() const;

    std::set<std::shared_ptr<Observer>> mObservers;
    const std::string mFilepath;
    nlohmann::json mStored;
    // What the file holds as last read or written; null while unknown.
    nlohmann::json mFileContent;
    mutable std::recursive_mutex mMutex;
    // Held from the "Configuration changed" line of a set to the end of its
    // rewrite; guards mRewritesStopped.
    std::mutex mRewriteMutex;
    bool mRewritesStopped = false;
};

// The configuration as the file holds it; invalid UTF-8 is replaced.
std::string fileText(const nlohmann::json& config);

// Compact text of the masked configuration for a log line, texts, member
// names and wide members cut by JsonText::forLog; invalid UTF-8 is
// replaced, never thrown on.
std::string dumpForLog(const nlohmann::json& config);

} // namespace tavo::Config
