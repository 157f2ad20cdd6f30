// tarvik-run: starts a package's host program confined in a bubblewrap sandbox, and
// stays outside as its launcher: it starts the package's helper and app-service host
// for it, with arguments it has checked, and vouches for who is calling its services.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <TarvikFoundation/platform/hresult.h>

#include "common/logger.h"
#include "common/programoptions.h"
#include "launcher/bubblewrap.h"
#include "launcher/hostlibraries.h"
#include "launcher/instancelock.h"
#include "launcher/launcherserver.h"
#include "launcher/launchrequests.h"
#include "launcher/packagefolders.h"
#include "launcher/sandboxcommand.h"
#include "launcher/sandboxmanifest.h"
#include "platform/startedprocesses.h"

using namespace TarvikRun;

namespace {

// Starts argv, held back until `release` is called, so that it is known before it runs.
struct HeldChild {
    pid_t pid = -1;
    int gate = -1;
    void release() {
        if (gate < 0) return;
        const char go = 1;
        [[maybe_unused]] const auto n = ::write(gate, &go, 1);
        ::close(gate);
        gate = -1;
    }
};

HeldChild startHeld(const std::vector<std::string>& args) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    int gate[2];
    HeldChild child;
    if (::pipe2(gate, O_CLOEXEC) != 0) return child;
    child.pid = ::fork();
    if (child.pid == 0) {
        char go = 0;
        if (::read(gate[0], &go, 1) != 1) ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(gate[0]);
    child.gate = gate[1];
    return child;
}

int exitCodeOf(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

int main(int argc, char** argv) {
    namespace po = boost::program_options;
    // What follows "--" is the host program's, and is not read here.
    const auto end = std::find(argv + std::min(argc, 1), argv + argc, std::string_view("--"));
    const std::vector<std::string> extra(end + (end == argv + argc ? 0 : 1), argv + argc);
    bool orUnconfined = false;
    std::string manifestPath;
    po::options_description options("Options");
    options.add_options()  //
        ("or-unconfined", po::bool_switch(&orUnconfined),
         "run the host unconfined where bubblewrap cannot run")  //
        ("manifest", po::value(&manifestPath)->required(), "the package's sandbox manifest");
    po::positional_options_description positional;
    positional.add("manifest", 1);
    po::variables_map values;
    if (const auto done = Tarvik::ProgramOptions::readCommandLine(
            static_cast<int>(end - argv), argv,
            {"tarvik-run", "[--or-unconfined] MANIFEST [-- ARGS...]"}, options, values, positional))
        return *done;
    SandboxManifest manifest;
    PackageFolders folders;
    std::unique_ptr<InstanceLock> instance;
    try {
        manifest = readSandboxManifest(manifestPath);
        ::setenv("TARVIK_PACKAGE_MANIFEST", manifest.manifestPath.c_str(), 1);
        folders = preparePackageFolders(manifest.familyName);
        instance = std::make_unique<InstanceLock>(folders.instanceLock, manifest.familyName);
    } catch (const Platform::hresult_error& e) {
        std::fprintf(stderr, "tarvik-run: %s\n", e.message().to_utf8().c_str());
        return 3;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-run: %s\n", e.what());
        return 3;
    }
    Tarvik::ConfigureLogger(2, "RUN");
    Tarvik::SetLogFilePath(Platform::utf8_to_wide(folders.data + "/TempState/Launcher.log"));

    const auto bwrap = findBubblewrap();
    const std::string problem = bwrap ? bubblewrapProblem(*bwrap) : "bwrap is not installed";
    if (!problem.empty()) {
        if (!orUnconfined) {
            std::fprintf(stderr, "tarvik-run: cannot confine %s: %s\n", manifest.familyName.c_str(),
                         problem.c_str());
            return 4;
        }
        std::fprintf(stderr, "tarvik-run: bubblewrap cannot run here (%s); running unconfined\n",
                     problem.c_str());
        TLOG("WRN", "running %s unconfined: %s", manifest.hostProgram.c_str(), problem.c_str());
        std::vector<std::string> args{manifest.hostProgram};
        args.insert(args.end(), manifest.hostArguments.begin(), manifest.hostArguments.end());
        args.insert(args.end(), extra.begin(), extra.end());
        auto child = startHeld(args);
        if (child.pid < 0) return 5;
        child.release();
        return exitCodeOf(child.pid);
    }

    // What the launcher starts for a confined application knows it serves one.
    ::setenv("TARVIK_CONFINED", "1", 1);
    LaunchRequests requests(Platform::Package::Current(), folders.data);
    std::unique_ptr<LauncherServer> server;
    try {
        server = std::make_unique<LauncherServer>(folders.launcherSocket, requests);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-run: %s\n", e.what());
        return 3;
    }
    auto child = startHeld(
        sandboxCommand(*bwrap, manifest, folders, hostLibraries(manifest.hostProgram), extra));
    if (child.pid < 0) {
        std::fprintf(stderr, "tarvik-run: cannot start bubblewrap\n");
        return 5;
    }
    // Known as the application before it runs: its first request finds it recorded.
    Platform::StartedProcesses::record(Platform::hstring::from_utf8(manifest.familyName), child.pid,
                                       Platform::StartedProcesses::Role::Application);
    TLOG("INF", "running %s confined as process %d", manifest.hostProgram.c_str(), child.pid);
    child.release();
    const int code = exitCodeOf(child.pid);
    TLOG("INF", "application ended with %d", code);
    server.reset();
    return code;
}
