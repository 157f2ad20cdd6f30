#pragma once
// Opening paths below a served folder so that no link on the way is followed: a link
// planted inside a served folder (dangling or not) can never lead a file command out
// of it. The kernel resolves beneath the folder where it can (openat2); elsewhere each
// component is opened in turn without following links.
#include <sys/types.h>

#include <string>

namespace TarvikHelper {

// A descriptor that closes itself.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

enum class Resolution { Automatic, Kernel, Walk };

// Opens `relative` (components separated by '/', no "." or ".."; empty names the
// folder itself) below the open folder `base` with `flags` (O_NOFOLLOW is added).
// Fails with errno ELOOP when a component is a link; `how` picks the way for tests.
Descriptor openBeneath(int base, const std::string& relative, int flags, mode_t mode = 0,
                       Resolution how = Resolution::Automatic);

}  // namespace TarvikHelper
