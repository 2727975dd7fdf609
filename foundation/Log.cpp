#include "foundation/Log.h"

#include "foundation/Clock.h"
#include "foundation/String.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include <syslog.h>

namespace {

std::atomic<bool> Log_colorEnable{false};
std::atomic<double> time_start{0.0};

const char* const colorReset = "\033[39m";

// The sink: sinkInstalled lets the normal path skip the mutex.
std::atomic<bool> sinkInstalled{false};
std::mutex sinkMutex; // guards sinkFunction
std::shared_ptr<const Log::Sink> sinkFunction;

std::shared_ptr<const Log::Sink> currentSink()
{
    if (!sinkInstalled.load(std::memory_order_acquire)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(sinkMutex);
    return sinkFunction;
}

int priorityOf(Log::Level level)
{
    switch (level) {
    case Log::Error:
        return LOG_ERR;
    case Log::Warning:
        return LOG_WARNING;
    case Log::Info:
        return LOG_INFO;
    default:
        return LOG_DEBUG;
    }
}

const char* colorOf(Log::Level level)
{
    switch (level) {
    case Log::Error:
        return "\033[31m";
    case Log::Warning:
        return "\033[33m";
    case Log::Info:
        return "\033[39m";
    case Log::Debug:
        return "\033[35m";
    default:
        return "";
    }
}

int maskOf(Log::Level level)
{
    switch (level) {
    case Log::Error:
        return LOG_UPTO(LOG_ERR);
    case Log::Warning:
        return LOG_UPTO(LOG_WARNING);
    case Log::Info:
        return LOG_UPTO(LOG_INFO);
    default:
        return LOG_UPTO(LOG_DEBUG);
    }
}

std::string stamp()
{
    return String::format("[%9.03f] ", Clock::elapsedMillis(time_start.load()) / 1000.0);
}

std::string colored(Log::Level level, const std::string& text)
{
    if (!Log_colorEnable.load()) {
        return text;
    }
    return colorOf(level) + text + colorReset;
}

// The system logger's own mask decides, so a sink sees what syslog would.
bool passesMask(int priority)
{
    return (LOG_MASK(priority) & setlogmask(0)) != 0;
}

std::string vformat(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));

std::string vformat(const char* fmt, va_list args)
{
    va_list sizing;
    va_copy(sizing, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, sizing);
    va_end(sizing);
    if (n < 1) {
        return std::string();
    }
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), fmt, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

} // namespace

bool Log::open(const char* ident, bool toStderr, bool color)
{
    if (!sinkInstalled.load()) {
        openlog(ident, LOG_CONS | LOG_NDELAY | (toStderr ? LOG_PERROR : 0), LOG_LOCAL1);
    }
    Log_colorEnable.store(color);
    time_start.store(Clock::millis());
    return true;
}

bool Log::close()
{
    if (!sinkInstalled.load()) {
        closelog();
    }
    return true;
}

void Log::setLevel(Level level)
{
    setlogmask(maskOf(level));
}

bool Log::enabled(Level level)
{
    return passesMask(priorityOf(level));
}

void Log::vprint(Level level, const char* fmt, va_list args)
{
    const int priority = priorityOf(level);
    const std::string format = stamp() + colored(level, fmt);
    if (const auto sink = currentSink()) {
        if (passesMask(priority)) {
            (*sink)(priority, vformat(format.c_str(), args));
        }
        return;
    }
    vsyslog(priority, format.c_str(), args);
}

void Log::print(Level level, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vprint(level, fmt, args);
    va_end(args);
}

void Log::print(Level level, const std::string& text)
{
    const int priority = priorityOf(level);
    const double seconds = Clock::elapsedMillis(time_start.load()) / 1000.0;
    const std::string body = colored(level, text);
    if (const auto sink = currentSink()) {
        if (passesMask(priority)) {
            (*sink)(priority, String::format("[%9.03f] %s", seconds, body.c_str()));
        }
        return;
    }
    syslog(priority, "[%9.03f] %s", seconds, body.c_str());
}

void Log::error(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vprint(Error, fmt, args);
    va_end(args);
}

void Log::warning(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vprint(Warning, fmt, args);
    va_end(args);
}

void Log::info(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vprint(Info, fmt, args);
    va_end(args);
}

void Log::debug(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vprint(Debug, fmt, args);
    va_end(args);
}

void Log::setSink(Sink sink)
{
    std::lock_guard<std::mutex> lock(sinkMutex);
    if (sink) {
        sinkFunction = std::make_shared<const Sink>(std::move(sink));
        sinkInstalled.store(true, std::memory_order_release);
    } else {
        sinkInstalled.store(false, std::memory_order_release);
        sinkFunction.reset();
    }
}

Logger::Logger(const std::string& name) : mName(name)
{
}

Logger::~Logger() = default;

void Logger::log(Log::Level level, const char* fmt, ...) const
{
    const std::string format = "[" + mName + "] " + fmt;
    va_list args;
    va_start(args, fmt);
    Log::vprint(level, format.c_str(), args);
    va_end(args);
}
