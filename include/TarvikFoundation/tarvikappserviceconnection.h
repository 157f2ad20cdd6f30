#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/platform/appserviceconnection.h>
#include <TarvikFoundation/platform/task.h>

namespace Tarvik {

using Platform::AppServiceConnection;
using Platform::AppServiceResponse;
using Platform::ValueSet;

/// The channel object every manager owns: sends requests with ids, acknowledgements,
/// connection waits, retries and suspension gating; dispatches the peer's requests to
/// registered handlers with duplicate suppression.
class TARVIK_API TarvikAppServiceConnection
    : public std::enable_shared_from_this<TarvikAppServiceConnection> {
  public:
    using CommandHandler = std::function<ValueSet(const ValueSet& request)>;

    // Back-off after failed attempt t, in milliseconds.
    static constexpr int kMaxAttempts = 10;
    static constexpr int kBackoffMs[kMaxAttempts] = {300,  500,  1000, 1000,  2000,
                                                     3000, 5000, 8000, 13000, 21000};

    static std::shared_ptr<TarvikAppServiceConnection> create(std::string name = "_");
    virtual ~TarvikAppServiceConnection();

    virtual void setAppServiceConnection(const AppServiceConnection& connection, bool uwpExited);
    /// Caller holds the connection mutex through `lock`.
    virtual void waitForConnection(std::unique_lock<std::recursive_mutex>& lock);

    void addCommand(int32_t code, CommandHandler handler);
    /// The handler registered for `code`, empty when there is none.
    CommandHandler handlerFor(int32_t code) const;
    void waitForTasks();

    Platform::task<AppServiceResponse> sendCommandAsync(ValueSet request);
    void sendCommandVoid(ValueSet request);
    bool sendCommandInt(ValueSet request, ValueSet& responseMessage, int32_t& result);

    void onRequestReceived(const AppServiceConnection& sender,
                           const Platform::AppServiceRequestReceivedEventArgs& args);
    static void createFailedResult(ValueSet& result, uint64_t requestId);
    static bool isFinalAnswer(const AppServiceResponse& response) noexcept;
    bool shouldRetry(const ValueSet& request, const AppServiceResponse& response,
                     const std::exception_ptr& failure);
    void waitToResume();
    void OnSuspending();
    void OnResuming();

    const std::string& name() const noexcept { return name_; }
    bool hasConnection();
    bool uwpExited() const noexcept { return uwpExited_.load(); }
    int64_t inFlight();

    /// Process-wide settings of waitForConnection.
    static void setConnectionWaitTime(std::chrono::milliseconds wait);
    static std::chrono::milliseconds connectionWaitTime();
    static void setTimeoutIsFatal(bool fatal);
    static bool timeoutIsFatal();

  protected:
    explicit TarvikAppServiceConnection(std::string name);

  private:
    static Platform::task<AppServiceResponse> retryLoop(
        std::shared_ptr<TarvikAppServiceConnection> self, ValueSet request,
        Platform::cancellation_token token);
    static Platform::task<void> handlerTask(std::shared_ptr<TarvikAppServiceConnection> self,
                                            CommandHandler handler, AppServiceConnection sender,
                                            Platform::AppServiceRequestReceivedEventArgs args,
                                            std::shared_ptr<class DeferralCompleter> deferral,
                                            Platform::cancellation_token token);
    void subscribeToApplication();
    unsigned connectionTag();
    // One incoming request has ended; wakes whoever waits for the last.
    void countOut();

    std::string name_;
    AppServiceConnection connection_{nullptr};
    std::atomic<bool> uwpExited_{false};
    std::mutex taskMutex_;
    std::condition_variable tasksDone_;
    int64_t inFlight_ = 0;
    std::recursive_mutex connectionMutex_;
    std::condition_variable_any connectionAvailable_;
    std::map<int32_t, CommandHandler> handlers_;
    mutable std::mutex handlersMutex_;
    Platform::event_token requestReceivedToken_{};
    Platform::cancellation_token_source cancellation_;
    std::atomic<bool> resumed_{true};
    std::condition_variable resumeCondition_;
    std::mutex resumeMutex_;
    std::weak_ptr<Platform::Application> application_;
    Platform::event_token suspendingToken_{};
    Platform::event_token resumingToken_{};
    Platform::cancellation_registration resumeOnCancel_;
};

}  // namespace Tarvik
