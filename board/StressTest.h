#pragma once
// StressTest: loads the serial link with read-only board requests, drawn at
// random and sent back to back for a given time, then reports the driver's
// link statistics as INI text or compact JSON, to the log and to a file.
// Every request takes the ordinary road through the manager and the driver,
// so the statistics count what the link really did.
//
// Threading: execute and report run on the caller's thread; the test has no
// lock of its own, the driver serialises its requests with all other traffic.
// The table's functions refer back to this object, so it is never copied or
// moved.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tavo::Board {

class Manager;

class StressTest {
public:
    enum class Format : int { ini = 0, json = 1 };

    // Keeps a share of the manager and builds the table of tests; sends nothing.
    explicit StressTest(std::shared_ptr<Manager> manager);
    StressTest(const StressTest&) = delete;
    StressTest& operator=(const StressTest&) = delete;

    // Runs randomly chosen tests until duration has passed (a test under way
    // is completed), logging "Executing: <name>.. " before each. A duration of
    // 0 or less runs none. An exception from a manager call ends the run and
    // reaches the caller.
    void execute(std::chrono::seconds duration);

    // Logs the link statistics in the format and writes the same text to file
    // (created or truncated, no final newline added). True when the file
    // holds the report; a file that cannot be opened, written or closed is
    // logged as an error and gives false. Nothing is thrown.
    bool report(Format format, std::string file) const;

private:
    // One random firmware parameter name: 0 to 199 characters of the alphabet.
    static std::string randomParameterName();

    std::shared_ptr<Manager> mManager;
    std::map<std::string, std::function<void()>> mTests;
};

} // namespace tavo::Board
