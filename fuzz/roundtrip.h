#pragma once
// A message the decoder accepts must survive encoding and decoding again with every
// type intact; a refusal is fine (the transport closes the connection with a log line).
#include <cstdlib>

#include <TarvikFoundation/platform/hresult.h>

#include "platform/wirecodec.h"

namespace FuzzSupport {

inline void checkRoundTrip(const tarvik::wire::ValueSet& wire) {
    Platform::ValueSet decoded = nullptr;
    try {
        decoded = Platform::Wire::fromProto(wire);
    } catch (const Platform::hresult_error&) {
        return;
    }
    tarvik::wire::ValueSet again;
    Platform::Wire::toProto(decoded, again);
    if (!Platform::Wire::fromProto(again).equals(decoded)) std::abort();
}

}  // namespace FuzzSupport
