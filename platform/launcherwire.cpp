#include "platform/launcherwire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/descriptorpassing.h"

namespace Platform::LauncherWire {

static_assert(kMaxFds <= DescriptorPassing::kMaxDescriptors);

bool send(int fd, const nlohmann::json& body, const std::vector<int>& fds) {
    const std::string text = body.dump();
    if (text.size() > kMaxPacket || fds.size() > kMaxFds) return false;
    return DescriptorPassing::send(fd, text.data(), text.size(), fds) ==
           static_cast<ssize_t>(text.size());
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
    Packet packet;
    bool truncated = false;
    const ssize_t n =
        DescriptorPassing::receive(fd, buffer.data(), buffer.size(), 0, packet.fds, truncated);
    const auto fail = [&](const std::string& why) -> std::optional<Packet> {
        for (int f : packet.fds) ::close(f);
        error = why;
        return std::nullopt;
    };
    if (n <= 0) return fail(n == 0 ? "the other side closed" : std::strerror(errno));
    if (truncated || packet.fds.size() > kMaxFds || static_cast<std::size_t>(n) > kMaxPacket)
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
