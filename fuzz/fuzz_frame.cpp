// Bytes from the other process, as the socket transport reads them: a length prefix
// and a frame. Anything may be refused, nothing may crash, and a message that is
// accepted must survive encoding and decoding again with every type intact.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/hresult.h"
#include "platform/wirecodec.h"

namespace {

void checkRoundTrip(const tarvik::wire::ValueSet& wire) {
    Platform::ValueSet decoded = nullptr;
    try {
        decoded = Platform::Wire::fromProto(wire);
    } catch (const Platform::hresult_error&) {
        return;  // refused input: the transport closes the connection with a log line
    }
    tarvik::wire::ValueSet again;
    Platform::Wire::toProto(decoded, again);
    if (!Platform::Wire::fromProto(again).equals(decoded)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < Platform::Wire::kLengthPrefixSize) return 0;
    const uint32_t length = Platform::Wire::decodeLength(data);
    if (length > Platform::Wire::kMaxFrameSize) return 0;
    const std::size_t available = size - Platform::Wire::kLengthPrefixSize;
    tarvik::wire::Frame frame;
    if (!frame.ParseFromArray(data + Platform::Wire::kLengthPrefixSize,
                              static_cast<int>(std::min<std::size_t>(length, available))))
        return 0;
    if (frame.has_request()) checkRoundTrip(frame.request().message());
    if (frame.has_response() && frame.response().message_present())
        checkRoundTrip(frame.response().message());
    return 0;
}
