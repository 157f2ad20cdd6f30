#include "helper/processes/processlist.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

namespace TarvikHelper {

namespace {

std::string programName(const std::string& folder) {
    char target[4096];
    const ssize_t n = ::readlink((folder + "/exe").c_str(), target, sizeof target - 1);
    if (n > 0) {
        std::string path(target, static_cast<std::size_t>(n));
        // A program replaced while it runs shows as "/path (deleted)".
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.ends_with(deleted))
            path.resize(path.size() - deleted.size());
        return path.substr(path.rfind('/') + 1);
    }
    std::ifstream in(folder + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

std::vector<RunningProcess> runningProcesses(const std::string& procRoot) {
    std::vector<RunningProcess> out;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(procRoot.c_str()), ::closedir);
    if (!dir) return out;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string id = entry->d_name;
        if (id.empty() || !std::all_of(id.begin(), id.end(), ::isdigit) || id.size() > 10) continue;
        const unsigned long pid = std::stoul(id);
        if (pid > UINT32_MAX) continue;
        std::string name = programName(procRoot + "/" + id);
        if (name.empty()) continue;  // gone meanwhile
        out.push_back({static_cast<uint32_t>(pid), std::move(name)});
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    return out;
}

std::string processListJson(const std::vector<RunningProcess>& processes) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& p : processes) list.push_back({{"ProcID", p.id}, {"ProcName", p.name}});
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace TarvikHelper
