#pragma once
/// @file
/// The wire between the platform layer inside a sandbox and the launcher outside it:
/// a Unix SOCK_SEQPACKET socket, one JSON object per packet, descriptors riding along
/// as SCM_RIGHTS. A request has a "type"; its answer has "ok" and, when refused,
/// "error". One connection carries one request and its answer.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Platform::LauncherWire {

/// A packet is at most this large; a larger one is refused.
inline constexpr std::size_t kMaxPacket = 64 * 1024;
/// At most this many descriptors ride along with one packet.
inline constexpr std::size_t kMaxFds = 4;

struct Packet {
    nlohmann::json body;
    std::vector<int> fds;  // owned by the receiver, which closes them
};

bool send(int fd, const nlohmann::json& body, const std::vector<int>& fds = {});
/// Waits up to timeoutMs; nullopt with a reason on a timeout, an end or a bad packet.
std::optional<Packet> receive(int fd, int timeoutMs, std::string& error);
/// Connects to the launcher at `path`, sends one request and waits for its answer.
std::optional<nlohmann::json> ask(const std::string& path, const nlohmann::json& request,
                                  const std::vector<int>& fds, int timeoutMs, std::string& error);

}  // namespace Platform::LauncherWire
