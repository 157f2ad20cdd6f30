#include "platform/startedprocesses.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <string>

#include "platform/processfacts.h"
#include "platform/socketpaths.h"

namespace Platform::StartedProcesses {

namespace {
const char* prefix(Role role) {
    return role == Role::Helper ? "helper." : "application.";
}

std::string folderOf(const hstring& family) {
    SocketPaths::validateName(family, L"package family name");
    const std::string folder = SocketPaths::ensureUserFolder(".started") + "/" + family.to_utf8();
    ::mkdir(folder.c_str(), 0700);
    return folder;
}

std::string entryName(Role role, pid_t pid, uint64_t start) {
    return prefix(role) + std::to_string(pid) + "." + std::to_string(start);
}

// Whether an entry names a process that still runs.
bool live(const std::string& name) {
    const auto last = name.rfind('.');
    const auto first = name.find('.');
    if (last == std::string::npos || first == last) return false;
    try {
        const pid_t pid = static_cast<pid_t>(std::stol(name.substr(first + 1, last - first - 1)));
        const auto start = ProcessFacts::startTime(pid);
        return start && std::to_string(*start) == name.substr(last + 1);
    } catch (const std::exception&) {
        return false;
    }
}
}  // namespace

void record(const hstring& family, pid_t pid, Role role) {
    const std::string folder = folderOf(family);
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec))
        if (!live(it->path().filename().string())) boost::filesystem::remove(it->path(), ec);
    const auto start = ProcessFacts::startTime(pid);
    if (!start) return;
    const std::string path = folder + "/" + entryName(role, pid, *start);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
}

bool startedFor(const hstring& family, pid_t pid, Role role) {
    const std::string folder = folderOf(family);
    for (const pid_t p : ProcessFacts::lineage(pid)) {
        const auto start = ProcessFacts::startTime(p);
        if (!start) continue;
        struct stat st {};
        if (::lstat((folder + "/" + entryName(role, p, *start)).c_str(), &st) == 0) return true;
    }
    return false;
}

bool anyLive(const hstring& family, Role role) {
    const std::string folder = folderOf(family);
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with(prefix(role)) && live(name)) return true;
    }
    return false;
}

}  // namespace Platform::StartedProcesses
