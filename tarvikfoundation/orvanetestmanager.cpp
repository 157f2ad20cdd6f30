#include <mutex>

#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/immortal.h>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"

namespace CommandKeys = Tarvik::CommandKeys;
using Tarvik::keyOf;

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
    auto sent = connection_->sendCommandAsync(request);
    const auto text = [](const Platform::AppServiceResponse& response) -> hstring {
        const ValueSet message = response ? response.Message() : ValueSet(nullptr);
        if (!message) return hstring();
        return message.TryLookupAs<hstring>(CommandKeys::kTestResponse).value_or(hstring());
    };
    // The answer arrives on the socket's reading thread, while it reads. Reading it there
    // saves a hand-off; a log line that will be written is posted as a continuation,
    // which may wait for the disk (a brief wait: the reading is handed on only when
    // more of the read waits behind it).
    if (logReceived && Tarvik::LogWrites("INF")) {
        return Platform::IAsyncOperation<hstring>::from_task(
            sent.then([text](Platform::AppServiceResponse response) {
                TLOG("INF", "received response for kTestDelayMessage");
                return text(response);
            }));
    }
    return Platform::IAsyncOperation<hstring>::from_task(sent.then_inline(text));
}

Platform::IAsyncOperation<hstring> OrvaneTestManager::TestDelayApi(uint64_t delay) {
    TLOG_SCOPE();
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestDelayMessage);
    request.Insert(keyOf(CommandKeys::kTestDelay), delay);
    return sendDelay(request, true);
}

Platform::IAsyncOperation<hstring> OrvaneTestManager::TestDelayApiExt(uint64_t delay,
                                                                      uint64_t value) {
    TLOG_SCOPE();
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestDelayMessage);
    request.Insert(keyOf(CommandKeys::kTestDelay), delay);
    request.Insert(keyOf(CommandKeys::kValue), value);
    return sendDelay(request, false);
}

void OrvaneTestManager::TestAppExitApi() {
    TLOG_SCOPE();
    connection_->sendCommandVoid(Tarvik::createRequest(Tarvik::Commands::kTestAppExit));
}

void OrvaneTestManager::TestKalderApi(int32_t iterations) {
    TLOG_SCOPE();
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestKalder);
    request.Insert(keyOf(CommandKeys::kTestIterations), iterations);
    connection_->sendCommandVoid(request);
}

}  // namespace TarvikFoundation::OrvaneInternal
