#include "helper/processes/applicationpids.h"

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <climits>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/logger.h"

namespace TarvikHelper {

namespace {

std::string pidNamespaceOf(const std::string& process) {
    char link[128];
    const auto n = ::readlink(("/proc/" + process + "/ns/pid").c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string();
}

// The ids of a process from the outermost namespace that /proc sees to its own.
std::vector<long> namespacedIds(const std::string& process) {
    std::ifstream status("/proc/" + process + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("NSpid:", 0) != 0) continue;
        std::istringstream in(line.substr(6));
        std::vector<long> ids;
        for (long id = 0; in >> id;) ids.push_back(id);
        return ids;
    }
    return {};
}

}  // namespace

ApplicationPids::ApplicationPids(pid_t application) {
    if (application <= 0) return;
    const std::string theirs = pidNamespaceOf(std::to_string(application));
    const std::string ours = pidNamespaceOf("self");
    if (theirs.empty() || ours.empty()) {
        TLOG("WRN", "pid namespace of application %d unknown; its process ids are taken as ours",
             static_cast<int>(application));
        return;
    }
    if (theirs != ours) {
        namespace_ = theirs;
        TLOG("INF", "application %d names processes in %s", static_cast<int>(application),
             theirs.c_str());
    }
}

std::optional<pid_t> ApplicationPids::toHelper(uint32_t id) const {
    if (id == 0 || id > INT_MAX) return std::nullopt;
    if (namespace_.empty()) return static_cast<pid_t>(id);
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto ids = namespacedIds(name);
        if (ids.size() < 2 || ids.back() != static_cast<long>(id)) continue;
        // Same innermost id in another sandbox is another process.
        if (pidNamespaceOf(name) == namespace_) return static_cast<pid_t>(std::stol(name));
    }
    return std::nullopt;
}

}  // namespace TarvikHelper
