#include "messaging/TCPServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "messaging/Socket.h"

const std::string TCPServer::ANY_ADDRESS = "0.0.0.0";

void TCPServer::listen(unsigned short port, const std::string& address)
{
    close();
    const Socket::AddressList found = Socket::resolve(address, port, AI_PASSIVE);
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (fd < 0)
        Socket::fail(errno);
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 1) != 0) {
        const int error = errno;
        ::close(fd);
        Socket::fail(error);
    }
    descriptor = fd;
}

void TCPServer::close()
{
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

std::string TCPServer::address() const
{
    return Socket::address(descriptor, false);
}

unsigned short TCPServer::port() const
{
    return Socket::port(descriptor, false);
}

bool TCPServer::pending() const
{
    return descriptor >= 0 && Socket::pollOne(descriptor, POLLIN, 0) > 0;
}

TCPClient TCPServer::accept()
{
    if (descriptor < 0)
        Socket::fail(EBADF);
    if (timeout >= 0 || wakeUp >= 0) {
        pollfd entries[] = {{descriptor, POLLIN, 0}, {wakeUp, POLLIN, 0}};
        const int ready = Socket::pollAny(entries, 2, timeout);
        if (ready < 0) {
            const int error = errno;
            close();
            Socket::fail(error);
        }
        if (ready == 0 || entries[1].revents != 0)
            return TCPClient();
    }
    for (;;) {
        const int fd = accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            return TCPClient(fd);
        if (errno == EINTR)
            continue;
        const int error = errno;
        close();
        Socket::fail(error);
    }
}
