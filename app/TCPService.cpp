#include "app/TCPService.h"

#include <chrono>
#include <exception>
#include <utility>

#include "app/version/Version.h"
#include "foundation/String.h"

namespace tavo::Board::TCP {

Service::Service(std::shared_ptr<Manager> manager, unsigned long port, bool global)
    : Logger("TCP::Server"), manager(std::move(manager)), port(port), global(global)
{
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
    log(Log::Debug, "Setting config to: %s", j.dump().c_str());
    config.fromJson(j);
    resetLocked();
}

nlohmann::json Service::configGet() const
{
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    nlohmann::json j = config.toJson();
    log(Log::Debug, "Getting config... %s", j.dump().c_str());
    return j;
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
    const std::string setting = config.get("port").toString();
    if (fromSettings && (wanted > 65535 || (wanted == 0 && !String::isNumeric(setting)))) {
        log(Log::Error, "The port setting \"%s\" is no port number: listening on port %u", setting.c_str(),
            unsigned(listenPort));
    }
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
        {
            // Taken so that the writer cannot miss the change between its
            // check and its wait.
            std::lock_guard<std::mutex> queueLock(queueMutex);
        }
        queued.notify_all();
        if (thread.joinable())
            thread.join();
        if (writer.joinable())
            writer.join();
        std::lock_guard<std::mutex> clientLock(clientMutex);
        if (client.connected()) {
            log(Log::Warning, "Disconnecting TCP client");
            client.close();
        }
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
    if (fresh.connected())
        adopt(fresh);

    std::unique_lock<std::mutex> lock(clientMutex);
    flushEventsLocked();
    if (!client.connected()) {
        server.setTimeout(ACCEPT_TIMEOUT_MS);
        return;
    }
    // Text that came before a time-out is dropped: the next turn starts anew.
    std::string line;
    if (!client.getline(line) || line.empty())
        return;
    lock.unlock();
    log(Log::Info, "Request: \"%s\"", line.c_str());
    const std::string reply = parse(line);
    log(Log::Debug, "Response: \"%s\"", reply.c_str());
    lock.lock();
    sendLocked(reply);
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
        std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_TIMEOUT_MS));
    }
}

void Service::adopt(TCPClient fresh)
{
    log(Log::Debug, "TCP client connected.");
    std::lock_guard<std::mutex> lock(clientMutex);
    if (client.connected()) {
        log(Log::Warning, "Disconnecting TCP client due to new client");
        client.close();
    }
    log(Log::Debug, "Saving new client.");
    client = fresh;
    {
        // Lines queued for the old client are not the new one's.
        std::lock_guard<std::mutex> queueLock(queueMutex);
        events.clear();
        eventsOverflowed = false;
    }
    log(Log::Debug, "Configuring client.");
    client.setReadTimeout(READ_TIMEOUT_MS);
    client.setWriteTimeout(WRITE_TIMEOUT_MS);
    client.setKeepAlive(true);
    client.setKeepAliveTime(60);
    client.setKeepAliveInterval(30);
    client.setKeepAliveProbes(1);
    log(Log::Debug, "Printing hello.");
    sendLocked(String::format("Lumacore %s", getProjectVersion()));
    server.setTimeout(0);
}

void Service::writerLoop()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            queued.wait(lock, [this] { return !running || eventsOverflowed || !events.empty(); });
            if (!running)
                return;
        }
        std::lock_guard<std::mutex> lock(clientMutex);
        flushEventsLocked();
    }
}

void Service::onEvent(const LPCEvent& event)
{
    std::string line = String::format("event,%d,%s,%s", event.type, event.name.c_str(),
                                      event.timestamp.toString("%FT%T").c_str());
    if (!event.value.empty())
        line += "," + event.value;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (events.size() >= MAX_QUEUED_EVENTS)
            eventsOverflowed = true;
        else
            events.push_back(std::move(line));
    }
    queued.notify_one();
}

void Service::flushEventsLocked()
{
    std::deque<std::string> lines;
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        lines.swap(events);
        std::swap(overflowed, eventsOverflowed);
    }
    if (overflowed && client.connected()) {
        dropClientLocked("Disconnecting TCP client: it does not keep up with its event lines");
        return;
    }
    for (const std::string& line : lines) {
        if (!client.connected())
            return;
        sendLocked(line);
    }
}

void Service::sendLocked(const std::string& line)
{
    const int sent = client.println(line);
    if (client.connected() && sent != int(line.size() + 2))
        dropClientLocked("Disconnecting TCP client: it does not take a whole line");
}

void Service::sendLine(const std::string& line)
{
    std::lock_guard<std::mutex> lock(clientMutex);
    sendLocked(line);
}

void Service::dropClientLocked(const char* reason)
{
    log(Log::Warning, "%s", reason);
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
