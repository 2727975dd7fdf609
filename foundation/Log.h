#pragma once
// The one logging path: every line goes to syslog (facility local1) as a
// "[%9.03f] " stamp (seconds since Log::open) and the message, optionally
// coloured by level and mirrored to standard error. Filtering by level is
// the system logger's mask.
//
// Threads: any thread may log at any time; a line is built in local strings
// and handed to the thread-safe system logger. open, close and setSink are
// meant for start-up and tests; setLevel may be called from any thread and
// takes effect for all.

#include <cstdarg>
#include <functional>
#include <string>

class Log
{
public:
    enum Level : int { Error = 0, Warning = 1, Info = 2, Debug = 3 };

    // Receives each finished line (stamp and colours included) with its
    // syslog priority, in place of the system logger.
    using Sink = std::function<void(int priority, const std::string& line)>;

    Log() = delete;

    // Opens the system logger with ident (kept by pointer: the caller keeps
    // it alive), mirroring to stderr if asked; restarts the stamp at zero and
    // sets colour. Always true.
    static bool open(const char* ident, bool toStderr, bool color);
    // Always true.
    static bool close();
    // Lets through the level and every more severe one; any other value than
    // Error, Warning or Info lets everything through.
    static void setLevel(Level level);
    // True when a line of this level would be printed. A line whose
    // arguments cost something (a value serialised, a payload masked) is
    // built only when this holds: printf-style arguments are always built.
    static bool enabled(Level level);

    static void vprint(Level level, const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));
    static void print(Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Logs text literally; a '%' in it is printed as it stands.
    static void print(Level level, const std::string& text);
    static void error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void warning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    static void debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

    // Test seam: while a sink is installed, lines that pass the level mask go
    // to it instead of the system logger, and open and close leave the system
    // logger alone. An empty function restores the system logger. The sink
    // runs on the logging thread, without any lock of Log's held; it may be
    // called a last time by a line that was being finished during setSink.
    static void setSink(Sink sink);
};

// Base of components that put their name in front of each line.
class Logger
{
public:
    explicit Logger(const std::string& name);
    virtual ~Logger();

    // Logs "[name] " followed by fmt. The name is part of the format, so a
    // '%' in it would be read as a conversion.
    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));

private:
    std::string mName;
};
