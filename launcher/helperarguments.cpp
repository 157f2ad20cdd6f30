#include "launcher/helperarguments.h"

#include <sys/stat.h>

#include <boost/filesystem.hpp>

#include "common/base64.h"
#include "common/commandline.h"

namespace TarvikRun {

bool insideFolder(const std::string& path, const std::string& folder) {
    const boost::filesystem::path p(path);
    if (!p.is_absolute() || !p.has_filename()) return false;
    for (const auto& step : p)
        if (step == "." || step == "..") return false;
    boost::system::error_code ec;
    // The file may not exist yet; its folder must, and both must resolve inside.
    struct stat st {};
    boost::filesystem::path real;
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode)) return false;
        real = boost::filesystem::canonical(p, ec);
    } else {
        real = boost::filesystem::canonical(p.parent_path(), ec) / p.filename();
    }
    if (ec) return false;
    const std::string r = real.string();
    return r.size() > folder.size() + 1 && r.compare(0, folder.size(), folder) == 0 &&
           r[folder.size()] == '/';
}

std::optional<std::string> checkHelperArguments(const std::string& commandLine,
                                                const ArgumentCheck& check, std::string& error) {
    const auto tokens = Tarvik::splitCommandLine(commandLine);
    std::string out;
    bool pidSeen = false, packageSeen = false;
    const auto add = [&out](const std::string& text) {
        if (!out.empty()) out += ' ';
        out += text;
    };
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& flag = tokens[i];
        if (flag == "--enableLocalhost") {
            add(flag);
            continue;
        }
        if (i + 1 >= tokens.size()) {
            error = "missing value after " + flag;
            return std::nullopt;
        }
        const std::string& value = tokens[++i];
        // The line is rebuilt: a value must not be able to split into more arguments.
        const bool isPath = flag == "--log" || flag == "--lock";
        if (value.find('"') != std::string::npos ||
            (!isPath && value.find(' ') != std::string::npos)) {
            error = flag + " has a value that the command line cannot carry";
            return std::nullopt;
        }
        if (flag == "--pid") {
            pidSeen = true;
            add(flag + " " + std::to_string(check.applicationPid));
        } else if (flag == "--package") {
            const auto decoded = Tarvik::Base64::decode(value);
            if (!decoded || *decoded != check.familyName) {
                error = "--package names another package than " + check.familyName;
                return std::nullopt;
            }
            packageSeen = true;
            add(flag + " " + value);
        } else if (isPath) {
            if (!insideFolder(value, check.dataFolder)) {
                error = flag + " " + value + " is outside the package's folder " + check.dataFolder;
                return std::nullopt;
            }
            add(flag + " \"" + value + "\"");
        } else {
            add(flag + " " + value);
        }
    }
    if (!pidSeen || !packageSeen) {
        error = std::string(pidSeen ? "--package" : "--pid") + " is missing";
        return std::nullopt;
    }
    return out;
}

}  // namespace TarvikRun
