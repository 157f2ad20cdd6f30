#include "platform/durablefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Platform {

bool DurableFile::open_append(const std::string& path) noexcept {
    close();
    // Logs may lie in folders that a confined application can write: a link or a second
    // name put in the file's place must not make a process outside write elsewhere.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1) {
        close();
        errno = ELOOP;
        return false;
    }
    position_ = static_cast<uint64_t>(st.st_size);
    return true;
}

bool DurableFile::write_committed(const char* data, std::size_t len) noexcept {
    if (fd_ < 0) return false;
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::write(fd_, data + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
        position_ += static_cast<uint64_t>(n);
    }
    return ::fdatasync(fd_) == 0;
}

void DurableFile::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    position_ = 0;
}

}  // namespace Platform
