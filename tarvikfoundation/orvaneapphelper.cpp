#include <ctime>
#include <fstream>

#include <TarvikFoundation/orvaneanalyticsmanager.h>
#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvaneappxpermissionmanager.h>
#include <TarvikFoundation/orvaneauthmanager.h>
#include <TarvikFoundation/orvanecarvomanager.h>
#include <TarvikFoundation/orvanecasocketserver.h>
#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/orvanekaldercontrollermanager.h>
#include <TarvikFoundation/orvanemessagehandler.h>
#include <TarvikFoundation/orvaneprocessmonitor.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/orvanewin32apimanager.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "common/appserviceconnectionlock.h"
#include "common/base64.h"
#include "common/commandcodes.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "platform/launchers.h"
#include "platform/package.h"
#include "platform/privatefiles.h"

using namespace Platform::literals;

namespace TarvikFoundation {

using Platform::AppServiceConnection;
using Platform::hresult_error;
using Platform::hstring;

namespace {
unsigned tagOf(const void* identity) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(identity));
}
unsigned tagOf(const AppServiceConnection& c) {
    return tagOf(c.identity());
}
unsigned tagOf(const Platform::ThreadPoolTimer& t) {
    return tagOf(t.identity());
}
std::wstring wide(const std::string& s) {
    return Platform::utf8_to_wide(s);
}
std::wstring b64(const hstring& s) {
    return wide(Tarvik::Base64::encode(s.to_utf8()));
}
const wchar_t* boolText(bool b) {
    return b ? L"true" : L"false";
}
}  // namespace

std::shared_ptr<OrvaneAppHelper> OrvaneAppHelper::create(
    const std::shared_ptr<TRVKConfigOptions>& options) {
    return create<OrvaneAppHelper>(options);
}

void OrvaneAppHelper::validate(const std::shared_ptr<TRVKConfigOptions>& options) {
    if (!options) throw Platform::hresult_invalid_argument(L"options is null");
    if (options->Win32Uri().empty() || options->AppServiceName().empty() ||
        options->ClientId().empty())
        throw Platform::hresult_invalid_argument(
            L"Win32Uri, AppServiceName and ClientId are required");
}

void OrvaneAppHelper::init(const std::shared_ptr<TRVKConfigOptions>& options) {
    serviceName_ = options->AppServiceName();
    win32Uri_ = options->Win32Uri();
    logLevel_ = options->LogLevel();
    appServiceInBackground_ = options->AppServiceInBackground();
    enableLocalhost_ = options->EnableLocalhost();
    enableNetworkLogging_ = options->EnableNetworkLogging();
    reconnectInterval_ = options->ReconnectInterval();
    Tarvik::SetNetworkLogging(enableNetworkLogging_);
    Tarvik::TarvikAppServiceConnection::setTimeoutIsFatal(
        !options->SuppressConnectionTimeoutError());

    const auto package = Platform::Package::Current();
    packageFamilyName_ = package->FamilyName();
    data_ = Platform::ApplicationData::ForPackage(packageFamilyName_);
    temporaryFolder_ = data_->TemporaryFolder();
    localCacheFolder_ = data_->LocalCacheFolder();
    if (appServiceInBackground_) CreateLogLevelFileForBgTask();
    Tarvik::ConfigureLogger(logLevel_, "UWP");
    Tarvik::SetLogFilePath(wide(temporaryFolder_ + "/TRVK.log"));
    TLOG_SCOPE();

    const auto& v = package->Version();
    appVersion_ =
        std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." + std::to_string(v.Build);

    clientId_ = options->ClientId();
    if (options->IsClientIdBase64Encoded()) {
        TLOG("DBG", "base64 dec client ID");
        const auto decoded = Tarvik::Base64::decode(clientId_.to_utf8());
        if (!decoded) throw Platform::hresult_invalid_argument(L"ClientId is not Base64");
        clientId_ = hstring::from_utf8(*decoded);
    }
    OrvaneInternal::OrvaneMessageHandler::GetInstance()->setAppVersion(
        hstring::from_utf8(appVersion_));
    OrvaneAuthManager::GetInstance()->SetClientData(clientId_);
    startStamp_ = std::to_string(static_cast<long long>(std::time(nullptr)));

    {
        std::lock_guard g(lock_);
        connection_ = nullptr;
        deferral_ = {};
    }
    if (auto app = Platform::Application::Current()) {
        std::weak_ptr<OrvaneAppHelper> weak = weak_from_this();
        suspendingToken_ = app->Suspending.add([weak](const Platform::SuspendingEventArgs&) {
            if (auto self = weak.lock()) self->OnSuspending();
        });
        resumingToken_ = app->Resuming.add([weak](const Platform::ResumingEventArgs&) {
            if (auto self = weak.lock()) self->OnResuming();
        });
        application_ = app;
    }
    if (appServiceInBackground_) {
        {
            std::lock_guard g(lock_);
            managersReady_ = false;
        }
        run();
    }
    launchHelper(options);
}

OrvaneAppHelper::~OrvaneAppHelper() {
    cancelReconnectTimer();
    if (auto app = application_.lock()) {
        app->Suspending.remove(suspendingToken_);
        app->Resuming.remove(resumingToken_);
    }
    std::lock_guard g(lock_);
    if (connection_) {
        connection_.RequestReceived(requestToken_);
        connection_.ServiceClosed(closedToken_);
    }
}

Platform::event_token OrvaneAppHelper::HelperAppExitEvent(HelperAppExitEventHandler handler) {
    return helperExit_.add(std::move(handler));
}
void OrvaneAppHelper::HelperAppExitEvent(Platform::event_token token) {
    helperExit_.remove(token);
}
void OrvaneAppHelper::raiseHelperExit(int32_t value) {
    helperExit_(shared_from_this(), value);
}

bool OrvaneAppHelper::managersReady() {
    std::lock_guard g(lock_);
    return managersReady_;
}

AppServiceConnection OrvaneAppHelper::currentConnection() {
    std::lock_guard g(lock_);
    return connection_;
}

void OrvaneAppHelper::distributeConnection(const AppServiceConnection& connection) {
    TLOG("INF", "distribute connection %x", tagOf(connection));
    // Fixed order: auth, message handler, analytics, files, test, Win32 API, Kalder
    // controller, AppX permissions, process monitor, socket server, cart.
    const auto auth = OrvaneAuthManager::GetInstance();
    auth->setAppServiceConnection(connection, false);
    if (connection) auth->startSSOListening();
    OrvaneInternal::OrvaneMessageHandler::GetInstance()->setAppServiceConnection(connection, false);
    OrvaneAnalyticsManager::GetInstance()->setAppServiceConnection(connection, false);
    OrvaneFileManager::GetInstance()->setAppServiceConnection(connection, false);
    OrvaneInternal::OrvaneTestManager::GetInstance()->setAppServiceConnection(connection, false);
    OrvaneWin32ApiManager::GetInstance()->setAppServiceConnection(connection, false);
    OrvaneKalderControllerManager::GetInstance()->setAppServiceConnection(connection, false);
    OrvaneAppXPermissionManager::GetInstance()->setAppServiceConnection(connection, false);
    OrvaneProcessMonitor::GetInstance()->setAppServiceConnection(connection, false);
    OrvaneCASocketServer::GetInstance()->setAppServiceConnection(connection, false);
    OrvaneCarvoManager::GetInstance()->SetAppServiceConnection(connection);
}

void OrvaneAppHelper::CreateLogLevelFileForBgTask() {
    const std::string text =
        std::to_string(logLevel_) + ' ' + (enableNetworkLogging_ ? '1' : '0') + '\n';
    std::string error;
    if (!Platform::PrivateFiles::replaceDurably(temporaryFolder_ + "/logLevel.txt", text, error))
        TLOG("CRT", "Error : %s", error.c_str());
}

std::wstring OrvaneAppHelper::getHelperArgs() {
    const std::string lockPath = localCacheFolder_ + "/" + startStamp_ + "connect.lock";
    if (!appServiceInBackground_) {
        Tarvik::AppServiceConnectionLock::setAppServiceConnectionLock(wide(lockPath));
        if (!Tarvik::AppServiceConnectionLock::signal()) TLOG("CRT", "signal FAILed");
    }
    std::wstring args = L"--pid " + std::to_wstring(::getpid());
    args += L" --package " + b64(packageFamilyName_);
    args += L" --service " + b64(serviceName_);
    args += std::wstring(L" --AppServiceInBackground ") + boolText(appServiceInBackground_);
    args += std::wstring(L" --enableNetworkLogging ") + boolText(enableNetworkLogging_);
    args += L" --client " + b64(clientId_);
    args += L" --ReconnectInterval " + std::to_wstring(reconnectInterval_);
    args += L" --logLevel " + std::to_wstring(logLevel_);
    args += L" --log \"" + wide(temporaryFolder_ + "/Win32Helper.log") + L"\"";
    if (!appServiceInBackground_) args += L" --lock \"" + wide(lockPath) + L"\"";
    if (enableLocalhost_) args += L" --enableLocalhost";
    TLOG("INF", "helper args %S", args.c_str());
    return args;
}

void OrvaneAppHelper::storeLaunchSettings(const std::wstring& args) {
    const auto& settings = data_->Settings();
    settings.Insert(L"logLevel"_hs, logLevel_);
    settings.Insert(L"log"_hs, hstring(wide(temporaryFolder_ + "/fulltrust.log")));
    settings.Insert(L"enableNetworkLogging"_hs, enableNetworkLogging_);
    settings.Insert(L"win32uri"_hs, win32Uri_);
    settings.Remove(L"execpath");
    settings.Insert(L"args"_hs, hstring(args));
}

void OrvaneAppHelper::launchHelper(const std::shared_ptr<TRVKConfigOptions>& options) {
    switch (options->LaunchMethod()) {
        case 0:
            launchFullTrustProc();
            break;
        case 1:
            launchProtocolHandler(options);
            break;
        case 2:
            launchFromWin32Launcher(options);
            break;
        default:
            break;
    }
}

void OrvaneAppHelper::launchFullTrustProc() {
    try {
        // The helper reads its command line from the settings: one that cannot be stored
        // (a data folder that cannot be written) fails the launch like the launch itself.
        storeLaunchSettings(getHelperArgs());
        Platform::FullTrustProcessLauncher::LaunchFullTrustProcessForCurrentAppAsync().get();
    } catch (const hresult_error& e) {
        TLOG("CRT", "Exception LaunchFullTrustProcessForCurrentAppAsync %#X %S",
             static_cast<unsigned>(e.code()), e.message().c_str());
    } catch (...) {
        TLOG("CRT", "Exception LaunchFullTrustProcessForCurrentAppAsync");
    }
}

void OrvaneAppHelper::launchProtocolHandler(const std::shared_ptr<TRVKConfigOptions>& options) {
    const hstring uri(options->Win32Uri().wstr() + L": " + getHelperArgs());
    try {
        if (!Platform::Launcher::LaunchUriAsync(uri).get()) TLOG("CRT", "LaunchUriAsync FAIL");
    } catch (const hresult_error& e) {
        TLOG("CRT", "Exception LaunchUriAsync %#X %S", static_cast<unsigned>(e.code()),
             e.message().c_str());
    } catch (...) {
        TLOG("CRT", "Exception LaunchUriAsync");
    }
}

void OrvaneAppHelper::launchFromWin32Launcher(const std::shared_ptr<TRVKConfigOptions>& options) {
    const auto launcher = options->Win32HelperLauncher();
    if (!launcher) throw Platform::hresult_invalid_argument(L"Win32HelperLauncher is null");
    TLOG("INF", "launch using Win32HelperLauncher");
    Platform::task<bool> launching;
    try {
        const auto op =
            launcher->LaunchAsync(hstring(options->Win32Uri().wstr() + L": " + getHelperArgs()));
        if (!op) throw hresult_error(Platform::E_FAIL_, L"no operation from LaunchAsync");
        launching = op.as_task();
    } catch (...) {
        TLOG("WRN", "Win32HelperLauncher create_task FAILED, trying protocol handler launch");
        launchProtocolHandler(options);
        return;
    }
    // The result arrives later: nothing here waits for the application's launcher.
    auto self = shared_from_this();
    launching.then([self, options](const Platform::task<bool>& done) {
        bool launched = false;
        try {
            launched = done.get();
            if (!launched) TLOG("CRT", "failed to launch win32 helper");
        } catch (const hresult_error& e) {
            TLOG("CRT", "exception %#X %S", static_cast<unsigned>(e.code()), e.message().c_str());
        } catch (...) {
            TLOG("CRT", "exception");
        }
        if (!launched) {
            TLOG("WRN", "Win32HelperLauncher FAILED, trying protocol handler launch");
            self->launchProtocolHandler(options);
        }
    });
}

void OrvaneAppHelper::subscribe(const AppServiceConnection& c) {
    std::lock_guard g(lock_);
    TLOG("INF", "%x", tagOf(c));
    connection_ = c;
    std::weak_ptr<OrvaneAppHelper> weak = weak_from_this();
    closedToken_ = c.ServiceClosed(
        [weak](const AppServiceConnection& s, const Platform::AppServiceClosedEventArgs& a) {
            if (auto self = weak.lock()) self->onServiceClosed(s, a);
        });
    requestToken_ =
        c.RequestReceived([weak](const AppServiceConnection& s,
                                 const Platform::AppServiceRequestReceivedEventArgs& a) {
            if (auto self = weak.lock()) self->onRequestReceived(s, a);
        });
}

void OrvaneAppHelper::unsubscribe(const AppServiceConnection& c) {
    std::lock_guard g(lock_);
    if (!connection_) return;
    if (c == connection_) {
        TLOG("INF", "%x", tagOf(c));
        connection_.ServiceClosed(closedToken_);
        connection_.RequestReceived(requestToken_);
        connection_ = nullptr;
    } else {
        TLOG("WRN", "different connection");
    }
}

void OrvaneAppHelper::useConnection(const AppServiceConnection& c) {
    std::lock_guard g(lock_);
    unsubscribe(connection_);
    subscribe(c);
    if (managersReady_) distributeConnection(connection_);
}

Platform::task<bool> OrvaneAppHelper::run() {
    bool expected = false;
    if (!connectInProgress_.compare_exchange_strong(expected, true) && retriesLeft_.load() != 0) {
        TLOG("WRN", "connection retry #%d", static_cast<int>(7 - retriesLeft_.load()));
        --retriesLeft_;
        scheduleReconnectTimer(std::chrono::milliseconds(500));
        return Platform::task_from_result(false);
    }
    // The opening does not keep the helper alive: a helper its owner let go of while
    // it reopened must not hand the managers a connection after a newer one did.
    std::weak_ptr<OrvaneAppHelper> weak = weak_from_this();
    try {
        unsubscribe(currentConnection());
        AppServiceConnection connection;
        connection.AppServiceName(serviceName_);
        connection.PackageFamilyName(packageFamilyName_);
        TLOG("CRT", "{ OpenAsync %S %S", serviceName_.c_str(), packageFamilyName_.c_str());
        auto op = connection.OpenAsync();
        return op.as_task().then(
            [weak, connection](Platform::task<Platform::AppServiceConnectionStatus> opened) {
                auto self = weak.lock();
                try {
                    const auto status = opened.get();
                    TLOG("CRT", "} OpenAsync %S %x", Platform::connection_status_wname(status),
                         tagOf(connection));
                    if (!self) {
                        TLOG("WRN", "app helper released while opening, connection %x closed",
                             tagOf(connection));
                        connection.Close();
                        return false;
                    }
                    if (status == Platform::AppServiceConnectionStatus::Success) {
                        self->useConnection(connection);
                        self->connectInProgress_ = false;
                        return true;
                    }
                    self->retryConnect();
                } catch (...) {
                    TLOG("CRT", "} OpenAsync exception");
                    if (!self) return false;
                    self->retryConnect();
                }
                self->connectInProgress_ = false;
                return false;
            });
    } catch (...) {
        TLOG("CRT", "} create_task openAsync exception");
        connectInProgress_ = false;
        retryConnect();
        return Platform::task_from_result(false);
    }
}

void OrvaneAppHelper::retryConnect() {
    const uint32_t left = retriesLeft_.load();
    if (!resumed_.load() || left == 0) return;
    scheduleReconnectTimer(kRetryBackoff[kMaxRetries - left]);
    TLOG("CRT", "retry on FAIL #%d", static_cast<int>(7 - left));
    --retriesLeft_;
}

void OrvaneAppHelper::scheduleReconnectTimer(std::chrono::milliseconds delay) {
    std::lock_guard g(timerLock_);
    cancelReconnectTimer();
    std::weak_ptr<OrvaneAppHelper> weak = weak_from_this();
    reconnectTimer_ = Platform::ThreadPoolTimer::CreateTimer(
        [weak](const Platform::ThreadPoolTimer&) {
            if (auto self = weak.lock()) self->run();
        },
        delay);
    TLOG("DBG", "scheduled timer %x", tagOf(reconnectTimer_));
}

void OrvaneAppHelper::cancelReconnectTimer() {
    std::lock_guard g(timerLock_);
    if (!reconnectTimer_) return;
    TLOG("DBG", "cancel periodic timer %x", tagOf(reconnectTimer_));
    reconnectTimer_.Cancel();
    reconnectTimer_ = nullptr;
}

void OrvaneAppHelper::handleConnectionClosed() {
    std::lock_guard g(lock_);
    if (!appServiceInBackground_ && deferral_) {
        deferral_.Complete();
        deferral_ = {};
    }
    distributeConnection(nullptr);
    connection_ = nullptr;
    if (appServiceInBackground_ && resumed_.load() && !connectInProgress_.load()) {
        retriesLeft_ = kMaxRetries;
        scheduleReconnectTimer(std::chrono::milliseconds(0));
    } else {
        TLOG("WRN", "%s",
             !resumed_.load()            ? "!resumed"
             : connectInProgress_.load() ? "connect in progress"
                                         : "app srvc in bg.");
    }
}

void OrvaneAppHelper::onServiceClosed(const AppServiceConnection& sender,
                                      const Platform::AppServiceClosedEventArgs& args) {
    TLOG("CRT", "%x %S", tagOf(sender), Platform::closed_status_wname(args.Status()));
    std::lock_guard g(lock_);
    unsubscribe(sender);
    handleConnectionClosed();
}

void OrvaneAppHelper::onRequestReceived(const AppServiceConnection& sender,
                                        const Platform::AppServiceRequestReceivedEventArgs& args) {
    int32_t command = -1;
    try {
        command = Tarvik::getCommand(args.Request().Message());
    } catch (...) {
        return;
    }
    TLOG("INF", "UWP cmd recv %d connection %x", command, tagOf(sender));
    if (command != Tarvik::Commands::kWin32Reconnected && command != Tarvik::Commands::kWin32Exited)
        return;
    TLOG("INF", "Received %s",
         command == Tarvik::Commands::kWin32Reconnected ? "Reconnected" : "Win32 Exited");
    std::lock_guard g(lock_);
    try {
        const auto status = args.Request().SendResponseAsync(Tarvik::createResponse(true)).get();
        if (status != Platform::AppServiceResponseStatus::Success)
            TLOG("CRT", "ack reconnect/win32 fail %S", Platform::response_status_wname(status));
    } catch (...) {
        TLOG("CRT", "error in send resonse async.");
    }
    if (command == Tarvik::Commands::kWin32Reconnected) {
        if (!(appServiceInBackground_ && managersReady_)) distributeConnection(connection_);
        if (appServiceInBackground_) managersReady_ = true;
    } else if (managersReady_) {
        TLOG("CRT", "Fire HelperAppExitEvent");
        raiseHelperExit(7);
    }
}

void OrvaneAppHelper::OnBackgroundActivated(const Platform::BackgroundActivatedEventArgs& args) {
    TLOG("INF", "OnBackgroundActivated");
    if (appServiceInBackground_ || !args.TaskInstance) return;
    const auto& details = args.TaskInstance->TriggerDetails();
    if (!details || details->Name() != serviceName_) return;
    // Only the helper opens the application's own service, and it names no caller; a
    // caller claiming an application would take the helper's place with the managers.
    if (!details->CallerPackageFamilyName().empty()) {
        TLOG("WRN", "activation refused: the caller names a package, it is not the helper");
        details->Connection().Close();
        return;
    }
    std::lock_guard g(lock_);
    deferral_ = args.TaskInstance->GetDeferral();
    std::weak_ptr<OrvaneAppHelper> weak = weak_from_this();
    args.TaskInstance->Canceled(
        [weak](const std::shared_ptr<Platform::BackgroundTaskInstance>& instance,
               Platform::BackgroundTaskCancellationReason reason) {
            if (auto self = weak.lock()) self->OnBackgroundTaskCanceled(instance, reason);
        });
    subscribe(details->Connection());
}

void OrvaneAppHelper::OnBackgroundTaskCanceled(
    const std::shared_ptr<Platform::BackgroundTaskInstance>&,
    Platform::BackgroundTaskCancellationReason reason) {
    TLOG("INF", "BgTaskCanceled %d", static_cast<int>(reason));
    std::lock_guard g(lock_);
    unsubscribe(connection_);
    if (!appServiceInBackground_) {
        if (reason == Platform::BackgroundTaskCancellationReason::Terminating)
            TLOG("INF", "!signalling app service");
        else if (!Tarvik::AppServiceConnectionLock::signal())
            TLOG("CRT", "signal FAILed");
    }
    handleConnectionClosed();
    if (reason == Platform::BackgroundTaskCancellationReason::SystemPolicy)
        raiseHelperExit(static_cast<int32_t>(reason));
}

void OrvaneAppHelper::OnSuspending() {
    TLOG("WRN", "");
    resumed_ = false;
    cancelReconnectTimer();
}

void OrvaneAppHelper::OnResuming() {
    TLOG("WRN", "");
    std::lock_guard g(lock_);
    resumed_ = true;
    retriesLeft_ = kMaxRetries;
    scheduleReconnectTimer(std::chrono::milliseconds(0));
}

}  // namespace TarvikFoundation
