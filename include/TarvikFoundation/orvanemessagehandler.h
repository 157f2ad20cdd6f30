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
class TARVIK_API OrvaneMessageHandler : public std::enable_shared_from_this<OrvaneMessageHandler>,
                                        private Platform::ModuleObject {
  public:
    static std::shared_ptr<OrvaneMessageHandler> GetInstance();
    ~OrvaneMessageHandler();

    Platform::IAsyncOperation<KalderMessageErrorCode> SendMessage(const KalderMessagePtr& message);
    Platform::event_token MessageReceived(KalderMessageHandler handler);
    void MessageReceived(Platform::event_token token);
    uint32_t SendMessageAndListen(const Platform::hstring& messageType,
                                  const Platform::hstring& replyType,
                                  const Platform::hstring& payload,
                                  OrvaneMessageHandlerDelegate callback, bool removeAfterCall);
    uint32_t AddListener(const Platform::hstring& messageType,
                         OrvaneMessageHandlerDelegate callback, bool removeAfterCall);
    void RemoveListener(const Platform::hstring& messageType, uint32_t listenerId);
    void RemoveAllListeners();
    uint64_t GetListenerCount(const Platform::hstring& messageType);
    uint64_t GetTotalListenerCount();
    void Reset();
    bool EnsureRegistered();
    // Stops delivery; messages still queued are dropped. Every member raises
    // hresult_object_closed afterwards.
    void Close();

    /// Used by the app helper: the version sent with command 35, and each new connection
    /// (which makes the next listener registration register again).
    void setAppVersion(const Platform::hstring& version);
    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
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
    std::deque<KalderMessagePtr> queue_;
    std::mutex queueMutex_;
    std::condition_variable queueCondition_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closed_{false};
    std::mutex closeMutex_;
};

}  // namespace TarvikFoundation::OrvaneInternal
