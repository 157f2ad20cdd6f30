#pragma once
// What the peer benchmarks share: a temporary folder removed at the end, a child
// process that dies with this one, and the payload sizes of the library's frames.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <string>
#include <vector>

namespace Bench {

class TempFolder {
  public:
    TempFolder()
        : path_(boost::filesystem::temp_directory_path() /
                boost::filesystem::unique_path("tarvik-peer-%%%%%%")) {
        boost::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        boost::system::error_code ec;
        boost::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const boost::filesystem::path& path() const { return path_; }

  private:
    boost::filesystem::path path_;
};

// A program run as a child; it gets SIGTERM when the thread that started it ends, so a
// benchmark that crashes leaves no server or bus daemon behind.
class ChildProcess {
  public:
    // `stdoutFd`, when given, becomes the child's standard output.
    explicit ChildProcess(std::vector<std::string> args, int stdoutFd = -1) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(1);
            if (stdoutFd >= 0) ::dup2(stdoutFd, STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (pid_ < 0) std::perror("fork");
    }
    ~ChildProcess() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

  private:
    pid_t pid_ = -1;
};

// This program's own path, to start it again as the server.
inline std::string selfPath() {
    return boost::filesystem::read_symlink("/proc/self/exe").string();
}

}  // namespace Bench
