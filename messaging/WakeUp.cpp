#include "messaging/WakeUp.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "messaging/Socket.h"

WakeUp::WakeUp() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (fd < 0)
        Socket::fail(errno);
}

WakeUp::~WakeUp()
{
    ::close(fd);
}

void WakeUp::set()
{
    // Adds one to the counter; it cannot fill up before clear empties it.
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeUp::clear()
{
    // Empties the counter, however many sets came; EAGAIN when none did.
    uint64_t count = 0;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

bool WakeUp::wait(int timeoutMs) const
{
    return Socket::pollOne(fd, POLLIN, timeoutMs) > 0;
}
