#include "tests/support/MosquittoBroker.h"
#include "tests/support/TsanSuppressions.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace {
const int kStartAttempts = 10;
const int kAcceptWaitMs = 5000;
const int kStopWaitMs = 5000;
const int kPollMs = 10;
// mosquitto writes this once its listeners are open.
const char* const kRunningLine = " running\n";

std::string mosquittoPath()
{
    for (const char* candidate : {"/usr/sbin/mosquitto", "/usr/local/sbin/mosquitto", "/usr/bin/mosquitto"}) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    throw std::runtime_error("mosquitto not found");
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Reaps the child if it has ended; true when it has.
bool reaped(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
} // namespace

MosquittoBroker::MosquittoBroker(Access access) : mAccess(access)
{
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        mPort = freePort();
        if (launch()) {
            return;
        }
    }
    throw std::runtime_error("mosquitto did not start: " + log());
}

MosquittoBroker::~MosquittoBroker()
{
    stop();
}

std::string MosquittoBroker::url() const
{
    return "127.0.0.1:" + std::to_string(mPort);
}

void MosquittoBroker::stop()
{
    if (mPid <= 0) {
        return;
    }
    kill(mPid, SIGTERM);
    for (int waited = 0; waited < kStopWaitMs; waited += kPollMs) {
        if (reaped(mPid)) {
            mPid = -1;
            return;
        }
        sleepMs(kPollMs);
    }
    kill(mPid, SIGKILL);
    waitpid(mPid, nullptr, 0);
    mPid = -1;
}

void MosquittoBroker::start()
{
    if (mPid > 0) {
        return;
    }
    // The port may still be held by a connection that is closing.
    for (int attempt = 0; attempt < kStartAttempts * 5; ++attempt) {
        if (launch()) {
            return;
        }
        sleepMs(100);
    }
    throw std::runtime_error("mosquitto did not start again: " + log());
}

std::string MosquittoBroker::log() const
{
    return readFile(mDir.file("broker.log"));
}

bool MosquittoBroker::waitForLog(const std::string& text, int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (log().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        sleepMs(kPollMs);
    }
    return true;
}

int MosquittoBroker::freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

bool MosquittoBroker::launch()
{
    writeConfig();
    const std::string logPath = mDir.file("broker.log");
    const size_t logStart = log().size();
    const std::string program = mosquittoPath();
    const std::string config = mDir.file("mosquitto.conf");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>("-c"),
                            const_cast<char*>(config.c_str()), nullptr};
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        throw std::runtime_error("cannot start " + program);
    }
    for (int waited = 0; waited < kAcceptWaitMs; waited += kPollMs) {
        if (reaped(pid)) {
            return false;
        }
        if (log().find(kRunningLine, logStart) != std::string::npos && waitAccepting(kPollMs)) {
            mPid = pid;
            return true;
        }
        sleepMs(kPollMs);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

bool MosquittoBroker::waitAccepting(int timeoutMs) const
{
    for (int waited = 0; waited <= timeoutMs; waited += kPollMs) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = loopback(mPort);
        const bool accepted =
            fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        if (fd >= 0) {
            close(fd);
        }
        if (accepted) {
            return true;
        }
        sleepMs(kPollMs);
    }
    return false;
}

void MosquittoBroker::writeConfig() const
{
    std::ofstream out(mDir.file("mosquitto.conf"), std::ios::trunc);
    // With a listener line mosquitto refuses anonymous clients unless told;
    // started as root it drops to its own user, so it logs to stderr (our
    // file) and keeps no files of its own.
    out << "listener " << mPort << " 127.0.0.1\n"
        << "allow_anonymous " << (mAccess == Access::Anonymous ? "true" : "false") << "\n"
        << "persistence false\n"
        << "log_dest stderr\n"
        << "log_type all\n"
        << "connection_messages true\n";
}

#if defined(__SANITIZE_THREAD__)
// Read by ThreadSanitizer in every program that uses a broker.
extern "C" const char* __tsan_default_suppressions()
{
    return kPahoTsanSuppressions;
}
#endif
