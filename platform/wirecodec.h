#pragma once
/// @file
/// Encoding of frames and ValueSets for the socket transport.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <TarvikFoundation/platform/valueset.h>

#include "appservice.pb.h"
#include "platform/keycache.h"

namespace Platform::Wire {

inline constexpr std::size_t kMaxFrameSize = 16u * 1024u * 1024u;
inline constexpr std::size_t kLengthPrefixSize = 4;
inline constexpr uint32_t kProtocolVersion = 1;

void toProto(const ValueSet& values, tarvik::wire::ValueSet& out);
/// Raises hresult_invalid_argument for an entry without a value or a repeated key.
/// Keys come from `keys` when given.
ValueSet fromProto(const tarvik::wire::ValueSet& in, KeyCache* keys = nullptr);

/// Length prefix plus serialized frame; nullopt when the frame exceeds kMaxFrameSize.
std::optional<std::string> encodeFrame(const tarvik::wire::Frame& frame);
uint32_t decodeLength(const unsigned char* prefix) noexcept;
/// Writes the big-endian length prefix of a frame of `size` bytes.
void encodeLength(std::size_t size, char* prefix) noexcept;

}  // namespace Platform::Wire
