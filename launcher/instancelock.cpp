#include "launcher/instancelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace TarvikRun {

InstanceLock::InstanceLock(const std::string& path, const std::string& familyName) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        throw std::runtime_error("cannot open the instance lock " + path + ": " +
                                 std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {};
        [[maybe_unused]] const auto n = ::pread(fd_, holder, sizeof holder - 1, 0);
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error("an instance of " + familyName + " already runs (tarvik-run " +
                                 (holder[0] ? std::string(holder) : std::string("?")) +
                                 "); one instance per package");
    }
    const std::string self = std::to_string(::getpid());
    if (::ftruncate(fd_, 0) == 0) [[maybe_unused]]
        const auto n = ::pwrite(fd_, self.data(), self.size(), 0);
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace TarvikRun
