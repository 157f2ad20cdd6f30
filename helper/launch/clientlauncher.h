#pragma once
// Starting the programs that the package's manifest names for the application: the
// socket server's clients ("clientPrograms": name -> program) and the cart client
// ("cartClient"). Nothing outside the manifest is started.
#include <cstdint>
#include <string>

namespace TarvikHelper {

// Cart client statuses under "kCVErrCode".
inline constexpr int32_t kCartStarted = 0;
inline constexpr int32_t kCartNotConfigured = 1;
inline constexpr int32_t kCartStartFailed = 2;
inline constexpr int32_t kCartBadRequest = 3;

struct CartRequest {
    std::string appId, appVersion, profileScope, appPath;
};

// `name` is a key of "clientPrograms"; `parameters` is split at blanks with double
// quotes keeping parts together. False when the name is unknown or the start fails.
bool launchClientProgram(const std::string& name, const std::string& parameters);
// Starts the cart client with --app-id, --app-version, --profile-scope and --app-path.
int32_t launchCartClient(const CartRequest& request);

}  // namespace TarvikHelper
