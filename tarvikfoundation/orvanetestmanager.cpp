#include "tarvikfoundation/orvanetestmanager.h"

#include <mutex>

#include "common/commandcodes.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "platform/immortal.h"

namespace TarvikFoundation::OrvaneInternal {

using Platform::hstring;
using Platform::ValueSet;

OrvaneTestManager::OrvaneTestManager(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create("TestMgr")) {}

std::shared_ptr<OrvaneTestManager> OrvaneTestManager::GetInstance() {
    static std::mutex m;
    static Platform::Immortal<std::shared_ptr<OrvaneTestManager>> instance;
    std::lock_guard g(m);
    if (!*instance) *instance = std::make_shared<OrvaneTestManager>(Key{});
    return *instance;
}

void OrvaneTestManager::setAppServiceConnection(const Platform::AppServiceConnection& connection,
                                                bool uwpExited) {
    connection_->setAppServiceConnection(connection, uwpExited);
}

Platform::IAsyncOperation<hstring> OrvaneTestManager::sendDelay(ValueSet request,
                                                                bool logReceived) {
    auto self = shared_from_this();
    auto sent = connection_->sendCommandAsync(request);
    return Platform::IAsyncOperation<hstring>::from_task(
        sent.then([self, logReceived](Platform::AppServiceResponse response) -> hstring {
            const ValueSet message = response ? response.Message() : ValueSet(nullptr);
            if (logReceived) TLOG("INF", "received response for kTestDelayMessage");
            if (message && message.HasKey(L"TestReponse"))
                return message.LookupAs<hstring>(L"TestReponse");
            return hstring();
        }));
}

Platform::IAsyncOperation<hstring> OrvaneTestManager::TestDelayApi(uint64_t delay) {
    TLOG_SCOPE();
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestDelayMessage);
    request.Insert(L"TestDelay", delay);
    return sendDelay(request, true);
}

Platform::IAsyncOperation<hstring> OrvaneTestManager::TestDelayApiExt(uint64_t delay,
                                                                      uint64_t value) {
    TLOG_SCOPE();
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestDelayMessage);
    request.Insert(L"TestDelay", delay);
    request.Insert(L"value", value);
    return sendDelay(request, false);
}

void OrvaneTestManager::TestAppExitApi() {
    TLOG_SCOPE();
    connection_->sendCommandVoid(Tarvik::createRequest(Tarvik::Commands::kTestAppExit));
}

void OrvaneTestManager::TestKalderApi(int32_t iterations) {
    TLOG_SCOPE();
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestKalder);
    request.Insert(L"TestIterations", iterations);
    connection_->sendCommandVoid(request);
}

}  // namespace TarvikFoundation::OrvaneInternal
