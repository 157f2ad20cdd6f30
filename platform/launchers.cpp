#include "platform/launchers.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/launcherclient.h"
#include "platform/package.h"
#include "platform/platformlog.h"
#include "platform/spawnsignals.h"
#include "platform/startedprocesses.h"

extern char** environ;

namespace Platform {

bool spawnDetached(const std::string& program, const std::vector<std::string>& args, int* pidOut) {
    std::vector<std::string> copy;
    copy.push_back(program);
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    defaultSignals(attr, POSIX_SPAWN_SETSID);
    // A detached program logs to its own files; it must not hold the starter's terminal or pipes.
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    // Nor any other descriptor of ours that is not close-on-exec (a listening socket
    // opened by a library, a pipe): it would keep it open for as long as it runs.
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, program.c_str(), &files, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    if (pidOut) *pidOut = pid;
    // Reap it whenever it ends so no zombie stays behind.
    std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
    return true;
}

std::string whyNotRunnable(const std::string& program) {
    if (::access(program.c_str(), X_OK) != 0) return std::strerror(errno);
    struct stat st {};
    if (::stat(program.c_str(), &st) != 0) return std::strerror(errno);
    return S_ISREG(st.st_mode) ? std::string() : "not a file";
}

namespace {
// Why a program could not start, as a launch call's error: a program that is not
// there and one that may not be run are told apart.
hresult_error cannotStart(const std::string& program, int error) {
    const auto code = error == ENOENT                     ? static_cast<hresult>(0x80070002)
                      : error == EACCES || error == EPERM ? static_cast<hresult>(0x80070005)
                                                          : E_FAIL_;
    return hresult_error(
        code, hstring::from_utf8("cannot start " + program + ": " + std::strerror(error)));
}

// A program of the package started by a launch call: the package's helper.
bool startForPackage(const Package& package, const std::string& program,
                     const std::vector<std::string>& args) {
    int pid = 0;
    if (!spawnDetached(program, args, &pid)) {
        PLOG("CRT", "cannot start %s: %s", program.c_str(), std::strerror(errno));
        return false;
    }
    try {
        StartedProcesses::record(package.FamilyName(), pid, StartedProcesses::Role::Helper);
    } catch (const hresult_error&) {
        // No runtime folder to record it in: the program runs, and a listener of the
        // package, which needs that folder too, will not take it for the helper.
    }
    return true;
}
}  // namespace

IAsyncAction FullTrustProcessLauncher::LaunchFullTrustProcessForCurrentAppAsync() {
    return IAsyncAction::from_task(create_task([] {
        // Confined, the launcher outside starts it, with the arguments it has checked.
        if (LauncherClient::socketPath()) {
            const auto answer = LauncherClient::ask({{"type", "launchFullTrust"}});
            if (!LauncherClient::granted(answer, "the full-trust launch"))
                throw hresult_error(
                    static_cast<hresult>(0x80070005),
                    hstring::from_utf8(answer ? answer->value("error", std::string())
                                              : "the launcher cannot be reached"));
            return;
        }
        const auto package = Package::Current();
        if (package->FullTrustProgram().empty())
            throw hresult_error(static_cast<hresult>(0x80070002),
                                L"the package declares no full-trust program");
        if (!startForPackage(*package, package->FullTrustProgram(), {}))
            throw cannotStart(package->FullTrustProgram(), errno);
    }));
}

IAsyncOperation<bool> Launcher::LaunchUriAsync(const hstring& uri) {
    const std::string text = uri.to_utf8();
    return IAsyncOperation<bool>::from_task(create_task([text] {
        const auto colon = text.find(':');
        if (colon == std::string::npos || colon == 0) return false;
        if (LauncherClient::socketPath())
            return LauncherClient::granted(
                LauncherClient::ask({{"type", "launchUri"}, {"uri", text}}), "a URI launch");
        const auto package = Package::Current();
        const auto program = package->ProgramForScheme(text.substr(0, colon));
        return program && startForPackage(*package, *program, {text});
    }));
}

}  // namespace Platform
