#include "board/Helpers.h"

#include <cstdlib>
#include <libgen.h>
#include <memory>
#include <stdexcept>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <vector>

namespace tavo::Board::Helpers {

namespace {

// Indexed by the driver's result code.
constexpr ErrorCode kFromDriver[] = {
    ErrorCode::Ok,                // no error
    ErrorCode::HardwareError,     // general or hardware error
    ErrorCode::MalformedResponse, // malformed packet received
    ErrorCode::InvalidArgument,   // API id invalid or not supported
    ErrorCode::UnsupportedType,   // wrong or unsupported message type
    ErrorCode::NotSupported,      // invalid command
    ErrorCode::InvalidArgument,   // parameter invalid or out of range
    ErrorCode::InvalidSize,       // unexpected message size
    ErrorCode::UnknownError,      // unknown error
    ErrorCode::Timeout,           // no response within the time-out
    ErrorCode::SendFailed,        // sending failed
    ErrorCode::OpenFailed,        // opening the resource failed
};

constexpr const char* kErrorTexts[] = {
    "Ok", "NotSupported", "Timeout", "MalformedRequest", "MalformedResponse", "InvalidArgument",
    "UnsupportedType", "InvalidSize", "OpenFailed", "SendFailed", "HardwareError", "UnknownError",
};

// Indexed by the board's peripheral value: the microcontroller's number.
constexpr int kMcuPeripheral[] = {3, 11, 12, 13, 14, 1, 2, 9, 10, 8, 5, 4, 6, 7, 0};
constexpr int kPeripheralCount = static_cast<int>(sizeof kMcuPeripheral / sizeof kMcuPeripheral[0]);

} // namespace

ErrorCode translateMcuErrorCode(LPCDriver::ErrorCode code)
{
    const int index = static_cast<int>(code);
    if (index < 0 || index >= static_cast<int>(sizeof kFromDriver / sizeof kFromDriver[0])) {
        return ErrorCode::UnknownError;
    }
    return kFromDriver[index];
}

std::string errorCodeToString(ErrorCode code)
{
    const int index = static_cast<int>(code);
    if (index < 0 || index >= static_cast<int>(sizeof kErrorTexts / sizeof kErrorTexts[0])) {
        return "UnknownError";
    }
    return kErrorTexts[index];
}

int translatePeripheral(Peripheral peripheral)
{
    const int index = static_cast<int>(peripheral);
    if (index < 0 || index >= kPeripheralCount) {
        throw std::runtime_error("Unregistered peripheral");
    }
    return kMcuPeripheral[index];
}

Peripheral translatePeripheral(int number)
{
    for (int index = 0; index < kPeripheralCount; ++index) {
        if (kMcuPeripheral[index] == number) {
            return static_cast<Peripheral>(index);
        }
    }
    throw std::runtime_error("Unregistered peripheral");
}

std::string getExecutableLocation()
{
    const auto* started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (started == nullptr || *started == '\0') {
        throw std::logic_error("The executable's path is not known");
    }

    // dirname may change its argument: work on a copy. Only the directory
    // part is resolved, so a symbolic link to the program reports the link's
    // directory.
    std::vector<char> path(started, started + std::char_traits<char>::length(started) + 1);
    struct stat st {};
    const char* directory = path.data();
    if (stat(path.data(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        directory = dirname(path.data());
    }

    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(directory, nullptr), &std::free);
    if (!resolved) {
        throw std::logic_error(std::string("Could not resolve the executable's directory: ") + directory);
    }
    return resolved.get();
}

} // namespace tavo::Board::Helpers
