#include "launcher/bubblewrap.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace TarvikRun {

std::optional<std::string> findBubblewrap() {
    if (const char* given = std::getenv("TARVIK_BWRAP"); given && *given) {
        if (::access(given, X_OK) == 0) return std::string(given);
        return std::nullopt;
    }
    const char* path = std::getenv("PATH");
    std::istringstream folders(path && *path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/bwrap";
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

std::string bubblewrapProblem(const std::string& bwrap) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return "no pipe to ask bubblewrap";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 2);
        ::dup2(out[1], 1);
        ::execl(bwrap.c_str(), bwrap.c_str(), "--unshare-user", "--unshare-pid", "--unshare-ipc",
                "--die-with-parent", "--ro-bind", "/", "/", "--proc", "/proc", "--", "/bin/true",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0 && said.size() < 4096;)
        said.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return "bubblewrap cannot be started";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
    const auto end = said.find('\n');
    said = said.substr(0, end);
    return said.empty() ? "bubblewrap failed to make a sandbox" : said;
}

}  // namespace TarvikRun
