#include "helper/sockets/socketserverlimits.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "common/logger.h"
#include "helper/files/fileroots.h"

namespace TarvikHelper {

SocketServer::Limits socketServerLimits(const std::string& configFile) {
    SocketServer::Limits limits;
    std::ifstream in(configFile);
    if (!in) return limits;
    const auto json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains("socketServerClients"))
        return limits;
    const auto& clients = json["socketServerClients"];
    if (clients.is_number_unsigned() && clients.get<std::size_t>() >= 1 &&
        clients.get<std::size_t>() <= kMaxSocketServerClients) {
        limits.clients = clients.get<std::size_t>();
        TLOG("INF", "socket server takes at most %zu clients (%s)", limits.clients,
             configFile.c_str());
    } else {
        TLOG("WRN", "\"socketServerClients\" in %s is not a number from 1 to %zu; %zu it is",
             configFile.c_str(), kMaxSocketServerClients, limits.clients);
    }
    return limits;
}

SocketServer::Limits socketServerLimits() {
    return socketServerLimits(fileRootsConfigPath());
}

}  // namespace TarvikHelper
