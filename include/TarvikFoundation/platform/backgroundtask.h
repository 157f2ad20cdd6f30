#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/appserviceconnection.h>
#include <TarvikFoundation/platform/event.h>

namespace Platform {

/// Background task instances: trigger details, deferrals and cancellation.
enum class BackgroundTaskCancellationReason : int32_t {
    Abort = 0,
    Terminating = 1,
    LoggingOff = 2,
    ServicingUpdate = 3,
    IdleTask = 4,
    Uninstall = 5,
    ConditionLoss = 6,
    SystemPolicy = 7,
    QuietHoursEntered = 8,
    ExecutionTimeExceeded = 9,
    ResourceRevocation = 10,
    EnergySaver = 11,
};

/// The reason's name, for logs.
TARVIK_API const char* cancellation_reason_name(BackgroundTaskCancellationReason reason) noexcept;

/// Keeps a background task running after Run returns, until Complete is called.
class TARVIK_API BackgroundTaskDeferral {
  public:
    BackgroundTaskDeferral() = default;
    /// A deferral that runs `onComplete` when completed.
    explicit BackgroundTaskDeferral(std::function<void()> onComplete)
        : state_(std::make_shared<State>()) {
        state_->onComplete = std::move(onComplete);
    }
    /// Whether this is a deferral, not empty.
    explicit operator bool() const noexcept { return state_ != nullptr; }
    /// Ends the deferral; a second call does nothing.
    void Complete() const {
        if (state_ && !state_->done.exchange(true) && state_->onComplete) state_->onComplete();
    }

  private:
    struct State {
        std::atomic<bool> done{false};
        std::function<void()> onComplete;
    };
    std::shared_ptr<State> state_;
};

/// One running background task: its trigger details, deferrals and the Canceled event.
class TARVIK_API BackgroundTaskInstance
    : public std::enable_shared_from_this<BackgroundTaskInstance> {
  public:
    /// Handler of the instance's cancellation, with its reason.
    using CanceledHandler = std::function<void(const std::shared_ptr<BackgroundTaskInstance>&,
                                               BackgroundTaskCancellationReason)>;

    /// An instance for one incoming connection (or none).
    explicit BackgroundTaskInstance(std::optional<AppServiceTriggerDetails> details)
        : details_(std::move(details)) {}

    /// The service name, caller and connection that started the task.
    const std::optional<AppServiceTriggerDetails>& TriggerDetails() const { return details_; }
    /// Keeps the task alive until the deferral completes.
    BackgroundTaskDeferral GetDeferral();
    /// Subscribes to the instance's cancellation.
    event_token Canceled(CanceledHandler handler) { return canceled_.add(std::move(handler)); }
    /// Unsubscribes a cancellation handler.
    void Canceled(event_token token) { canceled_.remove(token); }

    /// The host cancels the instance (once); handlers run on the calling thread.
    void Cancel(BackgroundTaskCancellationReason reason);
    /// Number of deferrals taken and not yet completed.
    int outstandingDeferrals() const { return deferrals_.load(); }

  private:
    std::optional<AppServiceTriggerDetails> details_;
    event<const std::shared_ptr<BackgroundTaskInstance>&, BackgroundTaskCancellationReason>
        canceled_;
    std::atomic<bool> cancelled_{false};
    std::atomic<int> deferrals_{0};
};

/// An in-process background activation, as the host forwards it to the app helper.
struct TARVIK_API BackgroundActivatedEventArgs {
    /// The activated task; its TriggerDetails carry the connection.
    std::shared_ptr<BackgroundTaskInstance> TaskInstance;
};

/// Runs one background task instance per connection that arrives on a service, and
/// cancels it when that connection closes (SystemPolicy: the other side went away).
class TARVIK_API AppServiceTaskHost {
  public:
    /// Receives each activation, e.g. OrvaneAppHelper::OnBackgroundActivated.
    using Activation = std::function<void(const BackgroundActivatedEventArgs&)>;
    /// Listens for the package's service and activates `activation` for every
    /// connection (the in-process topology's host side).
    static std::shared_ptr<AppServiceTaskHost> start(const hstring& packageFamilyName,
                                                     const hstring& serviceName,
                                                     Activation activation);
    /// Cancels every live instance with Terminating and stops listening.
    void stop();
    /// Instances running now.
    std::size_t liveInstances();
    ~AppServiceTaskHost();

    struct Key {
        explicit Key() = default;
    };
    /// Use start().
    explicit AppServiceTaskHost(Key) {}

  private:
    std::shared_ptr<class AppServiceListener> listener_;
    std::mutex m_;
    // Live instances are owned here, as the platform keeps a running task, until cancelled.
    std::vector<std::shared_ptr<BackgroundTaskInstance>> instances_;
};

}  // namespace Platform
