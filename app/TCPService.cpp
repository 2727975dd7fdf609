#include "app/TCPService.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <utility>

#include "app/Config.h"
#include "app/version/Version.h"
#include "foundation/JsonSetting.h"
#include "foundation/String.h"

namespace tavo::Board::TCP {

Service::Service(std::shared_ptr<Manager> manager, unsigned long port, bool global)
    : Logger("TCP::Server"), manager(std::move(manager)), port(port), global(global)
{
    server.setWakeUp(wakeUp.descriptor());
}

void Service::start()
{
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    startLocked();
}

void Service::stop()
{
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    stopLocked();
}

void Service::reset()
{
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    resetLocked();
}

void Service::configSet(const nlohmann::json& j)
{
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (Log::enabled(Log::Debug)) {
        log(Log::Debug, "Setting config to: %s", tavo::Config::dumpForLog(j).c_str());
    }
    config.fromJson(j);
    resetLocked();
}

nlohmann::json Service::configGet() const
{
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    nlohmann::json j = config.toJson();
    if (Log::enabled(Log::Debug)) {
        log(Log::Debug, "Getting config... %s", tavo::Config::dumpForLog(j).c_str());
    }
    return j;
}

nlohmann::json Service::configPreview(const nlohmann::json& j) const
{
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    Config merged = config;
    try {
        merged.fromJson(j);
    } catch (const SettingError&) {
        // configSet then changes nothing, and neither did the merge.
    }
    return merged.toJson();
}

void Service::startLocked()
{
    if (running)
        return;
    const bool fromSettings = port == getDefaultPort();
    const unsigned long wanted = fromSettings ? config.portGet() : port;
    listenAddress = global ? TCPServer::ANY_ADDRESS : config.addressGet();
    log(Log::Debug, "Starting...");
    server.listen(static_cast<unsigned short>(wanted), listenAddress);
    listenPort = server.port();
    wakeUp.clear();
    running = true;
    server.setTimeout(ACCEPT_TIMEOUT_MS);
    thread = std::thread(&Service::loop, this);
    writer = std::thread(&Service::writerLoop, this);
    log(Log::Debug, "Started");
}

void Service::stopLocked()
{
    if (running) {
        log(Log::Debug, "Stopping...");
        running = false;
        stopBegun();
        {
            // Taken so that the writer cannot miss the change between its
            // check and its wait.
            std::lock_guard<std::mutex> queueLock(queueMutex);
        }
        queued.notify_all();
        wakeUp.set();
        {
            // Wakes the loop at once should it wait for a client's octets;
            // the loop leaves the descriptor open for the lines below.
            ClientLock clientLock(*this);
            client.shutdown();
        }
        if (thread.joinable())
            thread.join();
        if (writer.joinable())
            writer.join();
        // Both threads are gone: nothing reads or writes the descriptor now.
        if (connection.connected())
            log(Log::Warning, "Disconnecting TCP client");
        closeClient();
        server.close();
    }
    log(Log::Debug, "Stopped");
}

void Service::resetLocked()
{
    if (!running)
        return;
    log(Log::Debug, "Resetting...");
    stopLocked();
    startLocked();
    log(Log::Debug, "Resetted");
}

void Service::loop()
{
    log(Log::Debug, "Listening thread started");
    while (running)
        serveTurn();
    log(Log::Debug, "Listening thread stopped");
}

void Service::serveTurn()
{
    TCPClient fresh;
    try {
        fresh = server.accept();
    } catch (const std::exception& error) {
        relisten(error.what());
        return;
    }
    if (fresh.connected()) {
        clientAccepted();
        adopt(fresh);
    }

    bool serving = false;
    {
        ClientLock lock(*this);
        serving = client.connected();
    }
    if (!serving) {
        // A writer that dropped the client left the descriptor to this thread.
        if (connection.connected())
            closeClient();
        server.setTimeout(ACCEPT_TIMEOUT_MS);
        return;
    }
    // The wait for a request holds no lock, so event lines go out meanwhile.
    std::string line;
    if (!readLine(line) || line.empty())
        return;
    log(Log::Info, "Request: \"%s\"", line.c_str());
    abandoned = false;
    const std::string reply = parse(line);
    log(Log::Debug, "Response: \"%s\"", reply.c_str());
    if (!abandoned)
        sendLine(reply);
    // Event lines held back by an upload follow its reply.
    releaseEvents();
}

Service::Wait Service::receive()
{
    const bool readable = reader.waitReadable(readTimeout);
    if (!running || server.pending())
        return Wait::Abandoned;
    if (!readable)
        return Wait::TimedOut;
    unsigned char chunk[16 * 1024];
    const int got = reader.readSome(chunk, sizeof chunk);
    if (got < 0) {
        // A stop's shutdown looks like a client that went away.
        return running ? Wait::Gone : Wait::Abandoned;
    }
    inbox.append(reinterpret_cast<const char*>(chunk), size_t(got));
    return Wait::Octets;
}

bool Service::readLine(std::string& line)
{
    // Octets of `inbox` before `scanned` are in `line` already (less the
    // carriage returns), and all of them count toward the line's bound; the
    // inbox gives up the line only once it is whole, since octets after it
    // (an upload) belong to the next reader.
    size_t scanned = 0;
    line.clear();
    for (;;) {
        for (; scanned < inbox.size(); ++scanned) {
            const char c = inbox[scanned];
            if (c == '\n') {
                inbox.erase(0, scanned + 1);
                return true;
            }
            if (!TCPClient::lineTakes(scanned, c)) {
                closeClient();
                log(Log::Warning, "Disconnecting TCP client: its line is too long");
                return false;
            }
            if (c != '\r')
                line.push_back(c);
        }
        switch (receive()) {
        case Wait::Octets:
            continue;
        case Wait::Gone:
            closeClient();
            return false;
        case Wait::TimedOut:
        case Wait::Abandoned:
            // Text that came before a time-out is dropped: the next turn
            // starts anew. A stop or a new client ends the turn as well.
            inbox.clear();
            return false;
        }
    }
}

Service::Wait Service::receiveUpload(std::vector<unsigned char>& octets, size_t size)
{
    {
        ClientLock lock(*this);
        {
            std::lock_guard<std::mutex> queueLock(queueMutex);
            eventsHeld = true;
        }
        client.print(">");
    }
    readTimeout = UPLOAD_READ_TIMEOUT_MS;
    reader.setReadTimeout(UPLOAD_READ_TIMEOUT_MS);
    for (;;) {
        const size_t take = std::min(size - octets.size(), inbox.size());
        octets.insert(octets.end(), inbox.begin(), inbox.begin() + std::ptrdiff_t(take));
        inbox.erase(0, take);
        if (octets.size() == size)
            return Wait::Octets;
        const Wait wait = receive();
        if (wait == Wait::Octets)
            continue;
        if (wait == Wait::Gone)
            closeClient();
        if (wait != Wait::TimedOut) {
            abandoned = true;
            return Wait::Abandoned;
        }
        // Octets after the pause are read as the next request.
        return Wait::TimedOut;
    }
}

void Service::closeClient()
{
    ClientLock lock(*this);
    client = TCPClient();
    reader = TCPClient();
    connection.close();
    // Its memory too: a client may have filled it.
    std::string().swap(inbox);
}

size_t Service::inboxCapacity()
{
    ClientLock lock(*this);
    return inbox.capacity();
}

void Service::relisten(const std::string& error)
{
    log(Log::Error, "Accepting a TCP client failed: %s", error.c_str());
    while (running) {
        try {
            server.listen(listenPort, listenAddress);
            return;
        } catch (const std::exception& again) {
            log(Log::Error, "Listening again on %s port %u failed: %s", listenAddress.c_str(), unsigned(listenPort),
                again.what());
        }
        wakeUp.wait(ACCEPT_TIMEOUT_MS);
    }
}

void Service::adopt(TCPClient fresh)
{
    log(Log::Debug, "TCP client connected.");
    if (connection.connected()) {
        log(Log::Warning, "Disconnecting TCP client due to new client");
        closeClient();
    }
    ClientLock lock(*this);
    if (!running) {
        // The stop has shut its client down already; this one would hold
        // it in the wait for a request.
        fresh.close();
        return;
    }
    log(Log::Debug, "Saving new client.");
    connection = fresh;
    readTimeout = READ_TIMEOUT_MS;
    {
        // Lines queued for the old client are not the new one's.
        std::lock_guard<std::mutex> queueLock(queueMutex);
        events.clear();
        eventsOverflowed = false;
        eventsReleased = 0;
    }
    log(Log::Debug, "Configuring client.");
    connection.setReadTimeout(READ_TIMEOUT_MS);
    connection.setWriteTimeout(WRITE_TIMEOUT_MS);
    connection.setKeepAlive(true);
    connection.setKeepAliveTime(60);
    connection.setKeepAliveInterval(30);
    connection.setKeepAliveProbes(1);
    // Every line is written whole: nothing gains from waiting for the
    // peer's acknowledgement, and a reply would wait for a delayed one.
    connection.setNoDelay(true);
    connection.setSendBuffer(SEND_BUFFER);
    connection.setReceiveBuffer(RECEIVE_BUFFER);
    client = connection.borrowed();
    reader = connection.borrowed();
    log(Log::Debug, "Printing hello.");
    sendLocked(String::format("Lumacore %s", getProjectVersion()));
    server.setTimeout(0);
}

void Service::writerLoop()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            queued.wait(lock, [this] {
                return !running || (clientWaiters == 0 && (eventsOverflowed || (!events.empty() && !eventsHeld)));
            });
            if (!running)
                return;
        }
        std::lock_guard<std::mutex> lock(clientMutex);
        sendEventLocked();
    }
}

Service::ClientLock::ClientLock(Service& service)
{
    {
        std::lock_guard<std::mutex> queueLock(service.queueMutex);
        ++service.clientWaiters;
    }
    lock = std::unique_lock<std::mutex>(service.clientMutex);
    {
        std::lock_guard<std::mutex> queueLock(service.queueMutex);
        --service.clientWaiters;
    }
    service.queued.notify_one();
}

void Service::onEvent(const LPCEvent& event)
{
    std::string line = String::format("event,%d,%s,%s", event.type, event.name.c_str(),
                                      event.timestamp.toString("%FT%T").c_str());
    if (!event.value.empty())
        line += "," + event.value;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (events.size() >= (eventsHeld ? MAX_HELD_EVENTS : MAX_QUEUED_EVENTS + eventsReleased))
            eventsOverflowed = true;
        else
            events.push_back(std::move(line));
    }
    queued.notify_one();
}

void Service::sendEventLocked()
{
    std::string line;
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (eventsHeld && !eventsOverflowed)
            return;
        if (eventsOverflowed || !client.connected()) {
            overflowed = eventsOverflowed;
            events.clear();
            eventsOverflowed = false;
            eventsReleased = 0;
        } else if (!events.empty()) {
            line = std::move(events.front());
            events.pop_front();
            if (eventsReleased > 0)
                --eventsReleased;
        }
    }
    if (overflowed && client.connected())
        dropClientLocked("Disconnecting TCP client: it does not keep up with its event lines");
    else if (!line.empty())
        sendLocked(line);
}

void Service::releaseEvents()
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (!eventsHeld)
            return;
        eventsHeld = false;
        eventsReleased = events.size();
    }
    queued.notify_one();
}

void Service::sendLocked(const std::string& line)
{
    const int sent = client.println(line);
    if (client.connected() && sent != int(line.size() + 2))
        dropClientLocked("Disconnecting TCP client: it does not take a whole line");
}

void Service::sendLine(const std::string& line)
{
    ClientLock lock(*this);
    sendLocked(line);
}

void Service::dropClientLocked(const char* reason)
{
    log(Log::Warning, "%s", reason);
    // Borrowed: shuts the socket down, which ends the loop's wait for
    // octets; the loop closes the descriptor.
    client.close();
}

std::string Service::parse(const std::string& line)
{
    Tokens tokens;
    const auto append = [&tokens](char c) {
        if (tokens.empty())
            tokens.emplace_back();
        tokens.back().push_back(c);
    };
    bool escaped = false;
    for (const char c : line) {
        if (escaped) {
            append(c);
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == ',') {
            tokens.emplace_back();
        } else {
            append(c);
        }
    }
    if (tokens.empty())
        return renderErrorCode(ErrorCode::MalformedRequest);

    log(Log::Debug, "Parsing token: [%s]", tokens[0].c_str());
    const auto command = mCommands.find(tokens[0]);
    if (command == mCommands.end())
        return renderErrorCode(ErrorCode::NotSupported);
    try {
        return (this->*(command->second))(tokens);
    } catch (const std::exception& error) {
        return std::string("error,8,Unknown error,") + error.what();
    }
}

std::string Service::renderErrorCode(ErrorCode code)
{
    switch (code) {
    case ErrorCode::Ok:
        return "ok";
    case ErrorCode::NotSupported:
        return "error,3,The requested API ID is invalid, or not supported";
    case ErrorCode::Timeout:
        return "error,9,A response was not received within the timeout period";
    case ErrorCode::MalformedRequest:
        return "error,2,Malformed packet received";
    case ErrorCode::InvalidArgument:
        return "error,6,Command parameter is invalid or out of range";
    case ErrorCode::UnsupportedType:
        return "error,4,Wrong or unsupported message Type";
    case ErrorCode::InvalidSize:
        return "error,7,Unexpected message size";
    case ErrorCode::OpenFailed:
        return "error,11,Failed to open device";
    case ErrorCode::SendFailed:
        return "error,10,Failed to send the API message";
    case ErrorCode::HardwareError:
        return "error,1,General/Hardware error";
    default:
        return "error,8,Unknown error";
    }
}

} // namespace tavo::Board::TCP
