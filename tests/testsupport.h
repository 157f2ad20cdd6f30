#pragma once
// Small helpers shared by the test programs.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace TestSupport {

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
  public:
    TempDir() {
        path_ = boost::filesystem::temp_directory_path() /
                boost::filesystem::unique_path("tarvik-test-%%%%-%%%%-%%%%");
        boost::filesystem::create_directories(path_);
    }
    // The standard library's removal: Boost 1.74's traps when an entry vanishes while
    // it walks the tree, as a socket file does when its listener stops on another thread.
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_.string(), ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const boost::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    boost::filesystem::path path_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

// Polls pred for up to `limit` of real time; for waiting on other threads, never on
// the library's clock.
inline bool eventually(const std::function<bool()>& pred,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

// A child that sleeps for `seconds` (as /bin/sleep reads them); 0 when it cannot start.
inline pid_t spawnSleeper(const char* seconds) {
    const char* argv[] = {"/bin/sleep", seconds, nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return 0;
    return pid;
}

// A full disk for this process: writes past `bytes` fail with EFBIG (the signal that
// would end the process is ignored meanwhile).
class DiskFull {
  public:
    explicit DiskFull(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, saved_.rlim_max};
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~DiskFull() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, previous_);
    }
    DiskFull(const DiskFull&) = delete;
    DiskFull& operator=(const DiskFull&) = delete;

  private:
    rlimit saved_{};
    sighandler_t previous_;
};

}  // namespace TestSupport
