#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

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
    using HelperAppExitEventHandler =
        std::function<void(const std::shared_ptr<OrvaneAppHelper>& sender, int32_t value)>;
    static constexpr uint32_t kMaxRetries = 6;
    // Reconnect delays after a failed open, indexed by 6 minus retries left.
    static constexpr std::chrono::milliseconds kRetryBackoff[kMaxRetries] = {
        std::chrono::milliseconds(500),  std::chrono::milliseconds(1000),
        std::chrono::milliseconds(1500), std::chrono::milliseconds(2500),
        std::chrono::milliseconds(4000), std::chrono::milliseconds(6500)};

    // Raises hresult_invalid_argument for null options or an empty Win32Uri,
    // AppServiceName or ClientId.
    static std::shared_ptr<OrvaneAppHelper> create(
        const std::shared_ptr<TRVKConfigOptions>& options);
    virtual ~OrvaneAppHelper();

    void OnBackgroundActivated(const Platform::BackgroundActivatedEventArgs& args);
    Platform::event_token HelperAppExitEvent(HelperAppExitEventHandler handler);
    void HelperAppExitEvent(Platform::event_token token);

    /// Hands a connection (or null) to every manager, in the fixed order.
    static void distributeConnection(const Platform::AppServiceConnection& connection);

    // Internal operations, reachable for the host's diagnostics and for tests.
    std::wstring getHelperArgs();
    Platform::task<bool> run();
    void retryConnect();
    void OnSuspending();
    void OnResuming();
    uint32_t retriesLeft() const { return retriesLeft_.load(); }
    bool connectInProgress() const { return connectInProgress_.load(); }
    bool managersReady();
    Platform::AppServiceConnection currentConnection();
    const Platform::hstring& clientId() const { return clientId_; }
    const std::string& appVersion() const { return appVersion_; }
    const std::string& startStamp() const { return startStamp_; }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneAppHelper(Key) {}

  protected:
    virtual void onRequestReceived(const Platform::AppServiceConnection& sender,
                                   const Platform::AppServiceRequestReceivedEventArgs& args);

  private:
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
