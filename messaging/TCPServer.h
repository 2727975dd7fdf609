#pragma once
// TCPServer: a listening stream socket whose accept() waits a bounded time
// for one client. The destructor never closes the socket; only close() does.
// A failed poll or accept closes the listener: it listens again only after
// listen().
//
// Threading: no lock is taken; an object is meant for one thread at a time.
// Another thread ends an accept() through the wake-up descriptor (a
// WakeUp's), which the server only polls.

#include <string>

#include "messaging/TCPClient.h"

class TCPServer {
public:
    // Listens on every interface.
    static const std::string ANY_ADDRESS;

    TCPServer() = default;

    // Listens on address:port (backlog 1, SO_REUSEADDR), closing a socket it
    // already listens on first. Throws std::runtime_error (the resolver's or
    // the system's text) and is then not listening.
    void listen(unsigned short port, const std::string& address);
    void close();
    bool listening() const { return descriptor >= 0; }

    // The local dotted IPv4 address and port; "" and 0 when not listening.
    std::string address() const;
    unsigned short port() const;

    // How long accept() waits, in milliseconds: negative without limit, 0
    // only polls.
    void setTimeout(int ms) { timeout = ms; }
    // A descriptor accept() polls beside the listener, whatever its time-out:
    // while it is readable, accept() returns an unconnected client at once.
    // The caller keeps it open while the server may accept; -1 for none.
    void setWakeUp(int fd) { wakeUp = fd; }
    // The next client, or an unconnected one when none came in time or the
    // wake-up descriptor is readable. Throws std::runtime_error, closing the
    // listener, when the wait or the accept fails.
    TCPClient accept();
    // Whether a client waits to be accepted now; false when not listening or
    // when the poll fails (accept() then reports the failure). Never blocks.
    bool pending() const;

private:
    int descriptor = -1;
    int timeout = -1;
    int wakeUp = -1;
};
