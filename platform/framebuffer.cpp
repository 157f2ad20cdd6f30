#include "platform/framebuffer.h"

#include <algorithm>
#include <cstring>

#include "platform/wirecodec.h"

namespace Platform::Wire {

void FrameBuffer::reallocate(std::size_t capacity) {
    auto fresh = std::make_unique_for_overwrite<char[]>(capacity);
    const std::size_t held = buffered();
    if (held > 0) std::memcpy(fresh.get(), data_.get() + begin_, held);
    data_ = std::move(fresh);
    capacity_ = capacity;
    begin_ = 0;
    end_ = held;
}

std::span<char> FrameBuffer::space() {
    if (capacity_ - end_ < chunk_ / 2) {
        const std::size_t held = buffered();
        // The frame in progress may be larger than a chunk: growing by doubling what
        // has arrived keeps the copies linear, and stops at the frame's own size.
        std::size_t want = held + chunk_;
        if (held >= kLengthPrefixSize) {
            const std::size_t whole =
                kLengthPrefixSize +
                decodeLength(reinterpret_cast<const unsigned char*>(data_.get() + begin_));
            if (whole > held) want = std::max(want, std::min(whole, 2 * held));
        }
        if (want <= capacity_ && begin_ > 0) {
            std::memmove(data_.get(), data_.get() + begin_, held);
            begin_ = 0;
            end_ = held;
        } else {
            reallocate(std::max(want, capacity_));
        }
    }
    return {data_.get() + end_, capacity_ - end_};
}

FrameBuffer::Next FrameBuffer::next(std::string_view& body, uint32_t& announced) noexcept {
    if (buffered() < kLengthPrefixSize) return Next::Partial;
    announced = decodeLength(reinterpret_cast<const unsigned char*>(data_.get() + begin_));
    if (announced > kMaxFrameSize) return Next::TooLarge;
    if (buffered() - kLengthPrefixSize < announced) return Next::Partial;
    body = {data_.get() + begin_ + kLengthPrefixSize, announced};
    begin_ += kLengthPrefixSize + announced;
    return Next::Frame;
}

void FrameBuffer::settle() {
    const std::size_t held = buffered();
    if (held == 0) begin_ = end_ = 0;
    // A large frame's memory is not kept for the frames after it.
    const std::size_t keep = std::max(chunk_, held + chunk_ / 2);
    if (capacity_ > 2 * keep) {
        reallocate(keep);
    } else if (begin_ > 0 && held > 0) {
        std::memmove(data_.get(), data_.get() + begin_, held);
        begin_ = 0;
        end_ = held;
    }
}

}  // namespace Platform::Wire
