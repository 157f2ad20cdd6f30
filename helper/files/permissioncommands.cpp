// Commands 51 and 52: whether a folder grants the package's access, and granting it.
#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "helper/files/fileoperations.h"
#include "helper/files/folderpermissions.h"
#include "helper/requestentries.h"
#include "helper/responses.h"
#include "helper/servicecommands.h"

namespace TarvikHelper {

using Platform::ValueSet;
using namespace Tarvik;

namespace {

// Folder access is changed, and even told, only inside what the file commands serve.
bool served(const FileRoots& roots, const std::string& folder) {
    if (folder.empty() || folder.front() != '/') return true;  // refused further on
    // The file commands' own check: inside a served folder and reached through no link.
    const auto exists = folderExists(roots, folder);
    if (const auto* refused = std::get_if<FileFailure>(&exists)) {
        TLOG("WRN", "folder permissions of %s: %s", folder.c_str(), refused->text.c_str());
        return false;
    }
    return true;
}

}  // namespace

void registerPermissionCommands(HelperCommands& commands, HelperServices& services) {
    const FileRoots& roots = services.fileRoots;
    commands.add(Commands::kQueryFolderPermission, [&roots](const ValueSet& request) {
        const auto folder = requiredText(request, CommandKeys::kAppXFolderName);
        if (!folder) return refusedBecause("no String AppXFolderName");
        return answerWith(CommandKeys::kFolderHasAppxPermissions,
                          served(roots, *folder) && folderGrantsAccess(*folder));
    });
    commands.add(Commands::kSetFolderPermission, [&roots](const ValueSet& request) {
        const auto folder = requiredText(request, CommandKeys::kAppXFolderName);
        if (!folder) return refusedBecause("no String AppXFolderName");
        return answerWith(CommandKeys::kSetFolderPermissions,
                          served(roots, *folder) && grantFolderAccess(*folder));
    });
}

}  // namespace TarvikHelper
