#include <mutex>

#include <TarvikFoundation/orvaneappxpermissionmanager.h>
#include <TarvikFoundation/platform/immortal.h>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/messageschema.h"
#include "tarvikfoundation/orvanetemplateutils.h"

namespace CommandKeys = Tarvik::CommandKeys;
using Tarvik::keyOf;

namespace TarvikFoundation {

using Platform::hstring;
using Platform::ValueSet;

OrvaneAppXPermissionManager::OrvaneAppXPermissionManager(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create("AppXPerm")) {}

std::shared_ptr<OrvaneAppXPermissionManager> OrvaneAppXPermissionManager::GetInstance() {
    static std::mutex m;
    static Platform::Immortal<std::shared_ptr<OrvaneAppXPermissionManager>> instance;
    std::lock_guard g(m);
    if (!*instance) *instance = std::make_shared<OrvaneAppXPermissionManager>(Key{});
    return *instance;
}

void OrvaneAppXPermissionManager::setAppServiceConnection(
    const Platform::AppServiceConnection& connection, bool uwpExited) {
    connection_->setAppServiceConnection(connection, uwpExited);
}

Platform::IAsyncOperation<bool> OrvaneAppXPermissionManager::ask(int32_t command,
                                                                 const hstring& folderName,
                                                                 const wchar_t* key) {
    ValueSet request = Tarvik::createRequest(command);
    request.Insert(keyOf(CommandKeys::kAppXFolderName), folderName);
    return OrvaneTemplateUtils::sendForResult<bool>(connection_, request, command, key);
}

Platform::IAsyncOperation<bool> OrvaneAppXPermissionManager::FolderHasAppxPermissions(
    const hstring& folderName) {
    return ask(Tarvik::Commands::kQueryFolderPermission, folderName,
               CommandKeys::kFolderHasAppxPermissions);
}

Platform::IAsyncOperation<bool> OrvaneAppXPermissionManager::SetFolderPermissions(
    const hstring& folderName) {
    return ask(Tarvik::Commands::kSetFolderPermission, folderName,
               CommandKeys::kSetFolderPermissions);
}

}  // namespace TarvikFoundation
