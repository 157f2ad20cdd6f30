#include "helper/helperoptions.h"

#include <charconv>

#include "common/base64.h"
#include "common/programoptions.h"

namespace TarvikHelper {

namespace {
namespace po = boost::program_options;

constexpr Tarvik::ProgramOptions::Program kProgram{"tarvik-helper",
                                                   "--package B64 --service B64 [options]"};

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

// Values are read as text and checked here, so a refusal names the option and its value.
po::options_description helperOptions() {
    po::options_description options("Options");
    options.add_options()                                                                     //
        ("pid", po::value<std::string>(), "the application's process; ends with it")          //
        ("package", po::value<std::string>(), "package family name, base64")                  //
        ("service", po::value<std::string>(), "app service name, base64")                     //
        ("client", po::value<std::string>(), "client id, base64")                             //
        ("AppServiceInBackground", po::value<std::string>(), "true or false")                 //
        ("enableNetworkLogging", po::value<std::string>(), "true or false")                   //
        ("ReconnectInterval", po::value<std::string>(), "seconds, 1 to 86400")                //
        ("logLevel", po::value<std::string>(), "0 to 100")                                    //
        ("log", po::value<std::string>(), "log file")                                         //
        ("lock", po::value<std::string>(), "lock file the application touches to reconnect")  //
        ("enableLocalhost", "allow loopback connections");
    return Tarvik::ProgramOptions::withStandardOptions(options);
}
}  // namespace

std::string helperUsage() {
    return Tarvik::ProgramOptions::usage(kProgram, helperOptions());
}

std::optional<HelperOptions> parseHelperOptions(const std::vector<std::string>& given,
                                                std::string& error) {
    std::vector<std::string> args = given;
    if (args.size() == 1) {
        // A launch URI: the scheme, a colon and a blank, then the command line.
        const auto at = args[0].find(": ");
        args = splitCommandLine(at == std::string::npos ? args[0] : args[0].substr(at + 2));
    }
    po::variables_map values;
    if (!Tarvik::ProgramOptions::parse(args, helperOptions(), {}, values, error))
        return std::nullopt;
    HelperOptions o;
    o.help = values.count("help") > 0;
    o.version = values.count("version") > 0;
    if (o.help || o.version) return o;
    o.enableLocalhost = values.count("enableLocalhost") > 0;
    for (const auto& [name, held] : values) {
        const std::string flag = "--" + name;
        if (held.empty()) continue;  // a switch
        const auto& value = held.as<std::string>();
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
