#include "tools/conformance/helpersandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include <TarvikFoundation/platform/applicationdata.h>

#include "common/base64.h"
#include "platform/privatefiles.h"
#include "platform/startedprocesses.h"

namespace Conformance {

namespace {

std::string makeTemporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvik-conformance.XXXXXX";
    if (!::mkdtemp(pattern.data())) return {};
    return pattern;
}

std::string findProgram(const char* name) {
    for (const char* dir : {"/usr/bin", "/bin"}) {
        const std::string path = std::string(dir) + "/" + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return name;
}

}  // namespace

HelperSandbox::HelperSandbox(bool keep) : root_(makeTemporaryFolder()), keep_(keep) {
    namespace fs = boost::filesystem;
    if (root_.empty()) throw std::runtime_error("cannot create a temporary folder");
    for (const char* sub : {"run", "data", "config/tarvik", "home", "cache", "tmp", "files"})
        fs::create_directories(root_ + "/" + sub);
    ::chmod((root_ + "/run").c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
    ::setenv("HOME", (root_ + "/home").c_str(), 1);
    ::setenv("TMPDIR", (root_ + "/tmp").c_str(), 1);
    ::unsetenv("TARVIK_LAUNCHER_SOCKET");
    ::unsetenv("TARVIK_CONFINED");
    // The helper serves only the sandbox's own folder to the file commands.
    std::ofstream(root_ + "/config/tarvik/helper.json")
        << nlohmann::json{{"fileRoots", {filesFolder()}}}.dump();
    // Client programs and the cart client that the helper may start do nothing.
    const std::string harmless = findProgram("true");
    const nlohmann::json manifest = {{"familyName", kFamily},
                                     {"version", "1.0.0.0"},
                                     {"clientPrograms", {{kClientProgram, harmless}}},
                                     {"cartClient", harmless},
                                     {"appServices", {{{"name", kService}}}}};
    std::ofstream(root_ + "/manifest.json") << manifest.dump(2);
    ::setenv("TARVIK_PACKAGE_MANIFEST", (root_ + "/manifest.json").c_str(), 1);
    fs::create_directories(dataFolder() + "/TempState");
    fs::create_directories(dataFolder() + "/LocalCache");
}

HelperSandbox::~HelperSandbox() {
    stop();
    if (keep_) {
        std::printf("     sandbox kept in %s\n", root_.c_str());
        return;
    }
    boost::system::error_code ignored;
    boost::filesystem::remove_all(root_, ignored);
}

std::string HelperSandbox::dataFolder() const {
    return root_ + "/data/tarvik/" + kFamily;
}

std::string HelperSandbox::lockFile() const {
    return dataFolder() + "/LocalCache/connect.lock";
}

std::string HelperSandbox::helperLog() const {
    return dataFolder() + "/TempState/Win32Helper.log";
}

std::vector<std::string> HelperSandbox::helperArguments() const {
    using Tarvik::Base64::encode;
    return {"--pid",
            std::to_string(::getpid()),
            "--package",
            encode(kFamily),
            "--service",
            encode(kService),
            "--AppServiceInBackground",
            "false",
            "--enableNetworkLogging",
            "false",
            "--client",
            encode("conformance-client-id"),
            "--ReconnectInterval",
            "1",
            "--logLevel",
            "3",
            "--log",
            helperLog(),
            "--lock",
            lockFile()};
}

bool HelperSandbox::start(const std::vector<std::string>& program, bool withArguments,
                          std::string& error) {
    // A helper started by the full-trust launcher reads the same line from the settings.
    std::string line;
    for (const auto& a : helperArguments())
        line +=
            (line.empty() ? "" : " ") + (a.find(' ') != std::string::npos ? "\"" + a + "\"" : a);
    try {
        Platform::ApplicationData::Current()->Settings().Insert(L"args",
                                                                Platform::hstring::from_utf8(line));
    } catch (const std::exception& e) {
        error = std::string("cannot write the launch settings: ") + e.what();
        return false;
    }
    signalReconnect();
    std::vector<std::string> args = program;
    if (withArguments)
        for (const auto& a : helperArguments()) args.push_back(a);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, helperErrors().c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, so that whatever the helper starts ends with it.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int rc = ::posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        pid_ = 0;
        error = "cannot start " + args[0] + ": " + std::strerror(rc);
        return false;
    }
    // This process stands in for the platform's launcher: it started the package's helper.
    try {
        Platform::StartedProcesses::record(Platform::hstring::from_utf8(kFamily), pid_,
                                           Platform::StartedProcesses::Role::Helper);
    } catch (const std::exception& e) {
        error = std::string("cannot record the helper's process: ") + e.what();
        return false;
    }
    return true;
}

bool HelperSandbox::ended(std::string* status) {
    if (!exitStatus_ && pid_ > 0) {
        int s = 0;
        if (::waitpid(pid_, &s, WNOHANG) == pid_) exitStatus_ = s;
    }
    if (!exitStatus_) return pid_ <= 0;
    if (status) {
        const int s = *exitStatus_;
        *status = WIFEXITED(s) ? "exit status " + std::to_string(WEXITSTATUS(s))
                               : "killed by signal " + std::to_string(WTERMSIG(s));
    }
    return true;
}

void HelperSandbox::signalReconnect() const {
    std::string error;
    Platform::PrivateFiles::replaceDurably(lockFile(), std::string(4, '\0'), error);
}

void HelperSandbox::stop() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    if (!exitStatus_) {
        int s = 0;
        ::waitpid(pid_, &s, 0);
        exitStatus_ = s;
    }
    pid_ = 0;
}

}  // namespace Conformance
