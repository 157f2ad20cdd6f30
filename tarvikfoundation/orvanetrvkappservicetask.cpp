#include <boost/filesystem.hpp>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include <TarvikFoundation/orvanetrvkappservicetask.h>
#include <TarvikFoundation/platform/applicationdata.h>
#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/threadpooltimer.h>

#include "common/commandcodes.h"
#include "common/errorcodes.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "platform/package.h"

namespace TarvikFoundation {

using Platform::AppServiceConnection;
using Platform::ValueSet;

namespace {

unsigned tagOf(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}
unsigned tagOf(const AppServiceConnection& c) {
    return tagOf(c.identity());
}

// The slots all task instances of this process share.
struct Relay {
    std::recursive_mutex lock;
    std::condition_variable_any slotFilled;
    AppServiceConnection uwp{nullptr};
    AppServiceConnection win32{nullptr};
    Platform::ThreadPoolTimer watchdog{nullptr};
};

Relay& relayState() {
    static Platform::Immortal<Relay> relay;
    return *relay;
}

void initLogOnce(const std::string& packageFamily) {
    static std::once_flag once;
    std::call_once(once, [&packageFamily] {
        std::string temporary;
        try {
            temporary = (packageFamily.empty() ? Platform::ApplicationData::Current()
                                               : Platform::ApplicationData::ForPackage(
                                                     Platform::hstring::from_utf8(packageFamily)))
                            ->TemporaryFolder();
        } catch (...) {
            temporary = boost::filesystem::temp_directory_path().string();
        }
        const std::string levelFile = temporary + "/logLevel.txt";
        boost::system::error_code ec;
        if (!boost::filesystem::exists(levelFile, ec)) {
            Tarvik::ConfigureLogger(2, "TSK");
        } else {
            try {
                std::ifstream in(levelFile);
                unsigned level = 2;
                int network = 0;
                if (!(in >> level >> network)) throw std::runtime_error("unreadable " + levelFile);
                Tarvik::ConfigureLogger(level, "TSK");
                Tarvik::SetNetworkLogging(network != 0);
                in.close();
                boost::filesystem::remove(levelFile);
            } catch (const std::exception& e) {
                Tarvik::ConfigureLogger(2, "TSK");
                TLOG("CRT", "Error : %s", e.what());
            }
        }
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(temporary + "/TRVKBackgroundTask.log"));
    });
}

uint64_t idOf(const ValueSet& m) {
    auto v = m.TryLookup(Tarvik::Keys::kCommandId);
    return v ? Platform::unbox_value_or<uint64_t>(*v, Tarvik::kNoRequestId) : Tarvik::kNoRequestId;
}
int32_t commandOf(const ValueSet& m) {
    auto v = m.TryLookup(Tarvik::Keys::kCommand);
    return v ? Platform::unbox_value_or<int32_t>(*v, -1) : -1;
}

}  // namespace

void OrvaneTRVKAppServiceTask::initLog(const std::string& packageFamily) {
    initLogOnce(packageFamily);
}

OrvaneTRVKAppServiceTask::OrvaneTRVKAppServiceTask() {
    initLog();
    TLOG("INF", "AppServiceTask %x", tagOf(this));
}

const char* OrvaneTRVKAppServiceTask::sideName() const {
    return side_ == kWin32 ? "Win32" : side_ == kUwp ? "UWP" : "*UNKNOWN";
}

bool OrvaneTRVKAppServiceTask::hasUwpConnection() {
    std::lock_guard g(relayState().lock);
    return static_cast<bool>(relayState().uwp);
}
bool OrvaneTRVKAppServiceTask::hasWin32Connection() {
    std::lock_guard g(relayState().lock);
    return static_cast<bool>(relayState().win32);
}
bool OrvaneTRVKAppServiceTask::watchdogPending() {
    std::lock_guard g(relayState().lock);
    return static_cast<bool>(relayState().watchdog);
}
bool OrvaneTRVKAppServiceTask::hasConnection() const {
    std::lock_guard g(relayState().lock);
    return static_cast<bool>(connection_);
}

void OrvaneTRVKAppServiceTask::Run(
    const std::shared_ptr<Platform::BackgroundTaskInstance>& instance) {
    const auto& details = instance->TriggerDetails();
    if (!details) return;
    SetConnection(instance);
    std::weak_ptr<OrvaneTRVKAppServiceTask> weak = weak_from_this();
    // The instance keeps its task alive until it is cancelled.
    auto self = shared_from_this();
    canceledToken_ =
        instance->Canceled([self](const std::shared_ptr<Platform::BackgroundTaskInstance>& i,
                                  Platform::BackgroundTaskCancellationReason reason) {
            self->OnBackgroundTaskCanceled(i, reason);
        });
    connection_ = details->Connection();
    deferral_ = instance->GetDeferral();
    // The relay blocks nowhere once both sides are connected, so it starts on the thread
    // that read the request, as a plain relay would; it moves to the pool to wait.
    connection_.DeliverRequestsInline(true);
    requestToken_ = connection_.RequestReceived(
        [weak](const AppServiceConnection& sender,
               const Platform::AppServiceRequestReceivedEventArgs& args) {
            if (auto s = weak.lock()) s->onRequestReceived(sender, args);
        });
}

void OrvaneTRVKAppServiceTask::SetConnection(
    const std::shared_ptr<Platform::BackgroundTaskInstance>& instance) {
    auto& r = relayState();
    std::lock_guard g(r.lock);
    const auto& details = instance->TriggerDetails();
    if (!details) {
        TLOG("CRT", "unhandled trigger instance.");
        return;
    }
    TLOG("DBG", "%S %S", details->Name().c_str(), details->CallerPackageFamilyName().c_str());
    if (!details->CallerPackageFamilyName().empty()) {
        if (r.uwp) TLOG("DBG", "Overwrite UWP Connection");
        side_ = kUwp;
        r.uwp = details->Connection();
        TLOG("INF", "UWP connection %x %S", tagOf(r.uwp),
             details->CallerPackageFamilyName().c_str());
    } else {
        if (r.win32) TLOG("DBG", "Overwrite Win32 Connection");
        side_ = kWin32;
        r.win32 = details->Connection();
        TLOG("INF", "Win32 connection %x", tagOf(r.win32));
        cancelWatch();
    }
    r.slotFilled.notify_all();
}

AppServiceConnection OrvaneTRVKAppServiceTask::getRelayConnection(
    Side side, const Platform::cancellation_token& token) {
    auto& r = relayState();
    std::unique_lock lk(r.lock);
    const bool both = Platform::Clock::instance().wait_for(
        r.slotFilled, lk, kRelayWait, [&] { return (r.uwp && r.win32) || token.is_canceled(); });
    if (token.is_canceled()) {
        TLOG("WRN", "task cancelled while wait for relay");
        return nullptr;
    }
    if (!both) TLOG("CRT", "unsatisfied cond var win32 %x uwp %x", tagOf(r.win32), tagOf(r.uwp));
    if (side != kWin32 && side != kUwp) TLOG("CRT", "unknown task handler.");
    return otherSide(side);
}

// With the relay lock held.
AppServiceConnection OrvaneTRVKAppServiceTask::otherSide(Side side) {
    auto& r = relayState();
    if (side == kWin32) return r.uwp;
    if (side == kUwp) return r.win32;
    return nullptr;
}

void OrvaneTRVKAppServiceTask::onRequestReceived(
    const AppServiceConnection&, const Platform::AppServiceRequestReceivedEventArgs& args) {
    // A cancellation that gets the lock finds every relay either not begun or started.
    // Nothing in the start blocks: a relay waits for the other side on the pool.
    std::lock_guard g(relayState().lock);
    relay(shared_from_this(), args, args.GetDeferral());
}

AppServiceConnection OrvaneTRVKAppServiceTask::readyRelayConnection(
    const Platform::cancellation_token& token) const {
    auto& r = relayState();
    std::lock_guard g(r.lock);
    if (!r.uwp || !r.win32 || token.is_canceled()) return nullptr;
    return otherSide(side_);
}

namespace {
bool hasResponseKey(const Platform::AppServiceResponse& response) {
    return response && response.Message() && response.Message().HasKey(Tarvik::Keys::kResponse);
}
}  // namespace

Platform::task<void> OrvaneTRVKAppServiceTask::relay(
    std::shared_ptr<OrvaneTRVKAppServiceTask> self,
    Platform::AppServiceRequestReceivedEventArgs args, Platform::AppServiceDeferral deferral) {
    const ValueSet message = args.Request().Message();
    const uint64_t id = idOf(message);
    bool relayed = false;
    bool answered = false;
    try {
        // Relay step. Waiting for the other side is for a pool thread, never for the
        // thread that reads this connection.
        const auto token = self->cancellation_.get_token();
        AppServiceConnection target = self->readyRelayConnection(token);
        if (!target) {
            co_await Platform::resume_background();
            target = self->getRelayConnection(self->side_, token);
        }
        TLOG("DBG", "%s %d %I64d -> %x", self->sideName(), commandOf(message), id, tagOf(target));
        Platform::IAsyncOperation<Platform::AppServiceResponse> sent;
        if (!target) {
            TLOG("CRT", "Unable to relay msg %I64d from %s", id, self->sideName());
        } else {
            bool go = false;
            {
                std::lock_guard g(relayState().lock);
                if (token.is_canceled())
                    TLOG("CRT", "cancelled connection");
                else if (!self->connection_)
                    TLOG("CRT", "stale connection");
                else
                    go = true;
            }
            if (go) {
                try {
                    sent = target.SendMessageAsync(message);
                    relayed = true;
                } catch (...) {
                    TLOG("CRT", "Exception in SendMessage to receiver. %I64d", id);
                }
            }
        }
        TLOG("DBG", "relay result %d", relayed ? 1 : 0);
        if (relayed) {
            // Response step.
            TLOG("{", "");
            Platform::AppServiceResponse response = nullptr;
            // An answer with "response" goes straight back from the I/O thread that read it
            // (the send does not block); anything else is looked at on the pool.
            const auto exchange = sent.as_task();
            co_await Platform::resume_inline<Platform::AppServiceResponse>(exchange);
            if (exchange.status() != Platform::task_status::completed ||
                !hasResponseKey(exchange.get()))
                co_await Platform::resume_background();
            try {
                response = exchange.get();
            } catch (...) {
                TLOG("CRT", "Failure to get AppServiceResponse.");
                throw Platform::hresult_error(Tarvik::Errors::kAppServiceConnection);
            }
            if (!response) {
                TLOG("DBG", "Failure to get AppServiceResponse.");
            } else if (hasResponseKey(response)) {
                Platform::IAsyncOperation<Platform::AppServiceResponseStatus> answering;
                try {
                    answering = args.Request().SendResponseAsync(response.Message());
                } catch (...) {
                    TLOG("CRT", "Exception in relay back");
                }
                if (answering) {
                    try {
                        co_await answering;
                        TLOG("DBG", "<- %I64d", id);
                    } catch (...) {
                        TLOG("CRT", "Exception %I64d", id);
                    }
                }
                answered = true;
            } else {
                TLOG("CRT", "%s, status %S",
                     response.Message() ? "no kResponse" : "outputValues NULL",
                     Platform::response_status_wname(response.Status()));
            }
            TLOG("}", "");
        }
    } catch (...) {
        TLOG("CRT", "Exception. %I64d", id);
    }
    if (!answered) self->OnBackgroundTaskHandleFailure(args);
    deferral.Complete();
}

void OrvaneTRVKAppServiceTask::OnBackgroundTaskHandleFailure(
    const Platform::AppServiceRequestReceivedEventArgs& args) {
    unsigned own;
    {
        std::lock_guard g(relayState().lock);
        own = tagOf(connection_);
    }
    TLOG("WRN", "%s %x, send connection re-establish", sideName(), own);
    try {
        ValueSet answer;
        answer.Insert(Tarvik::Keys::kResponse, Tarvik::kConnectionRestablishmentInProgress);
        args.Request().SendResponseAsync(answer).get();
    } catch (...) {
        TLOG("CRT", "caught exception in SendResponseAsync kConnectionRestablishmentInProgress");
    }
}

void OrvaneTRVKAppServiceTask::OnBackgroundTaskCanceled(
    const std::shared_ptr<Platform::BackgroundTaskInstance>& instance,
    Platform::BackgroundTaskCancellationReason reason) {
    auto& r = relayState();
    std::unique_lock lk(r.lock, std::try_to_lock);
    if (!lk.owns_lock()) TLOG("CRT", "break potential deadlock");
    TLOG("INF", "cancel reason %s, connection %x %s", Platform::cancellation_reason_name(reason),
         tagOf(connection_), sideName());
    cancellation_.cancel();
    instance->Canceled(canceledToken_);
    if (connection_) {
        connection_.RequestReceived(requestToken_);
        connection_.Close();
    } else {
        TLOG("WRN", "task cancel before run");
    }
    // Relays of this instance waiting for the other side see the cancellation at once.
    if (lk.owns_lock()) {
        if (connection_) closeConnection();
        r.slotFilled.notify_all();
    } else {
        // A relay holds the lock and may be reading the connection: the connection and
        // the slot change once the lock is free, on the pool, never here.
        auto self = shared_from_this();
        Platform::ThreadPool::instance().post([self] {
            auto& relay = relayState();
            std::lock_guard g(relay.lock);
            if (self->connection_) self->closeConnection();
            relay.slotFilled.notify_all();
        });
    }
    if (deferral_) {
        deferral_.Complete();
        deferral_ = {};
    } else {
        TLOG("CRT", "deferral NULL");
    }
}

void OrvaneTRVKAppServiceTask::closeConnection() {
    auto& r = relayState();
    std::lock_guard g(r.lock);
    if (connection_ == r.uwp) {
        r.uwp = nullptr;
    } else if (connection_ == r.win32) {
        r.win32 = nullptr;
        startConnectionWatch();
    } else {
        TLOG("DBG", "UNKNOWN Connection");
    }
    connection_ = nullptr;
}

void OrvaneTRVKAppServiceTask::startConnectionWatch() {
    auto& r = relayState();
    std::lock_guard g(r.lock);
    TLOG("DBG", "start timer");
    cancelWatch();
    r.watchdog = Platform::ThreadPoolTimer::CreateTimer(
        [](const Platform::ThreadPoolTimer&) { sendWin32DisconnectedMsg(); }, kWatchdogDelay);
}

void OrvaneTRVKAppServiceTask::cancelWatch() {
    auto& r = relayState();
    std::lock_guard g(r.lock);
    if (!r.watchdog) return;
    TLOG("DBG", "cancel watch timer");
    r.watchdog.Cancel();
    r.watchdog = nullptr;
}

bool OrvaneTRVKAppServiceTask::sendWin32DisconnectedMsg() {
    try {
        AppServiceConnection uwp{nullptr};
        {
            auto& r = relayState();
            std::lock_guard g(r.lock);
            TLOG("DBG", "Watchdog timer expired");
            r.watchdog = nullptr;
            if (r.win32) {
                TLOG("INF", "[watchdog] win32 connection %x established uwp %x", tagOf(r.win32),
                     tagOf(r.uwp));
                return false;
            }
            if (!r.uwp) {
                TLOG("CRT", "UWP counterpart unavailable to relay win32 helper quit");
                return false;
            }
            uwp = r.uwp;
        }
        // The answer is awaited outside the relay lock.
        TLOG("WRN", "send kWin32Exited -> UWP");
        try {
            uwp.SendMessageAsync(Tarvik::createRequest(Tarvik::Commands::kWin32Exited)).get();
            TLOG("DBG", "UWP response for kWin32Exited %d", Tarvik::Commands::kWin32Exited);
        } catch (...) {
            TLOG("CRT", "unable to send kWin32Exited : Caught Exception");
            return false;
        }
        return true;
    } catch (...) {
        TLOG("CRT", "watch dog thread exception");
        return false;
    }
}

}  // namespace TarvikFoundation
