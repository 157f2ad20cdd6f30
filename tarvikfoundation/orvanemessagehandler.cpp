#include <algorithm>

#include <TarvikFoundation/orvanemessagehandler.h>
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

namespace {
constexpr const char* kRegistered = "OrvaneMessageHandler";
}

OrvaneMessageHandler::OrvaneMessageHandler(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create(kRegistered)) {
    // The handler outlives its connection object, so a raw capture is safe here.
    connection_->addCommand(Tarvik::Commands::kMessageReceive,
                            [this](const ValueSet& request) { return ReceiveMessage(request); });
    stop_ = false;
    worker_ = std::thread([this] {
        dispatchLoop();
        // Closed from its own event: the handler lives until this thread is done with it.
        auto keep = std::move(detachedSelf_);
    });
}

OrvaneMessageHandler::~OrvaneMessageHandler() {
    Close();
}

std::shared_ptr<OrvaneMessageHandler> OrvaneMessageHandler::GetInstance() {
    static std::mutex m;
    static Platform::Immortal<std::shared_ptr<OrvaneMessageHandler>> instance;
    std::lock_guard g(m);
    if (!*instance) *instance = std::make_shared<OrvaneMessageHandler>(Key{});
    return *instance;
}

void OrvaneMessageHandler::Close() {
    std::lock_guard closing(closeMutex_);
    if (closed_.exchange(true)) return;
    {
        std::lock_guard g(registryMutex_);
        registry_.clear();
        registrySize_ = 0;
    }
    stop_ = true;
    {
        std::lock_guard g(queueMutex_);
        queueCondition_.notify_all();
    }
    if (worker_.joinable()) {
        // Closed from a listener: the worker ends by itself once the callback returns.
        if (worker_.get_id() == std::this_thread::get_id()) {
            detachedSelf_ = weak_from_this().lock();
            worker_.detach();
        } else
            worker_.join();
    }
    {
        std::lock_guard g(queueMutex_);
        queue_.clear();
    }
    connection_->setAppServiceConnection(nullptr, false);
}

void OrvaneMessageHandler::throwIfClosed() const {
    if (closed_) throw Platform::hresult_object_closed();
}

void OrvaneMessageHandler::setAppVersion(const hstring& version) {
    std::lock_guard g(appVersionMutex_);
    appVersion_ = version;
}

void OrvaneMessageHandler::setAppServiceConnection(const Platform::AppServiceConnection& connection,
                                                   bool uwpExited) {
    registered_ = false;
    connection_->setAppServiceConnection(connection, uwpExited);
}

bool OrvaneMessageHandler::EnsureRegistered() {
    throwIfClosed();
    if (registered_) return true;
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kMessageRegister);
    {
        std::lock_guard g(appVersionMutex_);
        request.Insert(keyOf(CommandKeys::kAppVersion), appVersion_);
    }
    ValueSet message(nullptr);
    int32_t result = -1;
    const bool ok = connection_->sendCommandInt(request, message, result);
    registered_ = ok;
    return ok;
}

uint32_t OrvaneMessageHandler::AddListener(const hstring& messageType,
                                           OrvaneMessageHandlerDelegate callback,
                                           bool removeAfterCall) {
    throwIfClosed();
    if (!callback) throw Platform::hresult_invalid_argument(L"callback NULL");
    std::lock_guard g(registryMutex_);
    // Held across the first registration: registry operations wait for command 35.
    if (!EnsureRegistered()) return 0;
    const uint32_t id = ++nextId_;
    registry_[messageType.to_utf8()].push_back(Entry{std::move(callback), id, removeAfterCall});
    ++registrySize_;
    TLOG("DBG", "add %S %d", messageType.c_str(), id);
    return id;
}

void OrvaneMessageHandler::RemoveListener(const hstring& messageType, uint32_t listenerId) {
    throwIfClosed();
    std::lock_guard g(registryMutex_);
    const auto found = registry_.find(messageType.to_utf8());
    if (found == registry_.end()) return;
    auto& entries = found->second;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->id != listenerId) continue;
        TLOG("DBG", "rm %d", listenerId);
        entries.erase(it);
        --registrySize_;
        if (entries.empty()) registry_.erase(found);
        return;
    }
}

void OrvaneMessageHandler::RemoveAllListeners() {
    throwIfClosed();
    std::lock_guard g(registryMutex_);
    registry_.clear();
    registrySize_ = 0;
}

void OrvaneMessageHandler::Reset() {
    RemoveAllListeners();
}

uint64_t OrvaneMessageHandler::GetListenerCount(const hstring& messageType) {
    throwIfClosed();
    std::lock_guard g(registryMutex_);
    const auto found = registry_.find(messageType.to_utf8());
    return found == registry_.end() ? 0 : found->second.size();
}

uint64_t OrvaneMessageHandler::GetTotalListenerCount() {
    throwIfClosed();
    std::lock_guard g(registryMutex_);
    return registrySize_;
}

Platform::event_token OrvaneMessageHandler::MessageReceived(KalderMessageHandler handler) {
    throwIfClosed();
    return messageReceived_.add(std::move(handler));
}

void OrvaneMessageHandler::MessageReceived(Platform::event_token token) {
    throwIfClosed();
    messageReceived_.remove(token);
}

Platform::IAsyncOperation<KalderMessageErrorCode> OrvaneMessageHandler::SendMessage(
    const KalderMessagePtr& message) {
    throwIfClosed();
    if (!message) throw Platform::hresult_invalid_argument(L"message NULL");
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kMessageSend);
    request.Insert(keyOf(CommandKeys::kMessage), message->MessageType());
    request.Insert(keyOf(CommandKeys::kPayload), message->Payload());
    auto self = shared_from_this();
    return Platform::IAsyncOperation<KalderMessageErrorCode>::from_task(
        connection_->sendCommandAsync(request).then(
            // A send that failed or was cancelled ends the operation so; only a reply
            // that cannot be read yields ExchangeFailed.
            [self](const Platform::AppServiceResponse& response) {
                try {
                    TLOG("DBG", "got resp");
                    const ValueSet reply = response.Message();
                    if (!reply) throw Platform::hresult_error(Platform::E_FAIL_, L"no message");
                    return static_cast<KalderMessageErrorCode>(
                        reply.LookupAs<int32_t>(Tarvik::Keys::kErrorCode));
                } catch (const Platform::hresult_error& e) {
                    TLOG("CRT", "Exception %d : %S", e.code(), e.message().c_str());
                } catch (...) {
                    TLOG("CRT", "Exception in response");
                }
                return KalderMessageErrorCode::ExchangeFailed;
            }));
}

uint32_t OrvaneMessageHandler::SendMessageAndListen(const hstring& messageType,
                                                    const hstring& replyType,
                                                    const hstring& payload,
                                                    OrvaneMessageHandlerDelegate callback,
                                                    bool removeAfterCall) {
    throwIfClosed();
    if (!EnsureRegistered()) return 0;
    uint32_t id = 0;
    if (!replyType.empty()) id = AddListener(replyType, std::move(callback), removeAfterCall);
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kMessageSend);
    request.Insert(keyOf(CommandKeys::kMessage), messageType);
    request.Insert(keyOf(CommandKeys::kPayload), payload);
    connection_->sendCommandVoid(request);
    return id;
}

ValueSet OrvaneMessageHandler::ReceiveMessage(const ValueSet& request) {
    // A missing or mistyped key raises; the connection answers the failure.
    const hstring type = request.LookupAs<hstring>(CommandKeys::kMessageType);
    const hstring payload = request.LookupAs<hstring>(CommandKeys::kPayload);
    TLOG("DBG", "recv kalder %S %S", type.c_str(), payload.c_str());
    {
        std::lock_guard g(queueMutex_);
        queue_.push_back(std::make_shared<KalderMessage>(type, payload));
        queueCondition_.notify_all();
    }
    return Tarvik::createResponse(true);
}

void OrvaneMessageHandler::dispatchLoop() {
    while (!stop_) {
        KalderMessagePtr message;
        {
            std::unique_lock lk(queueMutex_);
            queueCondition_.wait(lk, [&] { return !queue_.empty() || stop_; });
            if (stop_) break;
            message = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            ProcessKalderMessage(message);
        } catch (const Platform::hresult_error& e) {
            TLOG("CRT", "listener failed %d : %S", e.code(), e.message().c_str());
        } catch (const std::exception& e) {
            TLOG("CRT", "listener failed: %s", e.what());
        } catch (...) {
            TLOG("CRT", "listener failed");
        }
    }
}

void OrvaneMessageHandler::ProcessKalderMessage(const KalderMessagePtr& message) {
    messageReceived_(message);
    std::lock_guard g(registryMutex_);
    const std::string key = message->MessageType().to_utf8();
    const auto found = registry_.find(key);
    if (found == registry_.end()) {
        TLOG("DBG", "no listeners for %s", key.c_str());
        return;
    }
    // A raising callback ends this message's delivery; entries already called
    // with remove-after-call are still removed.
    std::vector<uint32_t> done;
    struct Cleanup {
        OrvaneMessageHandler& self;
        const std::string& key;
        std::vector<uint32_t>& done;
        ~Cleanup() {
            if (done.empty()) return;
            const auto it = self.registry_.find(key);
            if (it == self.registry_.end()) return;
            auto& entries = it->second;
            std::erase_if(entries, [&](const Entry& e) {
                return std::find(done.begin(), done.end(), e.id) != done.end();
            });
            self.registrySize_ -= done.size();
            if (entries.empty()) self.registry_.erase(it);
        }
    } cleanup{*this, key, done};
    // Callbacks run under the lock and must not touch the registry, so the vector
    // stays valid through the loop.
    for (const Entry& entry : found->second) {
        if (entry.removeAfterCall) done.push_back(entry.id);
        entry.callback(message->Payload());
    }
}

}  // namespace TarvikFoundation::OrvaneInternal
