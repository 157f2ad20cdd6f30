#include "tools/call/applicationsession.h"

#include <future>
#include <thread>
#include <vector>

#include <TarvikFoundation/orvaneanalyticsmanager.h>
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
#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>
#include <TarvikFoundation/trvkconfigoptions.h>

#include "common/commandcodes.h"
#include "common/commandtable.h"
#include "common/messageschema.h"
#include "platform/package.h"
#include "platform/startedprocesses.h"

namespace TarvikCall {

using namespace TarvikFoundation;
using Platform::hstring;
using Platform::ValueSet;
using Channel = std::shared_ptr<Tarvik::TarvikAppServiceConnection>;

namespace {

// Every manager's channel: the handlers of the helper's requests are spread over them.
std::vector<Channel> managerChannels() {
    return {OrvaneAuthManager::GetInstance()->connection(),
            OrvaneInternal::OrvaneMessageHandler::GetInstance()->connection(),
            OrvaneAnalyticsManager::GetInstance()->connection(),
            OrvaneFileManager::GetInstance()->connection(),
            OrvaneInternal::OrvaneTestManager::GetInstance()->connection(),
            OrvaneWin32ApiManager::GetInstance()->connection(),
            OrvaneKalderControllerManager::GetInstance()->connection(),
            OrvaneAppXPermissionManager::GetInstance()->connection(),
            OrvaneProcessMonitor::GetInstance()->connection(),
            OrvaneCASocketServer::GetInstance()->connection(),
            OrvaneCarvoManager::GetInstance()->connection()};
}

// How often a wait looks for the helper, and how long it must be missing to count as
// gone: missing for a moment (an answer may still be on its way, the platform may start
// it again) is not gone yet.
constexpr auto kLivenessCheck = std::chrono::milliseconds(100);
constexpr auto kGoneFor = std::chrono::seconds(1);

Channel sendingChannel() {
    return OrvaneInternal::OrvaneTestManager::GetInstance()->connection();
}

}  // namespace

ApplicationSession::ApplicationSession(const SessionOptions& options)
    : background_(options.background) {
    application_ = Platform::Application::Create();
    const auto package = Platform::Package::Current();
    familyName_ = package->FamilyName();

    auto config = std::make_shared<TRVKConfigOptions>();
    config->AppServiceName(options.serviceName);
    config->ClientId(hstring::from_utf8(options.clientId));
    config->AppServiceInBackground(options.background);
    config->LogLevel(options.logLevel);
    if (options.scheme.empty()) {
        // The full-trust program reads its command line from the package's settings.
        config->LaunchMethod(0);
        config->Win32Uri(L"tarvik-call");
    } else {
        config->LaunchMethod(1);
        config->Win32Uri(hstring::from_utf8(options.scheme));
    }
    if (!options.background)
        host_ = Platform::AppServiceTaskHost::start(
            *familyName_, options.serviceName,
            [this](const Platform::BackgroundActivatedEventArgs& args) {
                std::lock_guard g(helperMutex_);
                if (helper_) helper_->OnBackgroundActivated(args);
            });
    std::lock_guard g(helperMutex_);
    helper_ = OrvaneAppHelper::create(config);
}

ApplicationSession::~ApplicationSession() {
    // The helper would end with this process anyway; ending it first means a
    // tarvik-call started right after finds no helper of the package still running.
    if (sendingChannel()->hasConnection()) {
        sendingChannel()->sendCommandVoid(Tarvik::createRequest(Tarvik::Commands::kTestAppExit));
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < until &&
               Platform::StartedProcesses::anyLive(*familyName_,
                                                   Platform::StartedProcesses::Role::Helper))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (host_) host_->stop();
}

std::optional<Platform::AppServiceResponse> ApplicationSession::send(
    ValueSet request, std::chrono::milliseconds timeout) {
    // The helper is being started: the channel waits for it as long as the caller does.
    Tarvik::TarvikAppServiceConnection::setConnectionWaitTime(timeout);
    auto answer = std::make_shared<std::promise<Platform::AppServiceResponse>>();
    auto future = answer->get_future();
    sendingChannel()
        ->sendCommandAsync(std::move(request))
        .then([answer](const Platform::task<Platform::AppServiceResponse>& done) {
            try {
                answer->set_value(done.get());
            } catch (...) {
                answer->set_exception(std::current_exception());
            }
        });
    // A helper that never started, or ended, cannot answer: that is told at once, not
    // at the end of the wait.
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (future.wait_for(kLivenessCheck) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() >= until) return std::nullopt;
        if (helperGone()) throw HelperNotRunning();
    }
    return future.get();
}

bool ApplicationSession::helperGone() {
    const auto now = std::chrono::steady_clock::now();
    if (Platform::StartedProcesses::anyLive(*familyName_,
                                            Platform::StartedProcesses::Role::Helper)) {
        goneSince_.reset();
        return false;
    }
    if (!goneSince_) goneSince_ = now;
    return now - *goneSince_ >= kGoneFor;
}

void ApplicationSession::watch(std::function<void(const ValueSet&)> seen) {
    auto shared = std::make_shared<std::function<void(const ValueSet&)>>(std::move(seen));
    const auto channels = managerChannels();
    for (const auto& command : Tarvik::CommandTable::all()) {
        if (command.direction != Tarvik::CommandTable::Direction::HelperToApp) continue;
        for (const auto& channel : channels) {
            auto original = channel->handlerFor(command.code);
            if (!original) continue;
            // The channel has already dropped repeats of a request id; the application's
            // own handler still answers, so the helper sees what it would see.
            channel->addCommand(command.code,
                                [shared, original = std::move(original)](const ValueSet& request) {
                                    (*shared)(request);
                                    return original(request);
                                });
        }
    }
}

}  // namespace TarvikCall
