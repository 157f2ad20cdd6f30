#include "tools/call/packageguard.h"

#include <string_view>

#include <TarvikFoundation/platform/hresult.h>

#include "launcher/instancelock.h"
#include "platform/listenerlock.h"
#include "platform/socketpaths.h"
#include "platform/startedprocesses.h"

namespace TarvikCall {

PackageGuard::PackageGuard(const Platform::hstring& familyName,
                           const Platform::hstring& serviceName, bool background) {
    const std::string family = familyName.to_utf8();
    const std::string service = serviceName.to_utf8();
    try {
        instance_ = std::make_unique<TarvikRun::InstanceLock>(
            Platform::SocketPaths::ensureUserFolder(".instances") + "/" + family, family);
    } catch (const std::runtime_error& e) {
        if (std::string_view(e.what()).starts_with("cannot open"))
            throw Refused("package " + family + ": " + e.what());
        // The lock's own text names tarvik-run, but another tarvik-call takes it as well.
        throw Refused("the application of package " + family +
                      " runs under tarvik-run or tarvik-call (the package's instance lock is "
                      "held); one application per package");
    }
    // A helper ends with the application it serves, so a live one means a live application.
    if (Platform::StartedProcesses::anyLive(familyName, Platform::StartedProcesses::Role::Helper))
        throw Refused("the application of package " + family +
                      " is connected (a helper of the package runs); one application per "
                      "package: end it first");
    if (background) return;
    try {
        Platform::SocketPaths::ensurePackageFolder(familyName);
        // Only a probe: the service's host takes the lock for good when it listens.
        Platform::ListenerLock probe(Platform::SocketPaths::servicePath(familyName, serviceName));
    } catch (const Platform::hresult_error& e) {
        if (e.code() == static_cast<Platform::hresult>(0x80070020))
            throw Refused("the application of package " + family +
                          " is connected: another process serves its service " + service +
                          " (the application, or the app-service host of one, which ends 30 s "
                          "after its last connection); one application per package");
        throw Refused("cannot serve " + service + " of package " + family + ": " +
                      e.message().to_utf8());
    }
}

PackageGuard::~PackageGuard() = default;

}  // namespace TarvikCall
