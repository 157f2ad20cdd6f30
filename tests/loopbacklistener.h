#pragma once
// A TCP listener on 127.0.0.1 for tests of the logger's network sink.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace TestSupport {

class LoopbackListener {
  public:
    explicit LoopbackListener(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd_, 4) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~LoopbackListener() {
        if (client_ >= 0) ::close(client_);
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Whether a connection arrives within `ms`; accepts it.
    bool accept(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1) return false;
        client_ = ::accept(fd_, nullptr, nullptr);
        return client_ >= 0;
    }
    // Reads what arrives until `ms` pass without data.
    std::string readAll(int ms) {
        std::string out;
        char buf[8192];
        for (;;) {
            pollfd p{client_, POLLIN, 0};
            if (::poll(&p, 1, ms) != 1) break;
            const ssize_t n = ::read(client_, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    static bool somethingListens(uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return connected;
    }

  private:
    int fd_ = -1;
    int client_ = -1;
};

}  // namespace TestSupport
