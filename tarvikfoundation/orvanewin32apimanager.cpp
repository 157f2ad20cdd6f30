#include <mutex>

#include <TarvikFoundation/orvanewin32apimanager.h>
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

OrvaneWin32ApiManager::OrvaneWin32ApiManager(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create("Win32Api")) {}

std::shared_ptr<OrvaneWin32ApiManager> OrvaneWin32ApiManager::GetInstance() {
    static std::mutex m;
    static Platform::Immortal<std::shared_ptr<OrvaneWin32ApiManager>> instance;
    std::lock_guard g(m);
    if (!*instance) *instance = std::make_shared<OrvaneWin32ApiManager>(Key{});
    return *instance;
}

void OrvaneWin32ApiManager::setAppServiceConnection(
    const Platform::AppServiceConnection& connection, bool uwpExited) {
    connection_->setAppServiceConnection(connection, uwpExited);
}

Platform::IAsyncOperation<uint32_t> OrvaneWin32ApiManager::MapVirtualKeyAsync(uint32_t keyCode,
                                                                              uint32_t mapType) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kKeyCodeMapping);
    request.Insert(keyOf(CommandKeys::kKeyCode), keyCode);
    request.Insert(keyOf(CommandKeys::kKeyMapType), mapType);
    return OrvaneTemplateUtils::sendForResult<uint32_t>(
        connection_, request, Tarvik::Commands::kKeyCodeMapping, CommandKeys::kKeyReturnCode);
}

Platform::IAsyncOperation<hstring> OrvaneWin32ApiManager::GetEnvironmentVariableAsync(
    const hstring& name) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kGetEnvironmentVariable);
    request.Insert(keyOf(CommandKeys::kEnvVariableName), name);
    return OrvaneTemplateUtils::sendForResult<hstring>(connection_, request,
                                                       Tarvik::Commands::kGetEnvironmentVariable,
                                                       CommandKeys::kEnvTableEntry);
}

Platform::IAsyncAction OrvaneWin32ApiManager::SetEnvironmentVariableAsync(const hstring& name,
                                                                          const hstring& value) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kSetEnvironmentVariable);
    request.Insert(keyOf(CommandKeys::kEnvVariableName), name);
    request.Insert(keyOf(CommandKeys::kEnvVariableValue), value);
    auto self = shared_from_this();
    // The answer carries nothing the caller needs; only the exchange's end matters.
    return Platform::IAsyncAction::from_task(
        connection_->sendCommandAsync(request).then([self](Platform::AppServiceResponse) {}));
}

Platform::IAsyncOperation<uint64_t> OrvaneWin32ApiManager::GetKeyboardLayoutAsync(
    uint64_t threadId) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kGetKeyboardLayout);
    request.Insert(keyOf(CommandKeys::kThreadId), threadId);
    return OrvaneTemplateUtils::sendForResult<uint64_t>(
        connection_, request, Tarvik::Commands::kGetKeyboardLayout, CommandKeys::kKeyBoardLayout);
}

}  // namespace TarvikFoundation
