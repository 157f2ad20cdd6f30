#pragma once
/// @file
/// The platform's side of the launcher: a confined application asks the launcher
/// outside its sandbox to start the package's programs and to vouch for callers.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Platform::LauncherClient {

/// The launcher's socket when this process runs confined (TARVIK_LAUNCHER_SOCKET).
std::optional<std::string> socketPath();
/// Sends one request; the answer, or nullopt (logged) when the launcher cannot be asked.
std::optional<nlohmann::json> ask(const nlohmann::json& request, const std::vector<int>& fds = {});
/// Whether an answer says yes; a refusal is logged with the launcher's reason.
bool granted(const std::optional<nlohmann::json>& answer, const char* what);

}  // namespace Platform::LauncherClient
