#pragma once
// What the TCP client and server share: name resolution, a poll that
// survives signals, and reading a socket's own or peer
// address. Stateless; any thread.

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <string>

namespace Socket {

using AddressList = std::unique_ptr<addrinfo, void (*)(addrinfo*)>;

// Resolves host and port as stream-socket addresses of any family, with the
// given getaddrinfo flags. Throws std::runtime_error with the resolver's
// text when nothing resolves.
AddressList resolve(const std::string& host, unsigned short port, int flags);

// Waits up to timeoutMs (negative: without limit) for the events of any
// entry (a negative descriptor is left out) and returns poll's result; an
// interrupted wait resumes with the time left. A closed descriptor fails
// with EBADF.
int pollAny(pollfd* entries, nfds_t count, int timeoutMs);
// pollAny on one descriptor.
int pollOne(int fd, short events, int timeoutMs);

// Throws std::runtime_error with strerror(error).
[[noreturn]] void fail(int error);

// The dotted IPv4 address and the port of the socket's own (peer false) or
// peer's (peer true) end; "" and 0 when the query fails or the address is
// not IPv4 (IPv6 ends still give their port).
std::string address(int fd, bool peer);
unsigned short port(int fd, bool peer);

} // namespace Socket
