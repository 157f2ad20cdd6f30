#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <TarvikFoundation/platform/filetokenredeemer.h>

#include "platform/filetokenwire.h"
#include "platform/package.h"
#include "platform/platformlog.h"

namespace Platform {

namespace {

constexpr int kAnswerSeconds = 5;

class Socket {
  public:
    Socket() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

[[noreturn]] void fail(int error, const std::string& what) {
    PLOG("WRN", "file token not redeemed: %s: %s", what.c_str(), std::strerror(error));
    throw hresult_error(static_cast<hresult>(hresultFromErrno(error)),
                        hstring::from_utf8(what + ": " + std::strerror(error)));
}

std::shared_ptr<RedeemedFile> redeem(const std::string& token, FileAccessMode access) {
    const std::string path = FileTokenWire::socketPath(Package::Current()->FamilyName());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) fail(ENAMETOOLONG, path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Socket socket;
    if (socket.fd() < 0) fail(errno, "cannot make a socket");
    const timeval limit{kAnswerSeconds, 0};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail(errno == ECONNREFUSED ? ENOENT : errno, "nobody redeems file tokens at " + path);
    // A service that refuses the caller answers before it reads and closes, so the send
    // may find the socket closed while the refusal waits to be read.
    const bool sent = FileTokenWire::sendRequest(socket.fd(), {access, token});
    const int sendError = errno;
    if (!sent && sendError != EPIPE) fail(sendError, "cannot send the file token");
    const auto answer = FileTokenWire::receiveAnswer(socket.fd());
    if (!answer) {
        if (!sent) fail(sendError, "cannot send the file token");
        fail(errno, "no usable answer for the file token");
    }
    if (answer->status != 0) {
        PLOG("WRN", "file token not redeemed: refused with 0x%08X",
             static_cast<unsigned>(answer->status));
        throw hresult_error(static_cast<hresult>(answer->status));
    }
    return std::make_shared<RedeemedFile>(answer->fd, answer->access);
}

}  // namespace

IAsyncOperation<std::shared_ptr<RedeemedFile>> FileTokenRedeemer::RedeemAsync(
    const hstring& token) {
    return RedeemAsync(token, FileAccessMode::AsGranted);
}

IAsyncOperation<std::shared_ptr<RedeemedFile>> FileTokenRedeemer::RedeemAsync(
    const hstring& token, FileAccessMode access) {
    std::string text = token.to_utf8();
    return IAsyncOperation<std::shared_ptr<RedeemedFile>>::from_task(
        create_task([text = std::move(text), access] { return redeem(text, access); }));
}

}  // namespace Platform
