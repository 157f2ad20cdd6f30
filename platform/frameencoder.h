#pragma once
/// @file
/// Request and response frames written straight from a ValueSet: the same bytes that
/// serialising the equivalent tarvik::wire::Frame gives, without building it first.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <TarvikFoundation/platform/valueset.h>

namespace Platform::Wire {

/// Length prefix plus Frame{request{sequence, message}}; a null message is left out.
/// nullopt when the frame would exceed kMaxFrameSize; `frameSize` is its size either way.
std::optional<std::string> encodeRequest(uint64_t sequence, const ValueSet& message,
                                         std::size_t& frameSize);
/// Length prefix plus Frame{response{sequence, status, message_present, message}}.
std::optional<std::string> encodeResponse(uint64_t sequence, int32_t status,
                                          const ValueSet& message, std::size_t& frameSize);

}  // namespace Platform::Wire
