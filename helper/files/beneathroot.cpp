#include "helper/files/beneathroot.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace TarvikHelper {

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

namespace {

int byKernel(int base, const std::string& relative, int flags, mode_t mode) {
    open_how how{};
    // With O_PATH, O_NOFOLLOW would open a trailing link itself; the resolve flags
    // refuse it instead.
    how.flags = static_cast<uint64_t>(flags | ((flags & O_PATH) ? 0 : O_NOFOLLOW) | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const char* path = relative.empty() ? "." : relative.c_str();
    return static_cast<int>(::syscall(SYS_openat2, base, path, &how, sizeof how));
}

// A component that cannot be opened as a folder is reported as a link when it is one.
int failedComponent(int folder, const std::string& name) {
    const int error = errno;
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        errno = ELOOP;
    else
        errno = error;
    return -1;
}

int byWalk(int base, const std::string& relative, int flags, mode_t mode) {
    Descriptor folder(::fcntl(base, F_DUPFD_CLOEXEC, 0));
    if (!folder) return -1;
    std::size_t at = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', at);
        const std::string name = relative.substr(at, slash - at);
        if (slash == std::string::npos) {
            if (name.empty()) return ::openat(folder.get(), ".", flags | O_CLOEXEC, mode);
            const int fd =
                ::openat(folder.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
            return fd >= 0 ? fd : failedComponent(folder.get(), name);
        }
        at = slash + 1;
        if (name.empty()) continue;
        Descriptor next(
            ::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return failedComponent(folder.get(), name);
        folder = std::move(next);
    }
}

}  // namespace

Descriptor openBeneath(int base, const std::string& relative, int flags, mode_t mode,
                       Resolution how) {
    if (how != Resolution::Walk) {
        const int fd = byKernel(base, relative, flags, mode);
        if (fd >= 0) return Descriptor(fd);
        // A way out of `base` shows as EXDEV; it can only be through a link here.
        if (errno == EXDEV) errno = ELOOP;
        // Kernels before 5.6 have no openat2.
        if (errno != ENOSYS || how == Resolution::Kernel) return Descriptor();
    }
    return Descriptor(byWalk(base, relative, flags, mode));
}

}  // namespace TarvikHelper
