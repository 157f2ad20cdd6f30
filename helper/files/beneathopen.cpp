#include "helper/files/beneathopen.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <vector>

namespace TarvikHelper {

namespace fs = boost::filesystem;

namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
        return *this;
    }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// -1 with errno ENOSYS where the kernel lacks openat2.
int openat2Beneath(int root, const std::string& relative, int flags) {
#ifdef SYS_openat2
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != EINTR) return static_cast<int>(fd);
    }
#else
    (void)root, (void)relative, (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

// The same one part at a time, never following a link.
int walkBeneath(int root, const std::vector<std::string>& parts, int flags) {
    Fd folder(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (folder.get() < 0) return -1;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        struct stat st {};
        if (::fstatat(folder.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode)) {
            errno = ELOOP;
            return -1;
        }
        const int next =
            ::openat(folder.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return -1;
        folder = next;
    }
    return ::openat(folder.get(), parts.back().c_str(), flags | O_NOFOLLOW);
}

}  // namespace

BeneathOpen openBeneathServedRoot(const FileRoots& roots, const std::string& path, int flags,
                                  BeneathMethod method) {
    const fs::path normal = fs::path(path).lexically_normal();
    std::vector<std::string> parts;
    for (const auto& part : normal.relative_path()) parts.push_back(part.string());
    if (!normal.is_absolute() || parts.empty()) return {-1, EXDEV};
    for (const auto& part : parts)
        if (part == ".." || part == "." || part.empty()) return {-1, EXDEV};

    // The shortest parent that is a served root leaves the most parts to check.
    std::string root = "/";
    std::size_t first = 0;
    while (first < parts.size() && !roots.isRoot(root)) {
        root += (root.size() > 1 ? "/" : "") + parts[first];
        ++first;
    }
    if (first == parts.size() || !roots.isRoot(root)) return {-1, EXDEV};

    Fd rootFd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (rootFd.get() < 0) return {-1, errno};
    const std::vector<std::string> below(parts.begin() + static_cast<std::ptrdiff_t>(first),
                                         parts.end());
    std::string relative;
    for (const auto& part : below) relative += (relative.empty() ? "" : "/") + part;
    int fd = -1;
    errno = ENOSYS;
    if (method == BeneathMethod::Best)
        fd = openat2Beneath(rootFd.get(), relative, flags | O_CLOEXEC);
    if (fd < 0 && (errno == ENOSYS || errno == E2BIG))
        fd = walkBeneath(rootFd.get(), below, flags | O_CLOEXEC);
    if (fd < 0) return {-1, errno};
    return {fd, 0};
}

}  // namespace TarvikHelper
