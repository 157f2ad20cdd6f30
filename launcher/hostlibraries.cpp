#include "launcher/hostlibraries.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace TarvikRun {

std::vector<std::string> hostLibraries(const std::string& program) {
    std::vector<std::string> found;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return found;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::execl("/usr/bin/ldd", "ldd", program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::unique_ptr<FILE, int (*)(FILE*)> in(::fdopen(pipeFds[0], "r"), &std::fclose);
    char line[4096];
    // Lines read "name => /path (0x...)"; the loader itself is "/path (0x...)".
    while (in && std::fgets(line, sizeof line, in.get())) {
        std::string text(line);
        auto arrow = text.find("=> ");
        std::string::size_type start = arrow == std::string::npos ? text.find('/') : arrow + 3;
        if (start == std::string::npos || start >= text.size() || text[start] != '/') continue;
        const auto end = text.find(" (", start);
        found.push_back(
            text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    }
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    return found;
}

}  // namespace TarvikRun
