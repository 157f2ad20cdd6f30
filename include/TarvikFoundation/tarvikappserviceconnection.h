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
    /// Answers one request of the other side; the answer must hold "response".
    using CommandHandler = std::function<ValueSet(const ValueSet& request)>;

    /// Attempts of one send before it fails.
    static constexpr int kMaxAttempts = 10;
    /// Back-off after failed attempt t, in milliseconds.
    static constexpr int kBackoffMs[kMaxAttempts] = {300,  500,  1000, 1000,  2000,
                                                     3000, 5000, 8000, 13000, 21000};

    /// A channel without a connection; `name` tags its log lines.
    static std::shared_ptr<TarvikAppServiceConnection> create(std::string name = "_");
    virtual ~TarvikAppServiceConnection();

    /// Attaches a connection (null detaches) and wakes the sends that wait for one;
    /// `uwpExited` cancels them and the retries.
    virtual void setAppServiceConnection(const AppServiceConnection& connection, bool uwpExited);
    /// Caller holds the connection mutex through `lock`.
    virtual void waitForConnection(std::unique_lock<std::recursive_mutex>& lock);

    /// Registers the handler of a command code the other side sends (replacing one).
    void addCommand(int32_t code, CommandHandler handler);
    /// The handler registered for `code`, empty when there is none.
    CommandHandler handlerFor(int32_t code) const;
    /// Waits up to 3 s for the incoming requests in progress to finish.
    void waitForTasks();

    /// Sends with a request id and the pending acknowledgements; waits for a connection
    /// (failing with 0xE101000E after the wait time unless suppressed) and while
    /// suspended; resends with "retry" after failures and "response" 2 or 3 (kBackoffMs).
    Platform::task<AppServiceResponse> sendCommandAsync(ValueSet request);
    /// sendCommandAsync whose outcome is only logged.
    void sendCommandVoid(ValueSet request);
    /// Blocking send: the answer's message (null when none) and its "result" (-1 when
    /// absent); true when "response" is not 1. Raises 0xE101000E when the exchange threw.
    bool sendCommandInt(ValueSet request, ValueSet& responseMessage, int32_t& result);

    /// Dispatches a request of the other side to its handler, once per request id.
    void onRequestReceived(const AppServiceConnection& sender,
                           const Platform::AppServiceRequestReceivedEventArgs& args);
    /// Makes a handler's missing or status-less answer a "response" 1 answer.
    static void createFailedResult(ValueSet& result, uint64_t requestId);
    /// Whether the answer ends the exchange (a status other than 2 or 3).
    static bool isFinalAnswer(const AppServiceResponse& response) noexcept;
    /// Whether a send's outcome calls for another attempt.
    bool shouldRetry(const ValueSet& request, const AppServiceResponse& response,
                     const std::exception_ptr& failure);
    /// Blocks while the application is suspended.
    void waitToResume();
    /// Holds new sends until OnResuming.
    void OnSuspending();
    /// Releases the held sends.
    void OnResuming();

    /// The tag of the log lines.
    const std::string& name() const noexcept { return name_; }
    /// Whether a connection is attached: the manager can reach the helper now.
    bool hasConnection();
    /// Whether the application side has been marked exited.
    bool uwpExited() const noexcept { return uwpExited_.load(); }
    /// Incoming requests being handled.
    int64_t inFlight();

    /// Process-wide settings of waitForConnection.
    static void setConnectionWaitTime(std::chrono::milliseconds wait);
    /// How long a send waits for a connection (15 s unless set).
    static std::chrono::milliseconds connectionWaitTime();
    /// Whether a send that waited in vain fails (the default) or goes on.
    static void setTimeoutIsFatal(bool fatal);
    /// See setTimeoutIsFatal.
    static bool timeoutIsFatal();

  protected:
    /// Use create().
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
