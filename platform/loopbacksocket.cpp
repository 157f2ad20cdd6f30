#include "platform/loopbacksocket.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace Platform {

bool LoopbackSocket::connect(const char* host, const char* service) noexcept {
    close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* result = nullptr;
    if (const int rc = ::getaddrinfo(host, service, &hints, &result); rc != 0) {
        std::fprintf(stderr, "getaddrinfo: %s\n", ::gai_strerror(rc));
        return false;
    }
    for (addrinfo* p = result; p; p = p->ai_next) {
        const int fd = ::socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC, p->ai_protocol);
        if (fd < 0) {
            std::perror("client: socket");
            continue;
        }
        if (::connect(fd, p->ai_addr, p->ai_addrlen) != 0) {
            ::close(fd);
            std::perror("client: connect");
            continue;
        }
        fd_ = fd;
        break;
    }
    ::freeaddrinfo(result);
    if (fd_ < 0) {
        std::fprintf(stderr, "client: failed to connect\n");
        return false;
    }
    return true;
}

ssize_t LoopbackSocket::send(const char* data, std::size_t len) noexcept {
    if (fd_ < 0) return -1;
    return ::send(fd_, data, len, MSG_NOSIGNAL);
}

void LoopbackSocket::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace Platform
