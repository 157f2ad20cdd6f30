#pragma once
// How many clients the socket server takes: "socketServerClients" in the user's
// helper.json (the file that names the served folders), 64 when it is not set.
#include <string>

#include "helper/sockets/socketserver.h"

namespace TarvikHelper {

inline constexpr std::size_t kMaxSocketServerClients = 4096;

SocketServer::Limits socketServerLimits(const std::string& configFile);
// From the user's own helper.json.
SocketServer::Limits socketServerLimits();

}  // namespace TarvikHelper
