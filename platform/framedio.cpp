#include "platform/framedio.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/wirecodec.h"

namespace Platform::FramedIo {

namespace {
bool readExact(int fd, char* out, std::size_t n, std::chrono::steady_clock::time_point deadline,
               std::string& error) {
    std::size_t done = 0;
    while (done < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = "timed out";
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            error = r == 0 ? "timed out" : "poll failed";
            return false;
        }
        const ssize_t got = ::recv(fd, out + done, n - done, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
            error = got == 0 ? "peer closed" : "read failed";
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}
}  // namespace

bool writeFrame(int fd, const tarvik::wire::Frame& frame) {
    auto bytes = Wire::encodeFrame(frame);
    if (!bytes) return false;
    std::size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t n = ::send(fd, bytes->data() + done, bytes->size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<tarvik::wire::Frame> readFrame(int fd, int timeoutMs, std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    unsigned char prefix[Wire::kLengthPrefixSize];
    if (!readExact(fd, reinterpret_cast<char*>(prefix), sizeof prefix, deadline, error))
        return std::nullopt;
    const uint32_t size = Wire::decodeLength(prefix);
    if (size > Wire::kMaxFrameSize) {
        error = "frame of " + std::to_string(size) + " bytes exceeds the limit";
        return std::nullopt;
    }
    // Grown as the bytes come, so that a prefix alone does not take its announced size.
    std::string body;
    for (std::size_t got = 0; got < size;) {
        const std::size_t step =
            std::min<std::size_t>(size - got, std::max<std::size_t>(64 << 10, got));
        body.resize(got + step);
        if (!readExact(fd, body.data() + got, step, deadline, error)) return std::nullopt;
        got += step;
    }
    tarvik::wire::Frame frame;
    if (!frame.ParseFromString(body)) {
        error = "frame does not parse";
        return std::nullopt;
    }
    return frame;
}

long peerUid(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
    return static_cast<long>(cred.uid);
}

}  // namespace Platform::FramedIo
