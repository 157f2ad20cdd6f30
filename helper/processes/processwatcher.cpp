#include "helper/processes/processwatcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "common/logger.h"

namespace TarvikHelper {

namespace {

int openPidfd(uint32_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

bool gone(uint32_t pid) {
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

ProcessWatcher::ProcessWatcher(ExitHandler onExit) : onExit_(std::move(onExit)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw std::runtime_error("process watcher: no eventfd");
    thread_ = std::thread([this] { run(); });
}

ProcessWatcher::~ProcessWatcher() {
    {
        std::lock_guard g(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    for (const auto& [pid, fd] : pidfds_) ::close(fd);
    ::close(wakeFd_);
}

void ProcessWatcher::wake() const {
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
}

void ProcessWatcher::watch(uint32_t pid) {
    {
        std::lock_guard g(mutex_);
        if (pidfds_.contains(pid) || polled_.contains(pid)) return;
        // Id 0 and ids above the kernel's range name no process.
        int fd = -1;
        int error = ESRCH;
        if (pid != 0 && pid <= INT32_MAX) {
            fd = openPidfd(pid);
            error = errno;
        }
        if (fd >= 0) {
            pidfds_[pid] = fd;
        } else if (error == ESRCH) {
            gone_.push_back(pid);
        } else {
            TLOG("WRN", "no pidfd for %u (errno %d); looking for it every 200 ms", pid, error);
            polled_.insert(pid);
        }
    }
    wake();
}

std::size_t ProcessWatcher::watching() const {
    std::lock_guard g(mutex_);
    return pidfds_.size() + polled_.size();
}

std::vector<uint32_t> ProcessWatcher::collectEnded(const std::vector<uint32_t>& readable) {
    std::lock_guard g(mutex_);
    std::vector<uint32_t> ended;
    ended.swap(gone_);
    for (uint32_t pid : readable) {
        const auto it = pidfds_.find(pid);
        if (it == pidfds_.end()) continue;
        ::close(it->second);
        pidfds_.erase(it);
        ended.push_back(pid);
    }
    for (auto it = polled_.begin(); it != polled_.end();) {
        if (gone(*it)) {
            ended.push_back(*it);
            it = polled_.erase(it);
        } else {
            ++it;
        }
    }
    return ended;
}

void ProcessWatcher::run() {
    std::vector<pollfd> fds;
    std::vector<uint32_t> ids;
    for (;;) {
        bool anyPolled = false;
        {
            std::lock_guard g(mutex_);
            if (stopping_) return;
            fds.assign(1, pollfd{wakeFd_, POLLIN, 0});
            ids.assign(1, 0);
            for (const auto& [pid, fd] : pidfds_) {
                fds.push_back({fd, POLLIN, 0});
                ids.push_back(pid);
            }
            anyPolled = !polled_.empty() || !gone_.empty();
        }
        const int ready = ::poll(fds.data(), fds.size(), anyPolled ? 200 : -1);
        if (ready < 0 && errno != EINTR) {
            TLOG("CRT", "process watcher poll failed, errno %d", errno);
            return;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const auto n = ::read(wakeFd_, &count, sizeof count);
        }
        std::vector<uint32_t> readable;
        for (std::size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readable.push_back(ids[i]);
        for (uint32_t pid : collectEnded(readable)) {
            TLOG("DBG", "process %u exited", pid);
            onExit_(pid);
        }
    }
}

}  // namespace TarvikHelper
