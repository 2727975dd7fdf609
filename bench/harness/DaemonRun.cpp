#include "DaemonRun.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "lpc/LPCDriver.h"

namespace {

const std::string kBase = "tavo/lumacore";
constexpr int kBaud = 115200;
// A reply line longer than this is no reply of the daemon's.
constexpr size_t kMaxLine = 64 * 1024;

} // namespace

double msBetween(BenchClock::time_point start, BenchClock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

LineSocket::~LineSocket()
{
    if (mFd >= 0)
        close(mFd);
}

LineSocket::LineSocket(LineSocket&& other) noexcept : mFd(other.mFd), mBuffered(std::move(other.mBuffered))
{
    other.mFd = -1;
}

LineSocket& LineSocket::operator=(LineSocket&& other) noexcept
{
    std::swap(mFd, other.mFd);
    std::swap(mBuffered, other.mBuffered);
    return *this;
}

bool LineSocket::connect(unsigned short port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        return false;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *this = LineSocket();
    mFd = fd;
    return true;
}

bool LineSocket::send(const std::string& line)
{
    const std::string wire = line + "\r\n";
    return mFd >= 0 && ::send(mFd, wire.data(), wire.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(wire.size());
}

std::optional<std::string> LineSocket::next(int timeoutMs)
{
    const auto deadline = BenchClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = mBuffered.find('\n');
        if (end != std::string::npos) {
            std::string line = mBuffered.substr(0, end);
            mBuffered.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - BenchClock::now()).count();
        pollfd readable{mFd, POLLIN, 0};
        if (mFd < 0 || mBuffered.size() > kMaxLine || left < 0 || poll(&readable, 1, static_cast<int>(left)) <= 0)
            return std::nullopt;
        char chunk[4096];
        const ssize_t got = recv(mFd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return std::nullopt;
        mBuffered.append(chunk, static_cast<size_t>(got));
    }
}

MqttRecorder::MqttRecorder(const std::string& url, const std::string& clientId) : mClient(url, clientId)
{
    mClient.set_message_callback([this](mqtt::const_message_ptr message) {
        Message stamped{message->get_topic(), message->get_payload_str(), BenchClock::now()};
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mMessages.push_back(std::move(stamped));
        }
        mArrived.notify_one();
    });
    mqtt::connect_options options;
    options.set_clean_session(true);
    mClient.connect(options)->wait();
}

MqttRecorder::~MqttRecorder()
{
    try {
        mClient.disconnect()->wait();
    } catch (const mqtt::exception&) {
    }
}

void MqttRecorder::subscribe(const std::string& topic)
{
    mClient.subscribe(topic, 1)->wait();
}

void MqttRecorder::publish(const std::string& topic, const std::string& payload)
{
    mClient.publish(topic, payload.data(), payload.size(), 0, false);
}

std::optional<MqttRecorder::Message> MqttRecorder::waitFor(const std::string& topic,
                                                           const std::function<bool(const nlohmann::json&)>& accept,
                                                           int timeoutMs)
{
    const auto deadline = BenchClock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        if (!mArrived.wait_until(lock, deadline, [this] { return !mMessages.empty(); }))
            return std::nullopt;
        Message message = std::move(mMessages.front());
        mMessages.pop_front();
        if (message.topic != topic)
            continue;
        if (!accept || accept(nlohmann::json::parse(message.payload, nullptr, false)))
            return message;
    }
}

DaemonRun::DaemonRun() : tcpPort(static_cast<unsigned short>(MosquittoBroker::freePort()))
{
    board.setLogging(false);
    const nlohmann::json config = {
        {"mqtt", {{"url", broker.url()}, {"base", kBase}, {"clientId", "lumacore-under-bench"}}},
        {"tcp", {{"port", tcpPort}}}};
    std::ofstream(daemon.dir().file("lumacore.json")) << config.dump(4);
}

void DaemonRun::start()
{
    daemon.start({"-d", board.devicePath(), "-e", "-f", daemon.dir().file("lumacore.json")});
}

LineSocket DaemonRun::connect(int timeoutMs)
{
    const auto deadline = BenchClock::now() + std::chrono::milliseconds(timeoutMs);
    LineSocket socket;
    while (!socket.connect(tcpPort)) {
        if (BenchClock::now() >= deadline)
            fail("the TCP service did not listen");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto greeting = socket.next(timeoutMs);
    if (!greeting || greeting->rfind("Lumacore ", 0) != 0)
        fail("no greeting, but \"" + greeting.value_or("(nothing)") + "\"");
    return socket;
}

std::string DaemonRun::topic(const std::string& relative)
{
    return kBase + "/" + relative;
}

void DaemonRun::fail(const std::string& what) const
{
    throw std::runtime_error(what + "; the daemon's log:\n" + daemon.err());
}

std::string loggerNote()
{
    if (access("/dev/log", F_OK) == 0)
        return "";
    return "note: no system logger here (/dev/log): the daemon's log lines go to /dev/console, the TCP requests' "
           "\"Request:\" lines among them";
}

std::vector<double> bareHeartbeatMs(size_t count)
{
    SimulatedBoard board;
    board.setLogging(false);
    LPCDriver driver;
    if (driver.open(board.devicePath().c_str(), kBaud) != LPCDriver::NoError)
        throw std::runtime_error("the simulated board does not open");
    std::vector<double> times;
    times.reserve(count);
    while (times.size() < count) {
        const auto start = BenchClock::now();
        if (driver.heartbeat() != LPCDriver::NoError)
            throw std::runtime_error("a bare heartbeat failed");
        times.push_back(msBetween(start, BenchClock::now()));
    }
    driver.close();
    return times;
}
