#pragma once
/// @file
/// An open file that a redeemed file token stands for. It owns its descriptor and
/// closes it when it goes; its access is the one the token grants.
#include <cstddef>
#include <cstdint>
#include <span>

#include <TarvikFoundation/export.h>

namespace Platform {

/// What a redeemed file may be used for. `AsGranted` asks for the token's own access.
enum class FileAccessMode : uint8_t { AsGranted = 0, Read = 1, ReadWrite = 2 };

/// An open file of a redeemed token; closes its descriptor when destroyed.
class TARVIK_API RedeemedFile {
  public:
    /// Takes ownership of `fd`.
    RedeemedFile(int fd, FileAccessMode access) noexcept : fd_(fd), access_(access) {}
    /// Closes the descriptor unless it was released.
    ~RedeemedFile();
    RedeemedFile(const RedeemedFile&) = delete;
    RedeemedFile& operator=(const RedeemedFile&) = delete;

    /// The access the token granted: Read or ReadWrite.
    FileAccessMode Access() const noexcept { return access_; }
    /// Up to `buffer.size()` bytes from the current position; 0 at the end.
    /// Raises hresult_error with the system's error in HRESULT form.
    std::size_t Read(std::span<std::byte> buffer);
    /// Writes all of `data` at the current position; raises as Read does (a file
    /// granted for reading fails with EBADF).
    void Write(std::span<const std::byte> data);
    /// Moves the position to `offset` from the start.
    void Seek(uint64_t offset);
    /// The current position from the start.
    uint64_t Position() const;
    /// The file's size in bytes now.
    uint64_t Size() const;
    /// Cuts or extends the file to `size` bytes (a file granted for writing only).
    void SetSize(uint64_t size);

    /// The descriptor, still owned by this object (-1 once released).
    int fd() const noexcept { return fd_; }
    /// Hands the descriptor over to the caller, who closes it.
    int release() noexcept;

  private:
    int fd_;
    FileAccessMode access_;
};

/// The HRESULT form of a system error number (0x8007xxxx).
int32_t hresultFromErrno(int error) noexcept;

}  // namespace Platform
