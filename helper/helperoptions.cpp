#include "helper/helperoptions.h"

#include <charconv>

#include "common/base64.h"

namespace TarvikHelper {

namespace {
bool toNumber(const std::string& text, uint64_t& out) {
    const auto* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && p == end && !text.empty();
}
bool toBool(const std::string& text, bool& out) {
    if (text == "true")
        out = true;
    else if (text == "false")
        out = false;
    else
        return false;
    return true;
}
}  // namespace

std::optional<HelperOptions> parseHelperOptions(const std::vector<std::string>& given,
                                                std::string& error) {
    std::vector<std::string> args = given;
    if (args.size() == 1) {
        // A launch URI: the scheme, a colon and a blank, then the command line.
        const auto at = args[0].find(": ");
        args = splitCommandLine(at == std::string::npos ? args[0] : args[0].substr(at + 2));
    }
    HelperOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& flag = args[i];
        if (flag == "--enableLocalhost") {
            o.enableLocalhost = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "missing value after " + flag;
            return std::nullopt;
        }
        const std::string& value = args[++i];
        uint64_t n = 0;
        bool ok = true;
        if (flag == "--pid")
            ok = toNumber(value, n) && n < (1ull << 31), o.pid = static_cast<long>(n);
        else if (flag == "--package" || flag == "--service" || flag == "--client") {
            const auto decoded = Tarvik::Base64::decode(value);
            ok = decoded.has_value();
            if (ok)
                (flag == "--package"   ? o.packageFamilyName
                 : flag == "--service" ? o.serviceName
                                       : o.clientId) = *decoded;
        } else if (flag == "--AppServiceInBackground")
            ok = toBool(value, o.appServiceInBackground);
        else if (flag == "--enableNetworkLogging")
            ok = toBool(value, o.enableNetworkLogging);
        else if (flag == "--ReconnectInterval")
            ok = toNumber(value, n) && n >= 1 && n <= 86400,
            o.reconnectIntervalSeconds = static_cast<uint32_t>(n);
        else if (flag == "--logLevel")
            ok = toNumber(value, n) && n <= 100, o.logLevel = static_cast<uint32_t>(n);
        else if (flag == "--log")
            o.logFile = value;
        else if (flag == "--lock")
            o.lockFile = value;
        else {
            error = "unknown option " + flag;
            return std::nullopt;
        }
        if (!ok) {
            error = "bad value for " + flag + ": " + value;
            return std::nullopt;
        }
    }
    if (o.packageFamilyName.empty() || o.serviceName.empty()) {
        error = "--package and --service are required";
        return std::nullopt;
    }
    // The package names folders (data, analytics): it may not climb out of them.
    if (o.packageFamilyName[0] == '.' || o.packageFamilyName.find('/') != std::string::npos ||
        o.packageFamilyName.find("..") != std::string::npos) {
        error = "bad value for --package: " + o.packageFamilyName;
        return std::nullopt;
    }
    return o;
}

}  // namespace TarvikHelper
