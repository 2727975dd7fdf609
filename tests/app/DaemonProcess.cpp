#include "DaemonProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/TsanSuppressions.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The stub beside this file's folder, in the source tree.
std::string stubSource()
{
    return (fs::path(__FILE__).parent_path().parent_path() / "stubs" / "shutdown").string();
}

} // namespace

DaemonProcess::DaemonProcess() : mExecutable(mDir.file("lumacore"))
{
    fs::copy_file(LUMACORE_EXECUTABLE, mExecutable);
    fs::create_directory(mDir.file("bin"));
    fs::copy_file(stubSource(), mDir.file("bin/shutdown"));
    fs::permissions(mDir.file("bin/shutdown"), fs::perms::owner_all, fs::perm_options::add);
    std::ofstream(mDir.file("tsan.supp")) << kPahoTsanSuppressions;
}

DaemonProcess::~DaemonProcess()
{
    wait(0);
}

void DaemonProcess::start(const std::vector<std::string>& args)
{
    wait(0);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "PATH=", 5) != 0 && std::strncmp(*entry, "LUMACORE_STUB_LOG=", 18) != 0 &&
            std::strncmp(*entry, "TSAN_OPTIONS=", 13) != 0)
            environment.emplace_back(*entry);
    }
    // A ThreadSanitizer build of the daemon needs the test programs' Paho
    // suppressions; the caller's options (a log path, say) still apply, and
    // other builds ignore the variable.
    const char* tsanOptions = std::getenv("TSAN_OPTIONS");
    environment.push_back("TSAN_OPTIONS=" + std::string(tsanOptions != nullptr ? tsanOptions : "") +
                          " suppressions='" + mDir.file("tsan.supp") + "'");
    const char* path = std::getenv("PATH");
    environment.push_back("PATH=" + mDir.file("bin") + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
    environment.push_back("LUMACORE_STUB_LOG=" + mDir.file("shutdown.log"));

    std::vector<std::string> argv{mExecutable};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argvPointers;
    for (std::string& arg : argv)
        argvPointers.push_back(arg.data());
    argvPointers.push_back(nullptr);
    std::vector<char*> envPointers;
    for (std::string& entry : environment)
        envPointers.push_back(entry.data());
    envPointers.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, mDir.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, mDir.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int errPipe[2] = {-1, -1};
    if (mErrRate > 0) {
        if (pipe2(errPipe, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
        posix_spawn_file_actions_adddup2(&files, errPipe[1], 2);
    }
    // The child starts as a shell would start it: nothing blocked, default
    // dispositions for the signals the tests send.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &stops);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const int result =
        posix_spawn(&mPid, mExecutable.c_str(), &files, &attributes, argvPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (mErrRate > 0) {
        close(errPipe[1]);
        mChildEnded = false;
        mErrRelay = std::thread(&DaemonProcess::relayErr, this, errPipe[0]);
    }
    if (result != 0) {
        mPid = -1;
        throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(result));
    }
}

void DaemonProcess::relayErr(int pipe)
{
    // A hundred portions a second.
    const size_t portion = std::max<size_t>(1, mErrRate / 100);
    std::vector<char> buffer(portion);
    const int file = open(mDir.file("stderr").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        const ssize_t got = read(pipe, buffer.data(), portion);
        if (got <= 0 && !(got < 0 && errno == EINTR))
            break;
        if (got > 0 && write(file, buffer.data(), static_cast<size_t>(got)) != got)
            break;
        next += std::chrono::milliseconds(10);
        if (!mChildEnded)
            std::this_thread::sleep_until(next);
    }
    close(file);
    close(pipe);
}

void DaemonProcess::signal(int number) const
{
    if (mPid > 0)
        kill(mPid, number);
}

int DaemonProcess::wait(int timeoutMs)
{
    const int status = reap(timeoutMs);
    mChildEnded = true;
    if (mErrRelay.joinable())
        mErrRelay.join();
    return status;
}

int DaemonProcess::reap(int timeoutMs)
{
    if (mPid <= 0)
        return -1;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(mPid, &status, WNOHANG);
        if (done == mPid) {
            mPid = -1;
            return status;
        }
        if (done < 0 && errno != EINTR) {
            mPid = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= limit)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(mPid, SIGKILL);
    waitpid(mPid, &status, 0);
    mPid = -1;
    return -1;
}

int DaemonProcess::run(const std::vector<std::string>& args, int timeoutMs)
{
    start(args);
    return wait(timeoutMs);
}

std::string DaemonProcess::out() const
{
    return readFile(mDir.file("stdout"));
}

std::string DaemonProcess::err() const
{
    return readFile(mDir.file("stderr"));
}

bool DaemonProcess::waitForErr(const std::string& text, int timeoutMs) const
{
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // Reads only what was appended, so that polling often stays cheap and a
    // caller reacts to a line within about a millisecond.
    int fd = -1;
    std::string seen;
    char chunk[4096];
    bool ended = false;
    for (;;) {
        if (fd < 0)
            fd = open(mDir.file("stderr").c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t got = fd < 0 ? 0 : read(fd, chunk, sizeof chunk);
        if (got > 0) {
            const size_t from = seen.size() >= text.size() ? seen.size() - text.size() + 1 : 0;
            seen.append(chunk, static_cast<size_t>(got));
            if (seen.find(text, from) != std::string::npos)
                break;
            continue;
        }
        if (ended || std::chrono::steady_clock::now() >= limit) {
            if (fd >= 0)
                close(fd);
            return false;
        }
        // A child that has ended writes no more: what it wrote is read once
        // more, then the wait is over. Through the relay, its lines may
        // still be on the way.
        siginfo_t info{};
        ended = mErrRate == 0 && mPid > 0 && waitid(P_PID, mPid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == mPid;
        if (!ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
    return true;
}

std::string DaemonProcess::shutdownLog() const
{
    return readFile(mDir.file("shutdown.log"));
}

size_t occurrences(const std::string& haystack, const std::string& text)
{
    size_t count = 0;
    for (size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size()))
        ++count;
    return count;
}
