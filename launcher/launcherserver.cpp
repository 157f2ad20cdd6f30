#include "launcher/launcherserver.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/logger.h"
#include "platform/launcherwire.h"
#include "platform/processfacts.h"

namespace TarvikRun {

namespace {
// A requester sends its one packet at once; one that does not is dropped.
constexpr int kRequestTimeoutMs = 2000;
}  // namespace

LauncherServer::LauncherServer(const std::string& path, LaunchRequests& requests)
    : path_(path), requests_(requests) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
        throw std::runtime_error("launcher socket path too long: " + path);
    listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    // The instance lock is held: a socket found here is a dead launcher's.
    ::unlink(path.c_str());
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(listenFd_, 16) != 0) {
        const std::string why = std::strerror(errno);
        if (listenFd_ >= 0) ::close(listenFd_);
        throw std::runtime_error("cannot listen on " + path + ": " + why);
    }
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

LauncherServer::~LauncherServer() {
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(stopFd_, &one, sizeof one);
    thread_.join();
    ::close(listenFd_);
    ::close(stopFd_);
    ::unlink(path_.c_str());
}

void LauncherServer::run() {
    for (;;) {
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) return;
        if (!(fds[1].revents & POLLIN)) continue;
        const int connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        serve(connection);
        ::close(connection);
    }
}

void LauncherServer::serve(int connection) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
        cred.uid != ::getuid()) {
        TLOG("CRT", "launcher connection of another user refused");
        return;
    }
    std::string error;
    auto packet = Platform::LauncherWire::receive(connection, kRequestTimeoutMs, error);
    if (!packet) {
        TLOG("WRN", "launcher request dropped: %s", error.c_str());
        // A requester that is still there learns why, rather than seeing the close.
        Platform::LauncherWire::send(connection,
                                     {{"ok", false}, {"error", "request dropped: " + error}});
        return;
    }
    Platform::LauncherWire::send(connection, requests_.answer(packet->body, packet->fds, cred.pid));
}

}  // namespace TarvikRun
