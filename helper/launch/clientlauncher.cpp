#include "helper/launch/clientlauncher.h"

#include <TarvikFoundation/platform/hresult.h>

#include "common/logger.h"
#include "helper/helperoptions.h"
#include "platform/launchers.h"
#include "platform/package.h"

namespace TarvikHelper {

namespace {

std::shared_ptr<const Platform::Package> package() {
    try {
        return Platform::Package::Current();
    } catch (const Platform::hresult_error& e) {
        TLOG("WRN", "no package manifest: %s", e.message().to_utf8().c_str());
        return nullptr;
    }
}

}  // namespace

bool launchClientProgram(const std::string& name, const std::string& parameters) {
    const auto manifest = package();
    const auto program = manifest ? manifest->ClientProgram(name) : std::nullopt;
    if (!program) {
        TLOG("WRN", "the manifest names no client program \"%s\"", name.c_str());
        return false;
    }
    if (!Platform::spawnDetached(*program, splitCommandLine(parameters))) {
        TLOG("CRT", "cannot start client program %s", program->c_str());
        return false;
    }
    TLOG("INF", "started client program %s", program->c_str());
    return true;
}

int32_t launchCartClient(const CartRequest& request) {
    const auto manifest = package();
    if (!manifest || manifest->CartClientProgram().empty()) {
        TLOG("WRN", "the manifest names no cart client");
        return kCartNotConfigured;
    }
    const std::string& program = manifest->CartClientProgram();
    if (!Platform::spawnDetached(
            program, {"--app-id", request.appId, "--app-version", request.appVersion,
                      "--profile-scope", request.profileScope, "--app-path", request.appPath})) {
        TLOG("CRT", "cannot start cart client %s", program.c_str());
        return kCartStartFailed;
    }
    TLOG("INF", "started cart client %s for %s", program.c_str(), request.appId.c_str());
    return kCartStarted;
}

}  // namespace TarvikHelper
