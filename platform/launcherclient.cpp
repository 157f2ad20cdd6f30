#include "platform/launcherclient.h"

#include <cstdlib>

#include "platform/launcherwire.h"
#include "platform/platformlog.h"

namespace Platform::LauncherClient {

namespace {
// A launch is a process start outside; a launcher that takes longer is stuck.
constexpr int kAnswerTimeoutMs = 10000;
}  // namespace

std::optional<std::string> socketPath() {
    const char* path = std::getenv("TARVIK_LAUNCHER_SOCKET");
    if (!path || !*path) return std::nullopt;
    return std::string(path);
}

std::optional<nlohmann::json> ask(const nlohmann::json& request, const std::vector<int>& fds) {
    const auto path = socketPath();
    if (!path) return std::nullopt;
    std::string error;
    auto answer = LauncherWire::ask(*path, request, fds, kAnswerTimeoutMs, error);
    if (!answer)
        PLOG("CRT", "launcher request %s failed: %s", request.value("type", std::string()).c_str(),
             error.c_str());
    return answer;
}

bool granted(const std::optional<nlohmann::json>& answer, const char* what) {
    if (!answer) return false;
    if (answer->value("ok", false)) return true;
    PLOG("CRT", "launcher refused %s: %s", what, answer->value("error", std::string()).c_str());
    return false;
}

}  // namespace Platform::LauncherClient
