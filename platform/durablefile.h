#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace Platform {

/// An append-only file whose every write is committed to disk before it returns.
class DurableFile {
  public:
    DurableFile() = default;
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;
    ~DurableFile() { close(); }

    bool open_append(const std::string& path) noexcept;
    bool is_open() const noexcept { return fd_ >= 0; }
    /// Writes all bytes and commits them; false when any step failed.
    bool write_committed(const char* data, std::size_t len) noexcept;
    // Current end-of-file position: size at opening plus bytes written since.
    uint64_t position() const noexcept { return position_; }
    void close() noexcept;

  private:
    int fd_ = -1;
    uint64_t position_ = 0;
};

}  // namespace Platform
