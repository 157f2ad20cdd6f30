#include <mutex>

#include <TarvikFoundation/orvanecasocketserver.h>
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

namespace {
std::mutex& instanceMutex() {
    static Platform::Immortal<std::mutex> m;
    return *m;
}
std::shared_ptr<OrvaneCASocketServer>& instanceSlot() {
    static Platform::Immortal<std::shared_ptr<OrvaneCASocketServer>> instance;
    return *instance;
}
}  // namespace

OrvaneCASocketServer::OrvaneCASocketServer()
    : connection_(Tarvik::TarvikAppServiceConnection::create("SocketServer")) {
    // Only the process-wide instance is ever handed connections, and it is never
    // destroyed, so the raw capture cannot dangle while requests arrive.
    connection_->addCommand(
        Tarvik::Commands::kSocketServerRequest,
        [this](const ValueSet& request) { return ProcessRequestCallback(request); });
}

std::shared_ptr<OrvaneCASocketServer> OrvaneCASocketServer::GetInstance() {
    std::lock_guard g(instanceMutex());
    auto& slot = instanceSlot();
    if (!slot) slot = std::make_shared<OrvaneCASocketServer>();
    return slot;
}

bool OrvaneCASocketServer::SetInstance(std::shared_ptr<OrvaneCASocketServer> server) {
    std::lock_guard g(instanceMutex());
    auto& slot = instanceSlot();
    if (slot || !server) return false;
    slot = std::move(server);
    return true;
}

void OrvaneCASocketServer::setAppServiceConnection(const Platform::AppServiceConnection& connection,
                                                   bool uwpExited) {
    connection_->setAppServiceConnection(connection, uwpExited);
}

Platform::IAsyncOperation<uint32_t> OrvaneCASocketServer::Initialize() {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kSocketServerInitialize);
    auto self = shared_from_this();
    return Platform::IAsyncOperation<uint32_t>::from_task(
        connection_->sendCommandAsync(request).then([self](Platform::AppServiceResponse response) {
            TLOG("INF", "received response for command=%d",
                 Tarvik::Commands::kSocketServerInitialize);
            const ValueSet message = response ? response.Message() : ValueSet(nullptr);
            if (!message || !message.HasKey(CommandKeys::kSocketServerPort)) return uint32_t{0};
            const auto port = message.LookupAs<uint32_t>(CommandKeys::kSocketServerPort);
            TLOG("INF", "socket server portNumber = %d", port);
            return port;
        }));
}

void OrvaneCASocketServer::StartListening() {
    TLOG("INF", "");
    if (listening_.exchange(1) != 0) {
        TLOG("WRN", "already listening");
        return;
    }
    connection_->sendCommandVoid(
        Tarvik::createRequest(Tarvik::Commands::kSocketServerStartListening));
}

Platform::event_token OrvaneCASocketServer::RequestReceived(ProcessRequestHandler handler) {
    return requestReceived_.add(std::move(handler));
}

void OrvaneCASocketServer::RequestReceived(Platform::event_token token) {
    requestReceived_.remove(token);
}

Platform::IAsyncAction OrvaneCASocketServer::SendResponse(uint32_t socketNumber,
                                                          const hstring& response) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kSocketServerSendResponse);
    request.Insert(keyOf(CommandKeys::kSocketNumber), socketNumber);
    request.Insert(keyOf(CommandKeys::kResponseString), response);
    TLOG("INF", "client socket(%d): %S", socketNumber, response.c_str());
    auto self = shared_from_this();
    return Platform::IAsyncAction::from_task(
        connection_->sendCommandAsync(request).then([self](Platform::AppServiceResponse) {
            TLOG("INF", "received response for command=%d",
                 Tarvik::Commands::kSocketServerSendResponse);
        }));
}

Platform::IAsyncAction OrvaneCASocketServer::Shutdown() {
    TLOG("INF", "");
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kSocketServerShutdown);
    auto self = shared_from_this();
    return Platform::IAsyncAction::from_task(
        connection_->sendCommandAsync(request).then([self](Platform::AppServiceResponse) {
            TLOG("INF", "received response for command=%d",
                 Tarvik::Commands::kSocketServerShutdown);
            self->listening_.exchange(0);
        }));
}

Platform::IAsyncOperation<bool> OrvaneCASocketServer::LaunchClient(const hstring& filePath,
                                                                   const hstring& parameters) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kSocketServerLaunchClient);
    request.Insert(keyOf(CommandKeys::kFilePathString), filePath);
    request.Insert(keyOf(CommandKeys::kParametersString), parameters);
    TLOG("INF", "launch client %S: %S", filePath.c_str(), parameters.c_str());
    auto self = shared_from_this();
    return Platform::IAsyncOperation<bool>::from_task(
        connection_->sendCommandAsync(request).then([self](Platform::AppServiceResponse response) {
            TLOG("DBG", "received response for command=%d",
                 Tarvik::Commands::kSocketServerLaunchClient);
            const ValueSet message = response ? response.Message() : ValueSet(nullptr);
            if (!message) return false;
            const auto status = message.TryLookupAs<int32_t>(Tarvik::Keys::kResponse);
            return status && *status == 0;
        }));
}

void OrvaneCASocketServer::ProcessRequest(uint32_t socketNumber, const hstring& request) {
    requestReceived_(socketNumber, request);
}

ValueSet OrvaneCASocketServer::ProcessRequestCallback(const ValueSet& request) {
    if (!request.HasKey(CommandKeys::kSocketNumber) ||
        !request.HasKey(CommandKeys::kRequestString)) {
        return Tarvik::createResponse(false);
    }
    const auto socketNumber = request.LookupAs<uint32_t>(CommandKeys::kSocketNumber);
    const auto text = request.LookupAs<hstring>(CommandKeys::kRequestString);
    TLOG("INF", "client socket(%d): %S", socketNumber, text.c_str());
    try {
        ProcessRequest(socketNumber, text);
    } catch (...) {
        TLOG("CRT", "socket(%d): Callback threw an exception", socketNumber);
    }
    return Tarvik::createResponse(true);
}

}  // namespace TarvikFoundation
