#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/platform/applicationdata.h>
#include <TarvikFoundation/platform/appserviceconnection.h>
#include <TarvikFoundation/platform/backgroundtask.h>
#include <TarvikFoundation/platform/threadpooltimer.h>
#include <TarvikFoundation/trvkconfigoptions.h>

namespace TarvikFoundation {

/// Starts the full-trust helper, obtains and keeps the connection to it, hands the
/// connection to every manager and tells the host when the helper has gone.
class TARVIK_API OrvaneAppHelper : public std::enable_shared_from_this<OrvaneAppHelper>,
                                   private Platform::ModuleObject {
  public:
    /// Handler of HelperAppExitEvent: `value` is 7 when the helper has exited (or the
    /// in-process connection was cancelled by the system).
    using HelperAppExitEventHandler =
        std::function<void(const std::shared_ptr<OrvaneAppHelper>& sender, int32_t value)>;
    /// Timed reconnect attempts after a failed open, before the count is reset.
    static constexpr uint32_t kMaxRetries = 6;
    /// Reconnect delays after a failed open, indexed by 6 minus retries left.
    static constexpr std::chrono::milliseconds kRetryBackoff[kMaxRetries] = {
        std::chrono::milliseconds(500),  std::chrono::milliseconds(1000),
        std::chrono::milliseconds(1500), std::chrono::milliseconds(2500),
        std::chrono::milliseconds(4000), std::chrono::milliseconds(6500)};

    /// Configures the logger (TRVK.log in the package's TempState), starts the helper by
    /// the options' LaunchMethod and, with AppServiceInBackground, opens the connection
    /// to the app service (retrying with kRetryBackoff). Options are copied; later
    /// changes have no effect.
    /// @throws Platform::hresult_invalid_argument for null options or an empty Win32Uri,
    ///         AppServiceName or ClientId, and for LaunchMethod 2 without a launcher
    static std::shared_ptr<OrvaneAppHelper> create(
        const std::shared_ptr<TRVKConfigOptions>& options);
    /// The same for a class derived from this one, for instance to override
    /// onRequestReceived: Derived is constructed from (Key, args...) and then started
    /// from the options, as this class is.
    template <class Derived, class... Args>
    static std::shared_ptr<Derived> create(const std::shared_ptr<TRVKConfigOptions>& options,
                                           Args&&... args) {
        static_assert(std::is_base_of_v<OrvaneAppHelper, Derived>);
        validate(options);
        auto helper = std::make_shared<Derived>(Key{}, std::forward<Args>(args)...);
        static_cast<OrvaneAppHelper&>(*helper).init(options);
        return helper;
    }
    virtual ~OrvaneAppHelper();

    /// In-process mode: the host forwards each background activation here; an
    /// activation for the configured service becomes the connection to the helper, and
    /// the managers get it once the helper announces itself (command 41).
    void OnBackgroundActivated(const Platform::BackgroundActivatedEventArgs& args);
    /// Subscribes to the helper's exit: raised when the relay reports the helper gone
    /// (command 42) after the managers were ready, and when an in-process connection is
    /// cancelled by the system.
    Platform::event_token HelperAppExitEvent(HelperAppExitEventHandler handler);
    /// Unsubscribes a handler.
    void HelperAppExitEvent(Platform::event_token token);

    /// Hands a connection (or null) to every manager, in the fixed order.
    static void distributeConnection(const Platform::AppServiceConnection& connection);

    /// @name Internal operations, reachable for the host's diagnostics and for tests
    /// @{

    /// The helper's command line (in-process mode: also signals the lock file).
    std::wstring getHelperArgs();
    /// Background mode: opens the connection to the app service; false when it failed
    /// (a retry is then scheduled) or a connect was already under way.
    Platform::task<bool> run();
    /// Schedules the next timed reconnect while retries are left and not suspended.
    void retryConnect();
    /// Stops reconnecting while the application is suspended.
    void OnSuspending();
    /// Resets the retries and reconnects at once.
    void OnResuming();
    /// Timed reconnect attempts left.
    uint32_t retriesLeft() const { return retriesLeft_.load(); }
    /// Whether an open of the connection is under way.
    bool connectInProgress() const { return connectInProgress_.load(); }
    /// Background mode: whether the managers have the connection and the helper has
    /// announced itself (command 41). Stays false in in-process mode, where a
    /// manager's connection()->hasConnection() tells instead.
    bool managersReady();
    /// The connection to the app service or the helper; null while there is none.
    Platform::AppServiceConnection currentConnection();
    /// The client id, decoded when it was given in Base64.
    const Platform::hstring& clientId() const { return clientId_; }
    /// The package version as major.minor.build.
    const std::string& appVersion() const { return appVersion_; }
    /// Seconds since 1970 at creation; names the in-process lock file.
    const std::string& startStamp() const { return startStamp_; }

    /// Restricts construction to create().
    struct Key {
        explicit Key() = default;
    };
    /// Use create(); the key keeps other callers out.
    explicit OrvaneAppHelper(Key) {}
    /// @}

  protected:
    /// Handles commands 41 (the helper is connected: the managers get the connection)
    /// and 42 (the helper has exited: HelperAppExitEvent); answers both with
    /// "response" 0 and leaves every other command to the managers.
    virtual void onRequestReceived(const Platform::AppServiceConnection& sender,
                                   const Platform::AppServiceRequestReceivedEventArgs& args);

  private:
    static void validate(const std::shared_ptr<TRVKConfigOptions>& options);
    void init(const std::shared_ptr<TRVKConfigOptions>& options);
    void subscribe(const Platform::AppServiceConnection& connection);
    void unsubscribe(const Platform::AppServiceConnection& connection);
    void useConnection(const Platform::AppServiceConnection& connection);
    void scheduleReconnectTimer(std::chrono::milliseconds delay);
    void cancelReconnectTimer();
    void handleConnectionClosed();
    void onServiceClosed(const Platform::AppServiceConnection& sender,
                         const Platform::AppServiceClosedEventArgs& args);
    void OnBackgroundTaskCanceled(const std::shared_ptr<Platform::BackgroundTaskInstance>& instance,
                                  Platform::BackgroundTaskCancellationReason reason);
    void launchHelper(const std::shared_ptr<TRVKConfigOptions>& options);
    void launchFullTrustProc();
    void launchProtocolHandler(const std::shared_ptr<TRVKConfigOptions>& options);
    void launchFromWin32Launcher(const std::shared_ptr<TRVKConfigOptions>& options);
    void storeLaunchSettings(const std::wstring& args);
    void CreateLogLevelFileForBgTask();
    void raiseHelperExit(int32_t value);

    Platform::event<const std::shared_ptr<OrvaneAppHelper>&, int32_t> helperExit_;
    std::recursive_mutex lock_;
    Platform::AppServiceConnection connection_{nullptr};
    Platform::event_token requestToken_{};
    Platform::event_token closedToken_{};
    Platform::BackgroundTaskDeferral deferral_;
    Platform::hstring packageFamilyName_;
    Platform::hstring serviceName_;
    Platform::hstring clientId_;
    Platform::hstring win32Uri_;
    uint32_t logLevel_ = 2;
    bool appServiceInBackground_ = true;
    std::string startStamp_;
    bool managersReady_ = false;
    bool enableLocalhost_ = false;
    bool enableNetworkLogging_ = false;
    uint32_t reconnectInterval_ = 20;
    std::atomic<bool> resumed_{true};
    Platform::ThreadPoolTimer reconnectTimer_{nullptr};
    std::recursive_mutex timerLock_;
    // The first connection gets the full back-off.
    std::atomic<uint32_t> retriesLeft_{kMaxRetries};
    std::atomic<bool> connectInProgress_{false};

    std::string appVersion_;
    std::string temporaryFolder_;
    std::string localCacheFolder_;
    std::shared_ptr<Platform::ApplicationData> data_;
    std::weak_ptr<Platform::Application> application_;
    Platform::event_token suspendingToken_{};
    Platform::event_token resumingToken_{};
};

}  // namespace TarvikFoundation
