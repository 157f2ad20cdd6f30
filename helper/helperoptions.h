#pragma once
// The reference helper's command line, as the app helper builds it:
// --pid N --package B64 --service B64 --AppServiceInBackground true|false
// --enableNetworkLogging true|false --client B64 --ReconnectInterval S --logLevel N
// --log "path" [--lock "path"] [--enableLocalhost]
// and --help, --version.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/commandline.h"

namespace TarvikHelper {

struct HelperOptions {
    long pid = 0;  // the application's process; the helper ends with it
    std::string packageFamilyName;
    std::string serviceName;
    bool appServiceInBackground = true;
    bool enableNetworkLogging = false;
    std::string clientId;
    uint32_t reconnectIntervalSeconds = 20;
    uint32_t logLevel = 2;
    std::string logFile;
    std::string lockFile;
    bool enableLocalhost = false;
    bool help = false;     // --help: nothing else was checked
    bool version = false;  // --version: nothing else was checked
};

using Tarvik::splitCommandLine;
// The helper's arguments as the program got them: separate tokens, or one launch URI
// "<scheme>: <command line>". Returns nullopt and sets `error` for anything it does not understand.
std::optional<HelperOptions> parseHelperOptions(const std::vector<std::string>& args,
                                                std::string& error);
// What --help prints.
std::string helperUsage();

}  // namespace TarvikHelper
