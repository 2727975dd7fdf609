// The result of every board manager operation; 0 (Ok) means success.
#pragma once

#include <cstdint>

namespace tavo::Board {

enum class ErrorCode : int32_t {
    Ok = 0,
    NotSupported = 1,
    Timeout = 2,
    // Never produced from a device result: the remote interfaces use it for
    // requests they reject themselves.
    MalformedRequest = 3,
    MalformedResponse = 4,
    InvalidArgument = 5,
    UnsupportedType = 6,
    InvalidSize = 7,
    OpenFailed = 8,
    SendFailed = 9,
    HardwareError = 10,
    UnknownError = 11,
};

} // namespace tavo::Board
