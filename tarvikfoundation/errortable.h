#pragma once
/// @file
/// The fixed table of error codes and messages, and the correspondence between the
/// helper's account-service statuses and those codes.
#include <cstdint>
#include <map>
#include <string>

namespace TarvikFoundation {

/// Ordered map code -> message (0xE1010001 to 0xE1010047), built at load and never
/// changed.
const std::map<int32_t, std::string>& ErrorTable();

/// Service status of an error code, or 65535 when it has none.
int32_t ServiceStatusFromErrorCode(int32_t code) noexcept;
/// Error code of a service status; 0xE1010047 for any status without a code of its own.
int32_t ErrorCodeFromServiceStatus(int32_t status) noexcept;

}  // namespace TarvikFoundation
