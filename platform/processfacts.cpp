#include "platform/processfacts.h"

#include <sys/socket.h>

#include <fstream>
#include <sstream>
#include <string>

namespace Platform::ProcessFacts {

namespace {
// The fields after the command name of /proc/<pid>/stat; the name may hold blanks and
// parentheses, so the split is at the last ')'.
std::optional<std::vector<std::string>> statFields(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!in || !std::getline(in, text)) return std::nullopt;
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream rest(text.substr(close + 1));
    std::vector<std::string> fields;
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;
}
}  // namespace

std::optional<uint64_t> startTime(pid_t pid) {
    const auto fields = statFields(pid);
    // Field 22 of stat; the list starts at field 3 (state).
    if (!fields || fields->size() < 20) return std::nullopt;
    return std::stoull((*fields)[19]);
}

std::optional<pid_t> parentOf(pid_t pid) {
    const auto fields = statFields(pid);
    if (!fields || fields->size() < 2) return std::nullopt;
    return static_cast<pid_t>(std::stol((*fields)[1]));
}

std::vector<pid_t> lineage(pid_t pid) {
    std::vector<pid_t> chain;
    // A chain longer than this is a loop in what we read, not a real process tree.
    for (int depth = 0; pid > 1 && depth < 256; ++depth) {
        chain.push_back(pid);
        const auto parent = parentOf(pid);
        if (!parent) break;
        pid = *parent;
    }
    return chain;
}

pid_t peerPid(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
    return cred.pid;
}

}  // namespace Platform::ProcessFacts
