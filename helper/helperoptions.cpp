#include "helper/helperoptions.h"

#include <charconv>

namespace TarvikHelper {

namespace {
bool toNumber(const std::string& text, uint64_t& out) {
    const auto* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && p == end && !text.empty();
}
}  // namespace

std::optional<HelperOptions> parseHelperOptions(const std::vector<std::string>& args,
                                                std::string& error) {
    HelperOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& flag = args[i];
        if (i + 1 >= args.size()) {
            error = "missing value after " + flag;
            return std::nullopt;
        }
        const std::string& value = args[++i];
        uint64_t number = 0;
        if (flag == "--package") {
            options.packageFamilyName = value;
        } else if (flag == "--service") {
            options.serviceName = value;
        } else if (flag == "--log-file") {
            options.logFile = value;
        } else if (flag == "--log-level" || flag == "--reconnect-ms") {
            if (!toNumber(value, number) || number > 86400000) {
                error = "not a number for " + flag + ": " + value;
                return std::nullopt;
            }
            if (flag == "--log-level")
                options.logLevel = static_cast<uint32_t>(number);
            else
                options.reconnectInterval = std::chrono::milliseconds(number);
        } else {
            error = "unknown option " + flag;
            return std::nullopt;
        }
    }
    if (options.packageFamilyName.empty() || options.serviceName.empty()) {
        error = "--package and --service are required";
        return std::nullopt;
    }
    return options;
}

}  // namespace TarvikHelper
