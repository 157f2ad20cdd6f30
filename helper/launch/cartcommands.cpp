// Command 56: the start of the cart client that the package's manifest names.
#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "helper/launch/clientlauncher.h"
#include "helper/requestentries.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

using Platform::ValueSet;
using namespace Tarvik;

void registerCartCommands(HelperCommands& commands, HelperServices&) {
    commands.add(Commands::kCartInvokeClient, [](const ValueSet& request) {
        const auto id = requiredText(request, CommandKeys::kCartAppId);
        const auto version = requiredText(request, CommandKeys::kCartAppVersion);
        const auto scope = requiredText(request, CommandKeys::kCartAppProfileScope);
        const auto path = requiredText(request, CommandKeys::kCartAppPath);
        const int32_t status = id && version && scope && path
                                   ? launchCartClient({*id, *version, *scope, *path})
                                   : kCartBadRequest;
        return answerWith(CommandKeys::kCartErrorCode, status);
    });
}

}  // namespace TarvikHelper
