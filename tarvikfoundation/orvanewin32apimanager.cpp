#include <mutex>

#include <TarvikFoundation/orvanewin32apimanager.h>
#include <TarvikFoundation/platform/immortal.h>

#include "common/commandcodes.h"
#include "common/messageschema.h"
#include "tarvikfoundation/orvanetemplateutils.h"

using namespace Platform::literals;

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
    request.Insert(L"KeyCode"_hs, keyCode);
    request.Insert(L"KeyMapType"_hs, mapType);
    return OrvaneTemplateUtils::sendForResult<uint32_t>(
        connection_, request, Tarvik::Commands::kKeyCodeMapping, L"KeyReturnCode");
}

Platform::IAsyncOperation<hstring> OrvaneWin32ApiManager::GetEnvironmentVariableAsync(
    const hstring& name) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kGetEnvironmentVariable);
    request.Insert(L"EnvVariableName"_hs, name);
    return OrvaneTemplateUtils::sendForResult<hstring>(
        connection_, request, Tarvik::Commands::kGetEnvironmentVariable, L"EnvTableEntry");
}

Platform::IAsyncAction OrvaneWin32ApiManager::SetEnvironmentVariableAsync(const hstring& name,
                                                                          const hstring& value) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kSetEnvironmentVariable);
    request.Insert(L"EnvVariableName"_hs, name);
    request.Insert(L"EnvVariableValue"_hs, value);
    auto self = shared_from_this();
    // The answer carries nothing the caller needs; only the exchange's end matters.
    return Platform::IAsyncAction::from_task(
        connection_->sendCommandAsync(request).then([self](Platform::AppServiceResponse) {}));
}

Platform::IAsyncOperation<uint64_t> OrvaneWin32ApiManager::GetKeyboardLayoutAsync(
    uint64_t threadId) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kGetKeyboardLayout);
    request.Insert(L"ThreadId"_hs, threadId);
    return OrvaneTemplateUtils::sendForResult<uint64_t>(
        connection_, request, Tarvik::Commands::kGetKeyboardLayout, L"KeyBoardLayout");
}

}  // namespace TarvikFoundation
