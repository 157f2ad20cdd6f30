#include <mutex>

#include <TarvikFoundation/orvanecarvomanager.h>
#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/immortal.h>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"

namespace CommandKeys = Tarvik::CommandKeys;
using Tarvik::keyOf;

namespace TarvikFoundation {

using Platform::hstring;
using Platform::ValueSet;

OrvaneCarvoManager::OrvaneCarvoManager(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create("Carvo")) {}

std::shared_ptr<OrvaneCarvoManager> OrvaneCarvoManager::GetInstance() {
    static std::mutex m;
    static Platform::Immortal<std::shared_ptr<OrvaneCarvoManager>> instance;
    std::lock_guard g(m);
    if (!*instance) *instance = std::make_shared<OrvaneCarvoManager>(Key{});
    return *instance;
}

void OrvaneCarvoManager::SetAppServiceConnection(const Platform::AppServiceConnection& connection) {
    TLOG_SCOPE();
    connection_->setAppServiceConnection(connection, false);
}

Platform::IAsyncOperation<OrvaneCVInvocationStatus> OrvaneCarvoManager::OrvaneCVInvokeClient(
    const hstring& appId, const hstring& appVersion, const hstring& appProfileScope,
    const hstring& appPath) {
    TLOG("INF", "");
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kCartInvokeClient);
    request.Insert(keyOf(CommandKeys::kCartAppId), appId);
    request.Insert(keyOf(CommandKeys::kCartAppVersion), appVersion);
    request.Insert(keyOf(CommandKeys::kCartAppProfileScope), appProfileScope);
    request.Insert(keyOf(CommandKeys::kCartAppPath), appPath);
    auto self = shared_from_this();
    return Platform::IAsyncOperation<OrvaneCVInvocationStatus>::from_task(
        connection_->sendCommandAsync(request).then([self](Platform::AppServiceResponse response) {
            try {
                TLOG("DBG", "got resp");
                if (!response || !response.Message()) {
                    throw Platform::hresult_error(Platform::E_FAIL_, L"no response message");
                }
                return static_cast<OrvaneCVInvocationStatus>(
                    response.Message().LookupAs<int32_t>(CommandKeys::kCartErrorCode));
            } catch (const Platform::hresult_error& e) {
                TLOG("CRT", "Exception %d : %S", static_cast<int>(e.code()), e.message().c_str());
            } catch (...) {
                TLOG("CRT", "Exception in response");
            }
            return OrvaneCVInvocationStatus::kExchangeFailed;
        }));
}

}  // namespace TarvikFoundation
