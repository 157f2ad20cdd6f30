#include <mutex>

#include <TarvikFoundation/orvanekaldercontrollermanager.h>
#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/jsonarray.h>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "tarvikfoundation/orvanetemplateutils.h"

namespace CommandKeys = Tarvik::CommandKeys;
using Tarvik::keyOf;

namespace TarvikFoundation {

using Platform::hstring;
using Platform::ValueSet;

OrvaneKalderControllerManager::OrvaneKalderControllerManager(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create("KalderCtl")) {}

std::shared_ptr<OrvaneKalderControllerManager> OrvaneKalderControllerManager::GetInstance() {
    static std::mutex m;
    static Platform::Immortal<std::shared_ptr<OrvaneKalderControllerManager>> instance;
    std::lock_guard g(m);
    if (!*instance) *instance = std::make_shared<OrvaneKalderControllerManager>(Key{});
    return *instance;
}

void OrvaneKalderControllerManager::setAppServiceConnection(
    const Platform::AppServiceConnection& connection, bool uwpExited) {
    connection_->setAppServiceConnection(connection, uwpExited);
}

Platform::IAsyncOperation<bool> OrvaneKalderControllerManager::askBoolean(ValueSet request,
                                                                          int32_t command,
                                                                          const wchar_t* key) {
    return OrvaneTemplateUtils::sendForResult<bool>(connection_, request, command, key);
}

Platform::IAsyncOperation<bool> OrvaneKalderControllerManager::IsAppInstalled(
    const hstring& targetSpecifier) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kIsAppInstalled);
    request.Insert(keyOf(CommandKeys::kTargetSpecifier), targetSpecifier);
    return askBoolean(request, Tarvik::Commands::kIsAppInstalled, CommandKeys::kIsAppInstalled);
}

Platform::IAsyncOperation<bool> OrvaneKalderControllerManager::IsAppAvailable(
    const hstring& targetSpecifier) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kIsAppAvailable);
    request.Insert(keyOf(CommandKeys::kTargetSpecifier), targetSpecifier);
    return askBoolean(request, Tarvik::Commands::kIsAppAvailable, CommandKeys::kIsAppAvailable);
}

Platform::IAsyncOperation<bool> OrvaneKalderControllerManager::LaunchApp(
    const hstring& targetSpecifier, bool focus, const hstring& commandLineArguments) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kLaunchApp);
    request.Insert(keyOf(CommandKeys::kTargetSpecifier), targetSpecifier);
    request.Insert(keyOf(CommandKeys::kFocus), focus);
    request.Insert(keyOf(CommandKeys::kCommandLineArguments), commandLineArguments);
    return askBoolean(request, Tarvik::Commands::kLaunchApp, CommandKeys::kSuccessfullyLaunched);
}

Platform::IAsyncOperation<std::vector<hstring>> OrvaneKalderControllerManager::GetSpecifiers() {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kGetSpecifiers);
    auto self = shared_from_this();
    return Platform::IAsyncOperation<std::vector<hstring>>::from_task(
        connection_->sendCommandAsync(request).then(
            [self](Platform::task<Platform::AppServiceResponse> sent) {
                std::vector<hstring> specifiers;
                try {
                    const ValueSet message = sent.get().Message();
                    if (!message) throw Platform::hresult_error(Platform::E_FAIL_, L"no message");
                    const hstring text = message.LookupAs<hstring>(CommandKeys::kKalderSpecifiers);
                    TLOG("DBG", "got resp %S", text.c_str());
                    const auto array = Platform::JsonArray::Parse(text);
                    for (uint32_t i = 0; i < array.Size(); ++i)
                        specifiers.push_back(array.GetStringAt(i));
                } catch (const Platform::hresult_error& e) {
                    TLOG("CRT", "Exception %d : %S", e.code(), e.message().c_str());
                } catch (...) {
                    TLOG("CRT", "Exception in response");
                }
                return specifiers;
            }));
}

}  // namespace TarvikFoundation
