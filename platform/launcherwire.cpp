#include "platform/launcherwire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Platform::LauncherWire {

bool send(int fd, const nlohmann::json& body, const std::vector<int>& fds) {
    const std::string text = body.dump();
    if (text.size() > kMaxPacket || fds.size() > kMaxFds) return false;
    iovec iov{const_cast<char*>(text.data()), text.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)] = {};
    if (!fds.empty()) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<std::size_t>(n) == text.size();
        if (errno != EINTR) return false;
    }
}

std::optional<Packet> receive(int fd, int timeoutMs, std::string& error) {
    pollfd p{fd, POLLIN, 0};
    int ready = 0;
    do ready = ::poll(&p, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        error = ready == 0 ? "no answer in time" : std::strerror(errno);
        return std::nullopt;
    }
    std::string buffer(kMaxPacket + 1, '\0');
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)] = {};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    Packet packet;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n >= 0 && c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int received = -1;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            packet.fds.push_back(received);
        }
    }
    const auto fail = [&](const std::string& why) -> std::optional<Packet> {
        for (int f : packet.fds) ::close(f);
        error = why;
        return std::nullopt;
    };
    if (n <= 0) return fail(n == 0 ? "the other side closed" : std::strerror(errno));
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || static_cast<std::size_t>(n) > kMaxPacket)
        return fail("packet too large");
    try {
        packet.body = nlohmann::json::parse(buffer.data(), buffer.data() + n);
    } catch (const nlohmann::json::exception&) {
        return fail("packet is not JSON");
    }
    if (!packet.body.is_object()) return fail("packet is not a JSON object");
    return packet;
}

std::optional<nlohmann::json> ask(const std::string& path, const nlohmann::json& request,
                                  const std::vector<int>& fds, int timeoutMs, std::string& error) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    std::optional<nlohmann::json> answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot reach the launcher at " + path + ": " + std::strerror(errno);
    } else if (!send(fd, request, fds)) {
        error = "cannot send to the launcher";
    } else if (auto packet = receive(fd, timeoutMs, error)) {
        for (int f : packet->fds) ::close(f);
        answer = std::move(packet->body);
    }
    ::close(fd);
    return answer;
}

}  // namespace Platform::LauncherWire
