#include "helper/applicationwatch.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "common/logger.h"

namespace TarvikHelper {

ApplicationWatch::ApplicationWatch(pid_t pid, std::function<void()> onEnd)
    : pid_(pid), onEnd_(std::move(onEnd)) {
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#ifdef SYS_pidfd_open
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
#endif
    if (pidfd_ < 0 && errno == ESRCH) {
        ended_ = true;
    } else if (pidfd_ < 0) {
        TLOG("WRN", "no pidfd for the application %d (errno %d); looking for it every 200 ms",
             static_cast<int>(pid_), errno);
    }
    thread_ = std::thread([this] { run(); });
}

ApplicationWatch::~ApplicationWatch() {
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(stopFd_, &one, sizeof one);
    thread_.join();
    if (pidfd_ >= 0) ::close(pidfd_);
    ::close(stopFd_);
}

void ApplicationWatch::run() {
    while (!ended_) {
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {pidfd_, POLLIN, 0}};
        const int ready = ::poll(fds, pidfd_ >= 0 ? 2 : 1, pidfd_ >= 0 ? -1 : 200);
        if (ready < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) return;
        if (pidfd_ >= 0 ? (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0
                        : ::kill(pid_, 0) != 0 && errno == ESRCH)
            ended_ = true;
    }
    onEnd_();
}

}  // namespace TarvikHelper
