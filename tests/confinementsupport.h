#pragma once
// A package run confined by tarvik-run for a test: its own home, data and runtime
// folders in a temporary folder, the test host as its program, and what the host
// printed.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base64.h"
#include "testsupport.h"

namespace TestSupport {

// A tarvik-run process and the file its output goes to.
class ConfinedRun {
  public:
    ConfinedRun(const std::string& manifest, const std::string& output,
                const std::vector<std::string>& hostArgs)
        : output_(output) {
        std::vector<std::string> args{TARVIK_RUN_PATH, manifest, "--"};
        args.insert(args.end(), hostArgs.begin(), hostArgs.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&files, 1, 2);
        EXPECT_EQ(::posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
    }
    ~ConfinedRun() {
        if (pid_ > 0 && !exitCode_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    std::string output() const { return readFile(output_); }
    // Whether the output shows `text` within a bounded wait.
    bool shows(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(30)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (output().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    // The exit code, or nullopt when it has not ended within the limit.
    std::optional<int> exitCode(std::chrono::seconds limit = std::chrono::seconds(30)) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!exitCode_ && std::chrono::steady_clock::now() < until) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_)
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return exitCode_;
    }

  private:
    std::string output_;
    pid_t pid_ = -1;
    std::optional<int> exitCode_;
};

// A package whose manifest runs the confinement test host in a sandbox.
class ConfinedPackage {
  public:
    ConfinedPackage() {
        if (const char* home = std::getenv("HOME")) home_ = home;
        static std::atomic<int> next{0};
        family_ = "Tarvik.Confined" + std::to_string(::getpid()) + "." + std::to_string(next++);
        for (const char* sub : {"home", "data", "run", "config", "package"})
            boost::filesystem::create_directories(dir_.file(sub));
        std::ofstream(dir_.file("home/secret.txt")) << "not for the sandbox\n";
        ::setenv("HOME", dir_.file("home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", dir_.file("data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", dir_.file("run").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
        std::ofstream(manifest()) << "{\"familyName\": \"" << family_
                                  << "\", \"version\": \"1.0.0.0\",\n"
                                  << " \"fullTrustProgram\": \"" << TARVIK_HELPER_PATH << "\",\n"
                                  << " \"uriSchemes\": {\"tarvik-test\": \"" << TARVIK_HELPER_PATH
                                  << "\"},\n"
                                  << " \"appServices\": [{\"name\": \"svc\", \"host\": \""
                                  << TARVIK_APPHOST_PATH << "\"}],\n"
                                  << " \"sandbox\": {\"hostProgram\": \""
                                  << TARVIK_CONFINED_HOST_PATH << "\"}}\n";
        ::setenv("TARVIK_PACKAGE_MANIFEST", manifest().c_str(), 1);
    }
    ~ConfinedPackage() {
        if (home_) ::setenv("HOME", home_->c_str(), 1);
    }
    ConfinedPackage(const ConfinedPackage&) = delete;
    ConfinedPackage& operator=(const ConfinedPackage&) = delete;
    std::string manifest() const { return dir_.file("package/manifest.json"); }
    const std::string& family() const { return family_; }
    std::string home() const { return dir_.file("home"); }
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string dataFolder() const { return dir_.file("data") + "/tarvik/" + family_; }
    std::string launcherLog() const { return readFile(dataFolder() + "/TempState/Launcher.log"); }
    std::string logs() const {
        std::string all;
        for (const char* name :
             {"Launcher.log", "TRVK.log", "TRVKBackgroundTask.log", "Win32Helper.log"})
            all +=
                std::string("--- ") + name + "\n" + readFile(dataFolder() + "/TempState/" + name);
        return all;
    }
    std::unique_ptr<ConfinedRun> run(const std::vector<std::string>& hostArgs,
                                     const std::string& outputName = "out.txt") const {
        return std::make_unique<ConfinedRun>(manifest(), dir_.file(outputName), hostArgs);
    }
    // The helpers that the launcher started for the package, by their records.
    std::vector<pid_t> helpers() const {
        std::vector<pid_t> pids;
        boost::system::error_code ec;
        const std::string folder = dir_.file("run") + "/tarvik/.started/" + family_;
        for (boost::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.rfind("helper.", 0) == 0)
                pids.push_back(static_cast<pid_t>(std::stol(name.substr(7))));
        }
        return pids;
    }
    // A line of the helper's command line, as the application builds it.
    std::string helperArgs(const std::string& tail) const {
        return "--pid 1 --package " + Tarvik::Base64::encode(family_) + " --service " +
               Tarvik::Base64::encode("svc") + " --AppServiceInBackground true" + tail;
    }

    // The package's running app-service host, found by its command line, or 0.
    pid_t appHost() const {
        boost::system::error_code ec;
        for (boost::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
             it.increment(ec)) {
            std::string line = readFile(it->path().string() + "/cmdline");
            std::replace(line.begin(), line.end(), '\0', ' ');
            if (line.find("tarvik-apphost") != std::string::npos &&
                line.find(" " + family_ + " ") != std::string::npos)
                return static_cast<pid_t>(std::atol(it->path().filename().c_str()));
        }
        return 0;
    }

  private:
    TempDir dir_;
    std::string family_;
    std::optional<std::string> home_;
};

// Whether a process runs (a zombie that nobody reaped has ended).
inline bool running(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return false;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

}  // namespace TestSupport
