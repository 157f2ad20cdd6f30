// Bytes from the other process, as the socket transport reads them: a length prefix
// and a frame. Anything may be refused; nothing may crash.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz/roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < Platform::Wire::kLengthPrefixSize) return 0;
    const uint32_t length = Platform::Wire::decodeLength(data);
    if (length > Platform::Wire::kMaxFrameSize) return 0;
    const std::size_t available = size - Platform::Wire::kLengthPrefixSize;
    tarvik::wire::Frame frame;
    if (!frame.ParseFromArray(data + Platform::Wire::kLengthPrefixSize,
                              static_cast<int>(std::min<std::size_t>(length, available))))
        return 0;
    if (frame.has_request()) FuzzSupport::checkRoundTrip(frame.request().message());
    if (frame.has_response() && frame.response().message_present())
        FuzzSupport::checkRoundTrip(frame.response().message());
    return 0;
}
