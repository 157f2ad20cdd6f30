#include "platform/descriptorpassing.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace Platform::DescriptorPassing {

ssize_t send(int socket, const void* data, std::size_t size, std::span<const int> fds) {
    if (fds.size() > kMaxDescriptors) {
        errno = EINVAL;
        return -1;
    }
    iovec iov{const_cast<void*>(data), size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)] = {};
    if (!fds.empty()) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t n;
    do n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t receive(int socket, void* data, std::size_t size, int flags, std::vector<int>& fds,
                bool& truncated) {
    iovec iov{data, size};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)] = {};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do n = ::recvmsg(socket, &msg, flags | MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    const int error = errno;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n >= 0 && c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int received = -1;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            fds.push_back(received);
        }
    }
    truncated = n >= 0 && (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
    errno = error;
    return n;
}

}  // namespace Platform::DescriptorPassing
