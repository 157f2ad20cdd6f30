#pragma once
// What the launcher does when the confined application asks: starts the package's
// programs with checked arguments, activates its app-service host, and says who the
// peer of a connection handed to it is. Every answer is {"ok": bool, "error": text}.
#include <sys/types.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/package.h"

namespace TarvikRun {

class LaunchRequests {
  public:
    LaunchRequests(std::shared_ptr<const Platform::Package> package, std::string dataFolder);

    /// Answers one request of process `requester` (its pid outside the sandbox);
    /// descriptors that came with it are closed here.
    nlohmann::json answer(const nlohmann::json& request, const std::vector<int>& fds,
                          pid_t requester);

  private:
    nlohmann::json launchFullTrust(pid_t requester);
    nlohmann::json launchUri(const nlohmann::json& request, pid_t requester);
    nlohmann::json activate(const nlohmann::json& request);
    nlohmann::json identify(const std::vector<int>& fds);
    // Starts a program of the package as its helper and records it.
    nlohmann::json startHelper(const std::string& program, const std::vector<std::string>& args);

    std::shared_ptr<const Platform::Package> package_;
    std::string dataFolder_;
};

}  // namespace TarvikRun
