#include "launcher/launchrequests.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <TarvikFoundation/platform/applicationdata.h>

#include "common/commandline.h"
#include "common/logger.h"
#include "launcher/helperarguments.h"
#include "platform/launchers.h"
#include "platform/processfacts.h"
#include "platform/startedprocesses.h"

namespace TarvikRun {

namespace {
using Platform::StartedProcesses::Role;

nlohmann::json refused(const std::string& why) {
    TLOG("CRT", "refused: %s", why.c_str());
    return {{"ok", false}, {"error", why}};
}
nlohmann::json granted() {
    return {{"ok", true}};
}
}  // namespace

LaunchRequests::LaunchRequests(std::shared_ptr<const Platform::Package> package,
                               std::string dataFolder)
    : package_(std::move(package)), dataFolder_(std::move(dataFolder)) {}

nlohmann::json LaunchRequests::answer(const nlohmann::json& request, const std::vector<int>& fds,
                                      pid_t requester) {
    const std::string type = request.value("type", std::string());
    TLOG("INF", "request %s from process %d", type.c_str(), static_cast<int>(requester));
    nlohmann::json result;
    // Only the sandboxed application may ask; the socket is visible to it alone, but
    // any process of the user could find its path outside.
    if (!Platform::StartedProcesses::startedFor(package_->FamilyName(), requester,
                                                Role::Application))
        result = refused("process " + std::to_string(requester) + " is not the application");
    else if (type == "launchFullTrust")
        result = launchFullTrust(requester);
    else if (type == "launchUri")
        result = launchUri(request, requester);
    else if (type == "activate")
        result = activate(request);
    else if (type == "identify")
        result = identify(fds);
    else
        result = refused("unknown request type '" + type + "'");
    for (int fd : fds) ::close(fd);
    return result;
}

nlohmann::json LaunchRequests::startHelper(const std::string& program,
                                           const std::vector<std::string>& args) {
    int pid = 0;
    if (!Platform::spawnDetached(program, args, &pid))
        return refused("cannot start " + program + ": " + std::strerror(errno));
    Platform::StartedProcesses::record(package_->FamilyName(), pid, Role::Helper);
    TLOG("INF", "started %s as process %d", program.c_str(), pid);
    return granted();
}

nlohmann::json LaunchRequests::launchFullTrust(pid_t requester) {
    if (package_->FullTrustProgram().empty())
        return refused("the package declares no full-trust program");
    // The full-trust program's command line is what the application stored; it is
    // checked and handed over directly, so a later change of the settings is not used.
    const auto stored =
        Platform::ApplicationData::ForPackage(package_->FamilyName())->Settings().Lookup(L"args");
    if (!stored || !stored->holds<Platform::hstring>())
        return refused("the package's settings hold no \"args\"");
    std::string error;
    const auto line =
        checkHelperArguments(Platform::unbox_value<Platform::hstring>(*stored).to_utf8(),
                             {package_->FamilyName().to_utf8(), dataFolder_, requester}, error);
    if (!line) return refused(error);
    return startHelper(package_->FullTrustProgram(), Tarvik::splitCommandLine(*line));
}

nlohmann::json LaunchRequests::launchUri(const nlohmann::json& request, pid_t requester) {
    const std::string uri = request.value("uri", std::string());
    const auto colon = uri.find(':');
    if (colon == std::string::npos || colon == 0) return refused("not a URI: " + uri);
    const std::string scheme = uri.substr(0, colon);
    const auto program = package_->ProgramForScheme(scheme);
    if (!program) return refused("the package registers no program for '" + scheme + "'");
    // The helper's command line follows the scheme's colon and one blank.
    const std::string rest = uri.compare(colon, 2, ": ") == 0 ? uri.substr(colon + 2) : "";
    std::string error;
    const auto line = checkHelperArguments(
        rest, {package_->FamilyName().to_utf8(), dataFolder_, requester}, error);
    if (!line) return refused(error);
    return startHelper(*program, {scheme + ": " + *line});
}

nlohmann::json LaunchRequests::activate(const nlohmann::json& request) {
    const auto name = Platform::hstring::from_utf8(request.value("service", std::string()));
    const auto service = package_->FindAppService(name);
    if (!service || service->hostProgram.empty())
        return refused("the package declares no host for the service '" + name.to_utf8() + "'");
    if (!Platform::spawnDetached(
            service->hostProgram,
            {"--package", package_->FamilyName().to_utf8(), "--service", name.to_utf8()}))
        return refused("cannot start " + service->hostProgram + ": " + std::strerror(errno));
    return granted();
}

nlohmann::json LaunchRequests::identify(const std::vector<int>& fds) {
    if (fds.size() != 1) return refused("identify takes one connection");
    // Out here the peer's pid is the real one; inside the sandbox it reads 0.
    const pid_t peer = Platform::ProcessFacts::peerPid(fds[0]);
    const auto& family = package_->FamilyName();
    std::string role = "none";
    if (peer > 0 && Platform::StartedProcesses::startedFor(family, peer, Role::Helper))
        role = "helper";
    else if (peer > 0 && Platform::StartedProcesses::startedFor(family, peer, Role::Application))
        role = "application";
    TLOG("INF", "process %d is %s", static_cast<int>(peer), role.c_str());
    return {{"ok", true}, {"role", role}};
}

}  // namespace TarvikRun
