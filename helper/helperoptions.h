#pragma once
// The reference helper's command line.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace TarvikHelper {

struct HelperOptions {
    std::string packageFamilyName;
    std::string serviceName;
    uint32_t logLevel = 2;
    std::string logFile;
    // 0: end when the connection closes; otherwise reconnect after this long.
    std::chrono::milliseconds reconnectInterval{0};
};

// Parses "--package P --service S [--log-level N] [--log-file F] [--reconnect-ms N]".
// Returns nullopt and sets `error` for anything it does not understand.
std::optional<HelperOptions> parseHelperOptions(const std::vector<std::string>& args,
                                                std::string& error);

}  // namespace TarvikHelper
