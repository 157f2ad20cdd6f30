#include "helper/bus/installedapps.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include <TarvikFoundation/platform/applicationdata.h>

#include "common/logger.h"
#include "helper/helperoptions.h"
#include "helper/jsonfile.h"
#include "platform/socketpaths.h"
#include "platform/spawnsignals.h"

extern char** environ;

namespace TarvikHelper {

namespace fs = boost::filesystem;

InstalledApps::InstalledApps(std::string folder) : folder_(std::move(folder)) {
    if (folder_.empty()) folder_ = Platform::ApplicationData::UserDataRoot() + "/applications";
}

bool InstalledApps::record(const InstalledApp& app) {
    try {
        Platform::SocketPaths::validateName(Platform::hstring::from_utf8(app.family),
                                            L"package family name");
    } catch (const std::exception& e) {
        TLOG("CRT", "not recording %s: %s", app.family.c_str(), e.what());
        return false;
    }
    return writeJsonAtomically(
        folder_ + "/" + app.family + ".json",
        nlohmann::json{
            {"family", app.family}, {"manifest", app.manifest}, {"program", app.program}});
}

std::optional<InstalledApp> InstalledApps::find(const std::string& family) const {
    if (family.empty() || family.find('/') != std::string::npos || family[0] == '.')
        return std::nullopt;
    std::ifstream in(folder_ + "/" + family + ".json");
    if (!in) return std::nullopt;
    try {
        const auto j = nlohmann::json::parse(in);
        return InstalledApp{j.at("family").get<std::string>(), j.value("manifest", ""),
                            j.value("program", "")};
    } catch (const nlohmann::json::exception& e) {
        TLOG("WRN", "installed record of %s unreadable: %s", family.c_str(), e.what());
        return std::nullopt;
    }
}

std::vector<std::string> InstalledApps::families() const {
    std::vector<std::string> out;
    boost::system::error_code ec;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path p = it->path();
        if (p.extension() == ".json" && find(p.stem().string())) out.push_back(p.stem().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool InstalledApps::launch(const InstalledApp& app, const std::string& arguments) const {
    // A helper that the launcher started for a confined application would start the other
    // program outside every sandbox, with arguments the confined side chose.
    if (std::getenv("TARVIK_CONFINED")) {
        TLOG("CRT", "not starting %s: the asking application runs confined", app.family.c_str());
        return false;
    }
    if (app.program.empty() || ::access(app.program.c_str(), X_OK) != 0) {
        TLOG("WRN", "%s has no program to start", app.family.c_str());
        return false;
    }
    std::vector<std::string> args{app.program};
    for (auto& a : splitCommandLine(arguments)) args.push_back(std::move(a));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("TARVIK_PACKAGE_MANIFEST=", 0) != 0) env.emplace_back(*e);
    env.push_back("TARVIK_PACKAGE_MANIFEST=" + app.manifest);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    Platform::defaultSignals(attr, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int rc =
        ::posix_spawn(&pid, app.program.c_str(), nullptr, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        TLOG("CRT", "cannot start %s: %s", app.program.c_str(), std::strerror(rc));
        return false;
    }
    TLOG("INF", "started %s as %d", app.family.c_str(), static_cast<int>(pid));
    return true;
}

}  // namespace TarvikHelper
