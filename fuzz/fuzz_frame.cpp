// Bytes from the other process, as the socket transport reads them: a length prefix
// and a frame. Anything may be refused; nothing may crash, and whatever the direct
// frame reader takes must read the same through protobuf.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/roundtrip.h"
#include "platform/framedecoder.h"

namespace {

void checkDirectReader(const char* bytes, std::size_t size, const tarvik::wire::Frame* parsed) {
    std::optional<Platform::Wire::DecodedFrame> direct;
    bool refused = false;
    try {
        direct = Platform::Wire::decodeCommonFrame(bytes, size, nullptr);
    } catch (const Platform::hresult_error&) {
        refused = true;
    }
    if (!direct && !refused) return;
    if (!parsed) std::abort();
    std::optional<Platform::Wire::DecodedFrame> slow;
    try {
        slow = Platform::Wire::fromParsedFrame(*parsed, nullptr);
    } catch (const Platform::hresult_error&) {
        if (!refused) std::abort();  // the direct reader took what protobuf's path refuses
        return;
    }
    if (refused || !slow) std::abort();  // and the other way round
    const auto& fast = *direct;
    const bool sameMessage = (!slow->message && !fast.message) ||
                             (slow->message && fast.message && slow->message.equals(fast.message));
    if (slow->kind != fast.kind || slow->sequence != fast.sequence || slow->status != fast.status ||
        !sameMessage)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < Platform::Wire::kLengthPrefixSize) return 0;
    const uint32_t length = Platform::Wire::decodeLength(data);
    if (length > Platform::Wire::kMaxFrameSize) return 0;
    const std::size_t available = size - Platform::Wire::kLengthPrefixSize;
    const auto* bytes = reinterpret_cast<const char*>(data + Platform::Wire::kLengthPrefixSize);
    const std::size_t frameSize = std::min<std::size_t>(length, available);
    tarvik::wire::Frame frame;
    const bool parsed = frame.ParseFromArray(bytes, static_cast<int>(frameSize));
    checkDirectReader(bytes, frameSize, parsed ? &frame : nullptr);
    if (!parsed) return 0;
    if (frame.has_request()) FuzzSupport::checkRoundTrip(frame.request().message());
    if (frame.has_response() && frame.response().message_present())
        FuzzSupport::checkRoundTrip(frame.response().message());
    return 0;
}
