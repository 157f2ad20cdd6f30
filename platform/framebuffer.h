#pragma once
/// @file
/// The bytes read from a stream, cut into length-prefixed frames. Its memory follows
/// the bytes that have arrived, never the length a prefix announces, and what a large
/// frame needed is given back once the frame has been taken.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace Platform::Wire {

class FrameBuffer {
  public:
    static constexpr std::size_t kDefaultChunk = 64 * 1024;
    explicit FrameBuffer(std::size_t chunk = kDefaultChunk) : chunk_(chunk) {}

    /// Room for the next read, at least half a chunk; grows the buffer only as far as
    /// the bytes already held call for.
    std::span<char> space();
    /// `n` bytes were read into the front of space().
    void commit(std::size_t n) noexcept { end_ += n; }

    enum class Next { Frame, Partial, TooLarge };
    /// Takes the next whole frame: `body` (without its prefix) stays valid until the
    /// next space() or settle(). TooLarge leaves the announced size in `announced`.
    Next next(std::string_view& body, uint32_t& announced) noexcept;
    /// After the frames of a read were taken: moves what is left to the front, and gives
    /// back memory beyond what it needs.
    void settle();

    std::size_t buffered() const noexcept { return end_ - begin_; }
    std::size_t capacity() const noexcept { return capacity_; }

  private:
    void reallocate(std::size_t capacity);
    std::size_t chunk_;
    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0, begin_ = 0, end_ = 0;
};

}  // namespace Platform::Wire
