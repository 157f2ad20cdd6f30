#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/kaldermessage.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/platform/event.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation::OrvaneInternal {

/// The application's end of the inter-application bus: sends through the helper,
/// queues what the helper forwards (command 37) and delivers it on one worker thread
/// to the MessageReceived event and to the listeners registered for its type.
///
/// Commands: 35 registers the application ("appVersion", blocking, once per connection),
/// 36 sends a message ("message" = type, "payload"), 37 arrives from the helper
/// ("messageType", "payload") and is answered at once with "response" 0. Event handlers
/// and listeners run on the one delivery thread, in arrival order; listeners run under
/// the registry lock and must not add or remove listeners themselves.
class TARVIK_API OrvaneMessageHandler : public std::enable_shared_from_this<OrvaneMessageHandler>,
                                        private Platform::ModuleObject {
  public:
    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneMessageHandler> GetInstance();
    /// Close().
    ~OrvaneMessageHandler();

    /// Command 36 with the message's type and payload; does not register first.
    /// @return the helper's "errorCode"; KalderMessageErrorCode::ExchangeFailed (7),
    ///         logged, when the exchange failed or the answer has no "errorCode"
    /// @throws Platform::hresult_invalid_argument for a null message
    Platform::IAsyncOperation<KalderMessageErrorCode> SendMessage(const KalderMessagePtr& message);
    /// Subscribes to every received message, whatever its type.
    Platform::event_token MessageReceived(KalderMessageHandler handler);
    /// Unsubscribes a handler.
    void MessageReceived(Platform::event_token token);
    /// Registers a listener for the reply type (as AddListener), then sends the message
    /// with command 36 without waiting for the helper's answer.
    /// @param messageType sent as "message"
    /// @param replyType the type to listen for; empty registers nothing and ignores
    ///        `callback`
    /// @param payload sent as "payload"
    /// @param callback receives the reply's payload
    /// @param removeAfterCall whether the listener goes after the first reply
    /// @return the listener id; 0 when registering with the helper failed (nothing is
    ///         sent then) or no reply type was given
    /// @throws Platform::hresult_invalid_argument for a reply type with a null callback
    /// @throws Platform::hresult_error 0xE101000E when the registration exchange threw
    uint32_t SendMessageAndListen(const Platform::hstring& messageType,
                                  const Platform::hstring& replyType,
                                  const Platform::hstring& payload,
                                  OrvaneMessageHandlerDelegate callback, bool removeAfterCall);
    /// Registers a listener for one message type, after the application has registered
    /// with the helper (EnsureRegistered). Listeners of a type are called in the order
    /// they were added; the same callback may be added more than once.
    /// @param messageType the exact type to listen for
    /// @param callback receives the payload
    /// @param removeAfterCall whether the listener goes after its first message
    /// @return the listener id (from 1, never reused); 0 when registering failed
    /// @throws Platform::hresult_invalid_argument for a null callback ("callback NULL")
    /// @throws Platform::hresult_error 0xE101000E when the registration exchange threw
    uint32_t AddListener(const Platform::hstring& messageType,
                         OrvaneMessageHandlerDelegate callback, bool removeAfterCall);
    /// Removes the listener with that id if it is registered under that type.
    void RemoveListener(const Platform::hstring& messageType, uint32_t listenerId);
    /// Removes every listener; ids keep counting on.
    void RemoveAllListeners();
    /// The number of listeners of one type.
    uint64_t GetListenerCount(const Platform::hstring& messageType);
    /// The number of listeners of all types.
    uint64_t GetTotalListenerCount();
    /// The same as RemoveAllListeners.
    void Reset();
    /// Command 35 with "appVersion", unless already registered on this connection;
    /// blocks until the helper answers.
    /// @return whether the application is registered; a failure is tried again next time
    /// @throws Platform::hresult_error 0xE101000E when the exchange threw
    bool EnsureRegistered();
    /// Stops delivery; messages still queued are dropped. Every member raises
    /// hresult_object_closed afterwards.
    void Close();

    /// Used by the app helper: the version sent with command 35.
    void setAppVersion(const Platform::hstring& version);
    /// Used by the app helper for each new connection, which makes the next listener
    /// registration register with the helper again.
    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    /// This manager's channel to the helper.
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    /// Restricts construction to GetInstance.
    struct Key {
        explicit Key() = default;
    };
    /// Use GetInstance; the key keeps other callers out.
    explicit OrvaneMessageHandler(Key);

  private:
    struct Entry {
        OrvaneMessageHandlerDelegate callback;
        uint32_t id;
        bool removeAfterCall;
    };

    Platform::ValueSet ReceiveMessage(const Platform::ValueSet& request);
    void ProcessKalderMessage(const KalderMessagePtr& message);
    void dispatchLoop();
    void throwIfClosed() const;

    Platform::event<const KalderMessagePtr&> messageReceived_;
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
    Platform::hstring appVersion_;
    std::mutex appVersionMutex_;
    std::atomic<bool> registered_{false};
    std::unordered_map<std::string, std::vector<Entry>> registry_;
    std::size_t registrySize_ = 0;
    std::mutex registryMutex_;
    std::atomic<uint32_t> nextId_{0};
    std::thread worker_;
    std::shared_ptr<OrvaneMessageHandler> detachedSelf_;
    std::deque<KalderMessagePtr> queue_;
    std::mutex queueMutex_;
    std::condition_variable queueCondition_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::mutex closeMutex_;
};

}  // namespace TarvikFoundation::OrvaneInternal
