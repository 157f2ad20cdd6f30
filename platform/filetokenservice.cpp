#include "platform/filetokenservice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <TarvikFoundation/platform/hresult.h>

#include "platform/platformlog.h"

namespace Platform {

namespace {

// A peer that connects and says nothing holds the service this long at most.
constexpr int kRequestSeconds = 2;
constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005);

[[noreturn]] void fail(const std::string& what) {
    const int error = errno;
    throw hresult_error(static_cast<hresult>(hresultFromErrno(error)),
                        hstring::from_utf8(what + ": " + std::strerror(error)));
}

}  // namespace

FileTokenService::FileTokenService(const hstring& packageFamilyName, pid_t expectedPid,
                                   Redeem redeem)
    : path_(FileTokenWire::socketPath(packageFamilyName)),
      expectedPid_(expectedPid),
      redeem_(std::move(redeem)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        fail(path_);
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) fail("cannot make a socket");
    // A socket left by an owner that died is replaced; the folder is the user's own.
    ::unlink(path_.c_str());
    // Made 0600 at once; the folder (0700) keeps others out meanwhile.
    const int bound =
        ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (bound != 0 || ::chmod(path_.c_str(), 0600) != 0 || ::listen(listener_, 16) != 0 ||
        ::pipe2(wake_, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(listener_);
        if (wake_[0] >= 0) ::close(wake_[0]);
        errno = error;
        fail("cannot listen on " + path_);
    }
    thread_ = std::thread([this] { run(); });
    PLOG("INF", "file tokens are redeemed at %s", path_.c_str());
}

FileTokenService::~FileTokenService() {
    const char stop = 1;
    (void)!::write(wake_[1], &stop, 1);
    thread_.join();
    ::unlink(path_.c_str());
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void FileTokenService::run() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            PLOG("CRT", "file token service stops: %s", std::strerror(errno));
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        serve(client);
        ::close(client);
    }
}

void FileTokenService::serve(int client) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        PLOG("WRN", "file token request refused: the caller cannot be told: %s",
             std::strerror(errno));
        return;
    }
    if (peer.uid != ::geteuid() || (expectedPid_ > 0 && peer.pid != expectedPid_)) {
        PLOG("WRN", "file token request refused: process %d of user %u is not the application",
             static_cast<int>(peer.pid), static_cast<unsigned>(peer.uid));
        FileTokenWire::sendAnswer(client, {kAccessDenied, FileAccessMode::AsGranted, -1});
        return;
    }
    const timeval limit{kRequestSeconds, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const auto request = FileTokenWire::receiveRequest(client);
    if (!request) {
        PLOG("WRN", "file token request refused: unreadable request: %s", std::strerror(errno));
        return;
    }
    FileTokenWire::Answer answer;
    try {
        answer = redeem_(*request);
    } catch (const std::exception& e) {
        PLOG("CRT", "file token request failed: %s", e.what());
        answer = {static_cast<int32_t>(E_FAIL_), FileAccessMode::AsGranted, -1};
    }
    if (!FileTokenWire::sendAnswer(client, answer))
        PLOG("WRN", "file token answer not delivered: %s", std::strerror(errno));
    if (answer.fd >= 0) ::close(answer.fd);
}

}  // namespace Platform
