// A message body on its own: every value type, nesting and key the decoder meets.
#include <cstddef>
#include <cstdint>

#include "fuzz/roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tarvik::wire::ValueSet wire;
    if (!wire.ParseFromArray(data, static_cast<int>(size))) return 0;
    FuzzSupport::checkRoundTrip(wire);
    return 0;
}
