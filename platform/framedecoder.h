#pragma once
/// @file
/// Request and response frames read straight into a ValueSet, for the form nearly every
/// frame has; anything else is left to protobuf's parser.
#include <cstddef>
#include <cstdint>
#include <optional>

#include <TarvikFoundation/platform/valueset.h>

#include "appservice.pb.h"
#include "platform/keycache.h"

namespace Platform::Wire {

/// The body of a request or a response frame, as the transport hands it on.
struct DecodedFrame {
    enum class Kind { Request, Response };
    Kind kind = Kind::Request;
    uint64_t sequence = 0;
    int32_t status = 0;  // responses only
    // A request always carries a message (an absent one reads as empty); a response's
    // is null unless it says it carries one.
    ValueSet message{nullptr};
};

/// Decodes a frame (without its length prefix) that is a request or a response whose
/// messages hold ASCII text, each field at most once and none unknown: what the encoder
/// writes. nullopt for any other bytes, which the caller parses with protobuf; for
/// bytes this accepts, the outcome is the one protobuf's parse would give. Throws
/// hresult_invalid_argument for a key repeated within a message, as decoding a parsed
/// frame does.
std::optional<DecodedFrame> decodeCommonFrame(const char* data, std::size_t size, KeyCache* keys);

/// The same taken from a frame protobuf has parsed; nullopt unless it is a request or
/// a response. Throws hresult_invalid_argument for a message that is not a valid
/// ValueSet.
std::optional<DecodedFrame> fromParsedFrame(const tarvik::wire::Frame& frame, KeyCache* keys);

}  // namespace Platform::Wire
