// Command 56: the start of the cart client that the package's manifest names.
#include "common/commandcodes.h"
#include "helper/launch/clientlauncher.h"
#include "helper/requestentries.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

using Platform::ValueSet;
using namespace Tarvik;

void registerCartCommands(HelperCommands& commands, HelperServices&) {
    commands.add(Commands::kCartInvokeClient, [](const ValueSet& request) {
        const auto id = requiredText(request, L"kAppId");
        const auto version = requiredText(request, L"kAppVersion");
        const auto scope = requiredText(request, L"kAppProfileScope");
        const auto path = requiredText(request, L"kAppPath");
        const int32_t status = id && version && scope && path
                                   ? launchCartClient({*id, *version, *scope, *path})
                                   : kCartBadRequest;
        return answerWith(L"kCVErrCode", status);
    });
}

}  // namespace TarvikHelper
