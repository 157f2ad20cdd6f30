#include "platform/filetokenwire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/descriptorpassing.h"
#include "platform/socketpaths.h"

namespace Platform::FileTokenWire {

namespace {

void putLe32(unsigned char* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t getLe32(const unsigned char* at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
    return value;
}

bool sendAll(int socket, const void* data, std::size_t size) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(socket, at, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool receiveAll(int socket, void* data, std::size_t size) {
    auto* at = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::recv(socket, at, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ECONNRESET;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool knownAccess(uint32_t value) {
    return value <= static_cast<uint32_t>(FileAccessMode::ReadWrite);
}

}  // namespace

std::string socketPath(const hstring& packageFamilyName) {
    return SocketPaths::ensurePackageFolder(packageFamilyName) + "/filetokens.sock";
}

bool sendRequest(int socket, const Request& request) {
    const std::size_t length = request.token.size() + 1;
    if (length > kMaxRequest) {
        errno = EMSGSIZE;
        return false;
    }
    std::string frame(4, '\0');
    putLe32(reinterpret_cast<unsigned char*>(frame.data()), static_cast<uint32_t>(length));
    frame.push_back(static_cast<char>(request.wanted));
    frame += request.token;
    return sendAll(socket, frame.data(), frame.size());
}

std::optional<Request> receiveRequest(int socket) {
    unsigned char header[4];
    if (!receiveAll(socket, header, sizeof header)) return std::nullopt;
    const uint32_t length = getLe32(header);
    if (length == 0 || length > kMaxRequest) {
        errno = EMSGSIZE;
        return std::nullopt;
    }
    std::string body(length, '\0');
    if (!receiveAll(socket, body.data(), body.size())) return std::nullopt;
    const auto wanted = static_cast<unsigned char>(body[0]);
    if (!knownAccess(wanted)) {
        errno = EPROTO;
        return std::nullopt;
    }
    return Request{static_cast<FileAccessMode>(wanted), body.substr(1)};
}

bool sendAnswer(int socket, const Answer& answer) {
    unsigned char body[8];
    putLe32(body, static_cast<uint32_t>(answer.status));
    putLe32(body + 4, static_cast<uint32_t>(answer.access));
    const bool withFile = answer.status == 0 && answer.fd >= 0;
    // Eight bytes always fit a fresh stream socket's buffer in one go.
    return DescriptorPassing::send(
               socket, body, sizeof body,
               withFile ? std::span<const int>(&answer.fd, 1) : std::span<const int>()) ==
           static_cast<ssize_t>(sizeof body);
}

std::optional<Answer> receiveAnswer(int socket) {
    unsigned char body[8]{};
    std::vector<int> fds;
    bool truncated = false;
    const ssize_t n =
        DescriptorPassing::receive(socket, body, sizeof body, MSG_WAITALL, fds, truncated);
    Answer answer;
    answer.status = static_cast<int32_t>(getLe32(body));
    const uint32_t access = getLe32(body + 4);
    const bool whole = n == static_cast<ssize_t>(sizeof body) && !truncated && fds.size() <= 1;
    if (whole && !fds.empty()) answer.fd = fds.front();
    if (!whole || !knownAccess(access) || (answer.status == 0) != (answer.fd >= 0)) {
        for (const int fd : fds) ::close(fd);
        errno = n == 0 ? ECONNRESET : EPROTO;
        return std::nullopt;
    }
    answer.access = static_cast<FileAccessMode>(access);
    return answer;
}

}  // namespace Platform::FileTokenWire
