#include "messaging/Socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace Socket {

namespace {

bool query(int fd, bool peer, sockaddr_storage& storage)
{
    if (fd < 0)
        return false;
    socklen_t length = sizeof storage;
    auto* addr = reinterpret_cast<sockaddr*>(&storage);
    return (peer ? getpeername(fd, addr, &length) : getsockname(fd, addr, &length)) == 0;
}

} // namespace

AddressList resolve(const std::string& host, unsigned short port, int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (result != 0) {
        throw std::runtime_error(result == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(result));
    }
    return AddressList(found, freeaddrinfo);
}

int pollAny(pollfd* entries, nfds_t count, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = timeoutMs;
        if (timeoutMs > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? int(left.count()) : 0;
        }
        const int result = poll(entries, count, wait);
        if (result < 0 && errno == EINTR)
            continue;
        for (nfds_t i = 0; result > 0 && i < count; ++i) {
            if (entries[i].revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
        }
        return result;
    }
}

int pollOne(int fd, short events, int timeoutMs)
{
    pollfd entry{fd, events, 0};
    return pollAny(&entry, 1, timeoutMs);
}

void fail(int error)
{
    throw std::runtime_error(std::strerror(error));
}

std::string address(int fd, bool peer)
{
    sockaddr_storage storage{};
    if (!query(fd, peer, storage) || storage.ss_family != AF_INET)
        return "";
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    return inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) ? text : "";
}

unsigned short port(int fd, bool peer)
{
    sockaddr_storage storage{};
    if (!query(fd, peer, storage))
        return 0;
    if (storage.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    if (storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return 0;
}

} // namespace Socket
