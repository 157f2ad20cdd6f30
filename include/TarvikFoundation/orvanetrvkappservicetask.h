#pragma once
#include <chrono>
#include <memory>
#include <string>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/backgroundtask.h>
#include <TarvikFoundation/platform/cancellation.h>
#include <TarvikFoundation/platform/task.h>

namespace TarvikFoundation {

/// The background task that hosts the app service in background mode: relays every
/// request between the application's connection and the helper's, answers "response"
/// 3 when it cannot, and tells the application when the helper has been gone 20 s.
class TARVIK_API OrvaneTRVKAppServiceTask
    : public std::enable_shared_from_this<OrvaneTRVKAppServiceTask>,
      private Platform::ModuleObject {
  public:
    /// Which peer a task's connection belongs to.
    enum Side : int32_t {
        kWin32 = 0,   ///< The helper (its package family name is empty).
        kUwp = 1,     ///< The application.
        kUnknown = 2  ///< Not yet known.
    };
    /// How long a request waits for the other side before it is answered "response" 3.
    static constexpr std::chrono::seconds kRelayWait{5};
    /// How long the helper may be gone before the application is told (command 42).
    static constexpr std::chrono::seconds kWatchdogDelay{20};

    /// Configures the process's logger on first use (TRVKBackgroundTask.log).
    OrvaneTRVKAppServiceTask();
    /// Takes over the instance's connection and relays its requests until it closes.
    void Run(const std::shared_ptr<Platform::BackgroundTaskInstance>& instance);
    /// The side of this task's connection.
    Side side() const { return side_; }

    /// Configures the process's logger from "logLevel.txt" (once per process), in the
    /// temporary folder of `packageFamily`, or of the current package when empty.
    static void initLog(const std::string& packageFamily = {});
    /// Whether the application's connection is held.
    static bool hasUwpConnection();
    /// Whether the helper's connection is held.
    static bool hasWin32Connection();
    /// Whether the helper-gone notice is waiting to fire.
    static bool watchdogPending();
    /// Whether this instance still holds its own connection.
    bool hasConnection() const;

  private:
    void SetConnection(const std::shared_ptr<Platform::BackgroundTaskInstance>& instance);
    Platform::AppServiceConnection getRelayConnection(Side side,
                                                      const Platform::cancellation_token& token);
    // The other side's connection when both are there, without waiting; else null.
    Platform::AppServiceConnection readyRelayConnection(
        const Platform::cancellation_token& token) const;
    static Platform::AppServiceConnection otherSide(Side side);
    void onRequestReceived(const Platform::AppServiceConnection& sender,
                           const Platform::AppServiceRequestReceivedEventArgs& args);
    static Platform::task<void> relay(std::shared_ptr<OrvaneTRVKAppServiceTask> self,
                                      Platform::AppServiceRequestReceivedEventArgs args,
                                      Platform::AppServiceDeferral deferral);
    void OnBackgroundTaskHandleFailure(const Platform::AppServiceRequestReceivedEventArgs& args);
    void OnBackgroundTaskCanceled(const std::shared_ptr<Platform::BackgroundTaskInstance>& instance,
                                  Platform::BackgroundTaskCancellationReason reason);
    // With the relay lock held.
    void closeConnection();
    static void startConnectionWatch();
    static void cancelWatch();
    static bool sendWin32DisconnectedMsg();
    const char* sideName() const;

    Platform::AppServiceConnection connection_{nullptr};
    Platform::event_token requestToken_{};
    Platform::event_token canceledToken_{};
    Platform::BackgroundTaskDeferral deferral_;
    Side side_ = kUnknown;
    Platform::cancellation_token_source cancellation_;
};

}  // namespace TarvikFoundation
