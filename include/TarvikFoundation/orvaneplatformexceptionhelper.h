#pragma once
#include <cstdint>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/hstring.h>

namespace TarvikFoundation {

/// Turns the library's error codes into their messages and service statuses.
class TARVIK_API OrvanePlatformExceptionHelper {
  public:
    OrvanePlatformExceptionHelper() = delete;

    /// Message of the code; "Operation failed with unknown error" for unknown codes.
    static Platform::hstring GetErrorMessage(int32_t errorCode);
    /// Service status of the code; 65535 when it has none.
    static int32_t GetServiceStatus(int32_t errorCode);
};

}  // namespace TarvikFoundation
