#include "messaging/TCPClient.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "messaging/Socket.h"

namespace {

timeval toTimeval(int ms)
{
    timeval value{};
    value.tv_sec = ms / 1000;
    value.tv_usec = (ms % 1000) * 1000;
    return value;
}

int setTimeout(int fd, int option, int ms)
{
    const timeval value = toTimeval(ms);
    return setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}

int setInt(int fd, int level, int option, int value)
{
    return setsockopt(fd, level, option, &value, sizeof value);
}

} // namespace

TCPClient::TCPClient(int descriptor) : descriptor(descriptor) {}

void TCPClient::close()
{
    if (descriptor != -1) {
        if (owner)
            ::close(descriptor);
        else
            ::shutdown(descriptor, SHUT_RDWR);
        descriptor = -1;
    }
}

TCPClient TCPClient::borrowed() const
{
    TCPClient copy = *this;
    copy.owner = false;
    return copy;
}

void TCPClient::shutdown() const
{
    if (descriptor != -1)
        ::shutdown(descriptor, SHUT_RDWR);
}

void TCPClient::connect(const std::string& host, unsigned short port)
{
    if (connected() && address() == host && this->port() == port)
        return;
    // The old descriptor belongs to the copies as well: only close() ends it.
    descriptor = -1;
    const Socket::AddressList found = Socket::resolve(host, port, 0);
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (fd < 0)
        Socket::fail(errno);
    const bool configured = setTimeout(fd, SO_RCVTIMEO, readTimeout) == 0
        && setTimeout(fd, SO_SNDTIMEO, writeTimeout) == 0
        && setInt(fd, SOL_SOCKET, SO_KEEPALIVE, keepAlive ? 1 : 0) == 0
        && setInt(fd, IPPROTO_TCP, TCP_KEEPIDLE, keepAliveTime) == 0
        && setInt(fd, IPPROTO_TCP, TCP_KEEPINTVL, keepAliveInterval) == 0
        && setInt(fd, IPPROTO_TCP, TCP_KEEPCNT, keepAliveProbes) == 0
        && (!noDelay || setInt(fd, IPPROTO_TCP, TCP_NODELAY, 1) == 0)
        && (sendBuffer == 0 || setInt(fd, SOL_SOCKET, SO_SNDBUF, sendBuffer) == 0)
        && (receiveBuffer == 0 || setInt(fd, SOL_SOCKET, SO_RCVBUF, receiveBuffer) == 0);
    if (!configured || ::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        const int error = errno;
        ::close(fd);
        Socket::fail(error);
    }
    descriptor = fd;
    owner = true; // a borrowed copy owns a socket of its own making
}

std::string TCPClient::address() const
{
    return Socket::address(descriptor, true);
}

unsigned short TCPClient::port() const
{
    return Socket::port(descriptor, true);
}

void TCPClient::setReadTimeout(int ms)
{
    if (ms == readTimeout)
        return;
    readTimeout = ms;
    if (connected())
        setTimeout(descriptor, SO_RCVTIMEO, ms);
}

void TCPClient::setWriteTimeout(int ms)
{
    if (ms == writeTimeout)
        return;
    writeTimeout = ms;
    if (connected())
        setTimeout(descriptor, SO_SNDTIMEO, ms);
}

void TCPClient::setKeepAlive(bool on)
{
    if (on == keepAlive)
        return;
    keepAlive = on;
    if (connected())
        setInt(descriptor, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
}

void TCPClient::setKeepAliveTime(int seconds)
{
    if (seconds == keepAliveTime)
        return;
    keepAliveTime = seconds;
    if (connected())
        setInt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, seconds);
}

void TCPClient::setKeepAliveInterval(int seconds)
{
    if (seconds == keepAliveInterval)
        return;
    keepAliveInterval = seconds;
    if (connected())
        setInt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, seconds);
}

void TCPClient::setKeepAliveProbes(int count)
{
    if (count == keepAliveProbes)
        return;
    keepAliveProbes = count;
    if (connected())
        setInt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, count);
}

void TCPClient::setNoDelay(bool on)
{
    if (on == noDelay)
        return;
    noDelay = on;
    if (connected())
        setInt(descriptor, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

void TCPClient::setSendBuffer(int octets)
{
    if (octets == sendBuffer)
        return;
    sendBuffer = octets;
    if (connected() && octets > 0)
        setInt(descriptor, SOL_SOCKET, SO_SNDBUF, octets);
}

void TCPClient::setReceiveBuffer(int octets)
{
    if (octets == receiveBuffer)
        return;
    receiveBuffer = octets;
    if (connected() && octets > 0)
        setInt(descriptor, SOL_SOCKET, SO_RCVBUF, octets);
}

bool TCPClient::available()
{
    if (!connected())
        return false;
    const int result = Socket::pollOne(descriptor, POLLIN, 0);
    if (result < 0) {
        const int error = errno;
        close();
        Socket::fail(error);
    }
    return result > 0;
}

bool TCPClient::waitReadable(int timeoutMs) const
{
    return connected() && Socket::pollOne(descriptor, POLLIN, timeoutMs) > 0;
}

long TCPClient::receive(void* buffer, size_t n)
{
    for (;;) {
        const ssize_t got = recv(descriptor, buffer, n, 0);
        if (got > 0)
            return long(got);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        close();
        return -1;
    }
}

int TCPClient::read()
{
    if (!connected())
        return -1;
    unsigned char byte = 0;
    return receive(&byte, 1) == 1 ? int(byte) : -1;
}

int TCPClient::read(unsigned char* buffer, unsigned long n)
{
    if (n == 0)
        return 0;
    if (!connected())
        return -1;
    unsigned long got = 0;
    while (got < n) {
        const long more = receive(buffer + got, n - got);
        if (more < 0)
            return -1;
        if (more == 0)
            break;
        got += (unsigned long)more;
    }
    return int(got);
}

int TCPClient::read(std::vector<unsigned char>& buffer, unsigned long n)
{
    if (n == 0)
        return 0;
    if (!connected())
        return -1;
    const size_t start = buffer.size();
    unsigned long got = 0;
    while (got < n) {
        const size_t chunk = std::min<unsigned long>(n - got, READ_CHUNK);
        buffer.resize(start + got + chunk);
        const long more = receive(buffer.data() + start + got, chunk);
        if (more < 0) {
            buffer.resize(start);
            return -1;
        }
        if (more == 0)
            break;
        got += (unsigned long)more;
    }
    buffer.resize(start + got);
    return int(got);
}

int TCPClient::readSome(unsigned char* buffer, unsigned long n)
{
    if (n == 0)
        return 0;
    if (!connected())
        return -1;
    return int(receive(buffer, std::min<unsigned long>(n, READ_CHUNK)));
}

int TCPClient::sendAll(const void* data, size_t n)
{
    if (!connected())
        return -1;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(writeTimeout);
    // With a time-out every send returns at once and the wait for room is a
    // poll up to the deadline, so the time-out bounds the whole call.
    const int flags = MSG_NOSIGNAL | (writeTimeout > 0 ? MSG_DONTWAIT : 0);
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t sent = 0;
    while (sent < n) {
        const ssize_t result = send(descriptor, bytes + sent, n - sent, flags);
        if (result > 0) {
            sent += size_t(result);
            continue;
        }
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            // A poll that fails or reports the end leaves it to the next send.
            if (writeTimeout > 0 && left > 0 && Socket::pollOne(descriptor, POLLOUT, int(left)) != 0)
                continue;
            break;
        }
        close();
        return -1;
    }
    return int(sent);
}

int TCPClient::write(unsigned char byte)
{
    return sendAll(&byte, 1);
}

int TCPClient::write(const unsigned char* data, unsigned long n)
{
    return sendAll(data, n);
}

int TCPClient::write(const std::vector<unsigned char>& data)
{
    return sendAll(data.data(), data.size());
}

bool TCPClient::getline(std::string& line)
{
    if (!connected())
        return false;
    for (size_t octets = line.size();; ++octets) {
        char byte = 0;
        if (receive(&byte, 1) != 1)
            return false;
        if (byte == '\n')
            return true;
        if (!lineTakes(octets, byte)) {
            close();
            return false;
        }
        if (byte != '\r')
            line.push_back(byte);
    }
}

int TCPClient::print(const std::string& text)
{
    return sendAll(text.data(), text.size());
}

int TCPClient::println(const std::string& text)
{
    return print(text + "\r\n");
}

int TCPClient::printf(const char* format, ...)
{
    if (!connected())
        return -1;
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0)
        return -1;
    return sendAll(buffer, std::min<size_t>(size_t(length), sizeof buffer - 1));
}
