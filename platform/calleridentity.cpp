#include "platform/calleridentity.h"

#include <unistd.h>

#include <algorithm>

#include <TarvikFoundation/platform/hresult.h>

#include "platform/launcherclient.h"
#include "platform/processfacts.h"
#include "platform/startedprocesses.h"

namespace Platform::CallerIdentity {

namespace {
using StartedProcesses::Role;

Verdict accept(const hstring& caller) {
    return {true, caller, {}};
}
Verdict refuse(std::string why) {
    return {false, {}, std::move(why)};
}

// A process that this one started, as an application starts its helper itself.
bool startedByUs(pid_t pid) {
    const auto chain = ProcessFacts::lineage(pid);
    return std::find(chain.begin(), chain.end(), ::getpid()) != chain.end();
}

// A peer outside our pid namespace: we run confined, and only the launcher outside
// can see who it is. It gets the connection itself and reads the peer's credentials.
Verdict askLauncher(int fd, const hstring& family, bool wantsHelper) {
    const auto answer = LauncherClient::ask({{"type", "identify"}}, {fd});
    if (!answer) return refuse("a process outside the sandbox, and the launcher cannot be asked");
    const std::string role = answer->value("role", std::string());
    if (wantsHelper && role == "helper") return accept({});
    if (!wantsHelper && role == "application") return accept(family);
    return refuse("a process outside the sandbox that the launcher knows as '" + role + "'");
}
}  // namespace

Verdict identify(int fd, const hstring& family, const hstring& claimed) {
    const pid_t pid = ProcessFacts::peerPid(fd);
    const bool wantsHelper = claimed.empty();
    if (pid < 0) return refuse("its credentials cannot be read");
    // A process may talk to its own services; what it says of itself is its own word.
    if (pid == ::getpid()) return accept(claimed);
    if (pid == 0) return askLauncher(fd, family, wantsHelper);
    try {
        if (wantsHelper) {
            if (StartedProcesses::startedFor(family, pid, Role::Helper) || startedByUs(pid))
                return accept({});
            return refuse("process " + std::to_string(pid) +
                          " claims to be the helper but was not started for the package");
        }
        // A confined run registers its sandbox: then only processes in it are the
        // application. Without one, an unconfined host is taken at its word.
        if (!StartedProcesses::anyLive(family, Role::Application)) return accept(claimed);
        if (StartedProcesses::startedFor(family, pid, Role::Application)) return accept(family);
        return refuse("process " + std::to_string(pid) +
                      " claims to be the application but runs outside its sandbox");
    } catch (const hresult_error& e) {
        return refuse("its package cannot be checked: " + e.message().to_utf8());
    }
}

}  // namespace Platform::CallerIdentity
