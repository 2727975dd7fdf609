#pragma once
// TCPClient: one connected stream socket with byte, block and line reading,
// block and text sending, and the receive, send and keep-alive options.
//
// A TCPClient is a plain value: copies share the descriptor, and only
// close() closes it (the destructor never does). Reading and sending never
// throw; they report through their results:
// - a receive time-out (EAGAIN) ends the operation with what it has and
//   keeps the connection;
// - the peer closing, or any other error, closes the client (descriptor -1)
//   and the operation gives -1 (false for getline).
// Interrupted system calls are retried. Every send uses MSG_NOSIGNAL, so a
// vanished peer never raises SIGPIPE. The write time-out is a deadline for
// the whole call (a whole line), not for each send: a peer that takes a few
// octets now and then cannot stretch one call beyond it.
//
// A borrowed copy (borrowed()) never closes the descriptor: where an owner
// closes it (close(), the peer closing, a failure), a borrowed copy shuts
// the connection down in both directions and forgets the descriptor, which
// stays open until its owner closes it. So one thread may own and close the
// connection while others read or write through borrowed copies without
// ever touching a descriptor number that the system has handed out again.
//
// Threading: no lock is taken. An object (and the copies that share its
// descriptor) is meant for one thread at a time; a caller that shares one
// between threads serialises the calls itself. Reading through one copy
// while another thread writes through another, or shuts the connection down,
// is safe as long as the descriptor is not closed meanwhile.

#include <cstddef>
#include <string>
#include <vector>

class TCPClient {
public:
    // getline gives up on a line longer than this (no valid request comes
    // near it): it closes the client and returns false.
    static constexpr size_t MAX_LINE = 16 * 1024;
    // Whether a pending line of `octets` octets, carriage returns included,
    // may take the octet `next` as well: up to MAX_LINE octets, then only
    // the carriage return of a "\r\n" line end, so that a line of MAX_LINE
    // characters is still read whole.
    static bool lineTakes(size_t octets, char next)
    {
        return octets < MAX_LINE || (octets == MAX_LINE && next == '\r');
    }
    // read(vector, n) grows the vector by at most this much ahead of the
    // bytes that actually arrived.
    static constexpr size_t READ_CHUNK = 64 * 1024;

    // Unconnected, with the default options.
    TCPClient() = default;
    // Wraps an open descriptor (as accept() does); the default options are
    // stored, none is applied to the socket.
    explicit TCPClient(int descriptor);

    bool connected() const { return descriptor != -1; }
    // Closes the descriptor shared with every copy; nothing when unconnected.
    // A borrowed copy shuts the connection down and forgets the descriptor
    // instead.
    void close();
    // A copy that shares the descriptor and its stored options but never
    // closes the descriptor (see above).
    TCPClient borrowed() const;
    // Shuts the connection down in both directions and keeps the descriptor:
    // a read or wait on any copy, in any thread, ends at once (the peer
    // closed), every later send fails. Nothing when unconnected.
    void shutdown() const;
    // Connects to host:port (the first address it resolves to) and applies
    // every stored option. Keeps the connection and returns at once when
    // already connected to that dotted address and port. Throws
    // std::runtime_error (the resolver's or the system's text) and is then
    // unconnected.
    void connect(const std::string& host, unsigned short port);

    // The peer's dotted IPv4 address and port; "" and 0 without an IPv4 peer.
    std::string address() const;
    unsigned short port() const;

    // Each stores the value and, when it changed and the client is open,
    // applies it to the socket (failures ignored). Time-outs in
    // milliseconds, 0 meaning none; keep-alive times in seconds.
    void setReadTimeout(int ms);
    void setWriteTimeout(int ms);
    void setKeepAlive(bool on);
    void setKeepAliveTime(int seconds);
    void setKeepAliveInterval(int seconds);
    void setKeepAliveProbes(int count);
    // TCP_NODELAY: lines go out at once instead of waiting for the peer's
    // acknowledgement of earlier ones. Off by default.
    void setNoDelay(bool on);
    // SO_SNDBUF in octets (Linux doubles it for its bookkeeping and stops
    // growing it on its own); 0, the default, leaves the system's choice.
    void setSendBuffer(int octets);
    // SO_RCVBUF in octets, the same way: it bounds what the peer can have
    // the system hold for this end.
    void setReceiveBuffer(int octets);

    // Whether a read would not block now (data waiting, or the peer closed);
    // false when unconnected. Throws std::runtime_error, closing the client,
    // when the poll itself fails.
    bool available();
    // Waits up to timeoutMs until a read would not block (data waiting, or
    // the peer closed or failed); false on time-out or when unconnected.
    // Never closes the client and never throws, so a caller may wait on a
    // copy while another thread may close the original.
    bool waitReadable(int timeoutMs) const;

    // One byte 0 to 255; -1 on time-out (still open), close or error.
    int read();
    // Up to n bytes: n, or fewer when the read time-out expired first;
    // -1 when the peer closed or failed (even after some bytes). 0 at once
    // for n 0, connected or not.
    int read(unsigned char* buffer, unsigned long n);
    // As above, appending to the vector, which grows only as bytes arrive;
    // on -1 the vector keeps its former size.
    int read(std::vector<unsigned char>& buffer, unsigned long n);
    // One receive of up to n bytes: what is there now (waiting up to the read
    // time-out when nothing is): the count, 0 on time-out (still open) or for
    // n 0, -1 when the peer closed or failed (then closed).
    int readSome(unsigned char* buffer, unsigned long n);

    // Send all n bytes: the count sent (fewer when the write time-out passed
    // first; the client stays open), 0 for nothing to send, -1 when
    // unconnected or the connection failed (then closed).
    int write(unsigned char byte);
    int write(const unsigned char* data, unsigned long n);
    int write(const std::vector<unsigned char>& data);

    // Reads up to a line feed, which ends the line and is not stored;
    // carriage returns are dropped. Appends to `line` (it is not cleared):
    // false on time-out leaves the bytes so far there and the client open, so
    // a next call continues the line. False, closing the client, when the
    // peer closed, on an error or when the line's octets, the carriage
    // returns of this call included, go beyond lineTakes.
    bool getline(std::string& line);

    int print(const std::string& text);
    // The text and "\r\n" as one block; the count includes the two bytes.
    int println(const std::string& text);
    // Formats into 256 bytes, so at most 255 characters are sent.
    int printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    // One recv into the buffer: the count, 0 on time-out, -1 (closed) when
    // the peer closed or failed.
    long receive(void* buffer, size_t n);
    // The shared send loop.
    int sendAll(const void* data, size_t n);

    int descriptor = -1;
    int readTimeout = 0;
    int writeTimeout = 0;
    bool keepAlive = false;
    int keepAliveTime = 7200;
    int keepAliveInterval = 75;
    int keepAliveProbes = 9;
    bool noDelay = false;
    int sendBuffer = 0;
    int receiveBuffer = 0;
    bool owner = true;
};
