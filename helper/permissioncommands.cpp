// Commands 51 and 52: whether a folder grants the package's access, and granting it.
#include "common/commandcodes.h"
#include "common/messageschema.h"
#include "helper/folderpermissions.h"
#include "helper/requestentries.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

using Platform::ValueSet;
using namespace Tarvik;

void registerPermissionCommands(HelperCommands& commands, HelperServices&) {
    commands.add(Commands::kQueryFolderPermission, [](const ValueSet& request) {
        const auto folder = requiredText(request, L"AppXFolderName");
        if (!folder) return createResponse(false);
        return answerWith(L"FolderHasAppxPermissions", folderGrantsAccess(*folder));
    });
    commands.add(Commands::kSetFolderPermission, [](const ValueSet& request) {
        const auto folder = requiredText(request, L"AppXFolderName");
        if (!folder) return createResponse(false);
        return answerWith(L"SetFolderPermissions", grantFolderAccess(*folder));
    });
}

}  // namespace TarvikHelper
