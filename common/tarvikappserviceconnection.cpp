#include <cstdio>
#include <string>

#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "common/acknowledgementutils.h"
#include "common/deferralcompleter.h"
#include "common/errorcodes.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "common/resultscache.h"

namespace Tarvik {

using Platform::cancellation_token;
using Platform::hresult_error;
using Platform::task;

namespace {
std::atomic<int64_t> g_waitMs{15000};
std::atomic<bool> g_timeoutIsFatal{true};

unsigned tagOf(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

uint64_t requestIdOf(const ValueSet& request) {
    return request.LookupOr<uint64_t>(Keys::kCommandId, kNoRequestId);
}

int32_t commandOf(const ValueSet& request) {
    return request.LookupOr<int32_t>(Keys::kCommand, -1);
}

// Optional on a failed answer: why the peer refused.
constexpr const wchar_t* kReasonKey = L"reason";
// The peer writes the reason, so its length is bounded here: a longer one would fill the
// log line, which is then cut without its newline and the next entry runs into it.
constexpr std::size_t kReasonLogBytes = 256;

std::string boundedReason(std::string reason) {
    if (reason.size() <= kReasonLogBytes) return reason;
    std::size_t end = kReasonLogBytes;
    // Cut before a UTF-8 continuation byte, never inside a character.
    while (end > 0 && (static_cast<unsigned char>(reason[end]) & 0xC0) == 0x80) --end;
    reason.resize(end);
    return reason + "...";
}

// A refusal's codes and the reason the peer gave, for the log line of the failed call.
std::string refusalDetails(const ValueSet& message) {
    std::string text;
    char number[32];
    if (const auto code = message.TryLookupAs<int32_t>(Keys::kErrorCode)) {
        std::snprintf(number, sizeof number, ", errorCode 0x%08X", static_cast<unsigned>(*code));
        text += number;
    }
    if (const auto result = message.TryLookupAs<int32_t>(Keys::kResult)) {
        std::snprintf(number, sizeof number, ", result %d", *result);
        text += number;
    }
    if (const auto reason = message.TryLookupAs<Platform::hstring>(kReasonKey))
        text += " (reason: " + boundedReason(reason->to_utf8()) + ")";
    return text;
}
}  // namespace

void TarvikAppServiceConnection::setConnectionWaitTime(std::chrono::milliseconds wait) {
    g_waitMs = wait.count();
}
std::chrono::milliseconds TarvikAppServiceConnection::connectionWaitTime() {
    return std::chrono::milliseconds(g_waitMs.load());
}
void TarvikAppServiceConnection::setTimeoutIsFatal(bool fatal) {
    g_timeoutIsFatal = fatal;
}
bool TarvikAppServiceConnection::timeoutIsFatal() {
    return g_timeoutIsFatal.load();
}

TarvikAppServiceConnection::TarvikAppServiceConnection(std::string name) : name_(std::move(name)) {}

std::shared_ptr<TarvikAppServiceConnection> TarvikAppServiceConnection::create(std::string name) {
    struct Made : TarvikAppServiceConnection {
        explicit Made(std::string n) : TarvikAppServiceConnection(std::move(n)) {}
    };
    std::shared_ptr<TarvikAppServiceConnection> self = std::make_shared<Made>(std::move(name));
    self->subscribeToApplication();
    return self;
}

void TarvikAppServiceConnection::subscribeToApplication() {
    TLOG_SCOPE();
    try {
        auto app = Platform::Application::Current();
        if (!app) throw hresult_error(Platform::E_FAIL_, L"no application object in this process");
        std::weak_ptr<TarvikAppServiceConnection> weak = weak_from_this();
        suspendingToken_ = app->Suspending.add([weak](const Platform::SuspendingEventArgs&) {
            if (auto self = weak.lock()) self->OnSuspending();
        });
        resumingToken_ = app->Resuming.add([weak](const Platform::ResumingEventArgs&) {
            if (auto self = weak.lock()) self->OnResuming();
        });
        application_ = app;
    } catch (...) {
        TLOG("WRN", "exception in listening to suspend/resume");
    }
    // A sender held in waitToResume must not outlive the application's exit.
    std::weak_ptr<TarvikAppServiceConnection> weak = weak_from_this();
    resumeOnCancel_ = cancellation_.get_token().register_callback([weak] {
        if (auto self = weak.lock()) {
            std::lock_guard g(self->resumeMutex_);
            self->resumeCondition_.notify_all();
        }
    });
}

TarvikAppServiceConnection::~TarvikAppServiceConnection() {
    if (auto app = application_.lock()) {
        app->Suspending.remove(suspendingToken_);
        app->Resuming.remove(resumingToken_);
    }
    resumeOnCancel_.reset();
    std::lock_guard lock(connectionMutex_);
    if (connection_) connection_.RequestReceived(requestReceivedToken_);
}

unsigned TarvikAppServiceConnection::connectionTag() {
    return tagOf(connection_.identity());
}

bool TarvikAppServiceConnection::hasConnection() {
    std::lock_guard lock(connectionMutex_);
    return static_cast<bool>(connection_);
}

int64_t TarvikAppServiceConnection::inFlight() {
    std::lock_guard g(taskMutex_);
    return inFlight_;
}

void TarvikAppServiceConnection::setAppServiceConnection(const AppServiceConnection& connection,
                                                         bool uwpExited) {
    TLOG_SCOPE();
    std::unique_lock lock(connectionMutex_);
    if (connection_) {
        connection_.RequestReceived(requestReceivedToken_);
        connection_ = nullptr;
    }
    if (uwpExited) cancellation_.cancel();
    if (!connection || uwpExited) waitForTasks();
    connection_ = connection;
    uwpExited_ = uwpExited;
    if (connection_) {
        std::weak_ptr<TarvikAppServiceConnection> weak = weak_from_this();
        requestReceivedToken_ = connection_.RequestReceived(
            [weak](const AppServiceConnection& sender,
                   const Platform::AppServiceRequestReceivedEventArgs& args) {
                if (auto self = weak.lock()) self->onRequestReceived(sender, args);
            });
    }
    TLOG("DBG", "%s set connection %x", name_.c_str(), connectionTag());
    connectionAvailable_.notify_all();
}

void TarvikAppServiceConnection::waitForConnection(std::unique_lock<std::recursive_mutex>& lock) {
    const bool ready =
        Platform::Clock::instance().wait_for(connectionAvailable_, lock, connectionWaitTime(),
                                             [&] { return connection_ || uwpExited_.load(); });
    if (!ready) {
        TLOG("CRT", "Wait for App Service connection timedout.");
        if (timeoutIsFatal())
            throw hresult_error(Errors::kAppServiceConnection,
                                L"App Service connection could not be established.");
        return;
    }
    if (uwpExited_) {
        TLOG("DBG", "UWP app exited.");
        throw hresult_error(Errors::kAppServiceConnection, L"UWP app exited.");
    }
}

void TarvikAppServiceConnection::addCommand(int32_t code, CommandHandler handler) {
    TLOG("DBG", "%s add cmd %d", name_.c_str(), code);
    std::lock_guard g(handlersMutex_);
    handlers_[code] = std::move(handler);
}

TarvikAppServiceConnection::CommandHandler TarvikAppServiceConnection::handlerFor(
    int32_t code) const {
    std::lock_guard g(handlersMutex_);
    const auto it = handlers_.find(code);
    return it == handlers_.end() ? CommandHandler() : it->second;
}

void TarvikAppServiceConnection::waitForTasks() {
    std::unique_lock lk(taskMutex_);
    if (inFlight_ == 0) return;
    TLOG("INF", "%s WAIT for %I64d tasks", name_.c_str(), inFlight_);
    const bool done = Platform::Clock::instance().wait_for(
        tasksDone_, lk, std::chrono::milliseconds(3000), [&] { return inFlight_ == 0; });
    TLOG("INF", "%s WAIT %s", name_.c_str(), done ? "success" : "FAILED ***");
}

task<AppServiceResponse> TarvikAppServiceConnection::retryLoop(
    std::shared_ptr<TarvikAppServiceConnection> self, ValueSet request, cancellation_token token) {
    // The first send goes out from the caller's thread when a connection is attached
    // (it cannot wait then); any wait for a connection, and every retry, is on the pool.
    bool onCaller = true;
    const uint64_t id = requestIdOf(request);
    const int32_t command = commandOf(request);
    AppServiceResponse last = nullptr;
    AppServiceResponse result = nullptr;
    // The end of a command is settled here rather than in a continuation: one task and
    // one continuation less per request.
    try {
        for (int t = 0;; ++t) {
            if (t >= kMaxAttempts || token.is_canceled()) {
                unsigned tag;
                {
                    std::lock_guard lock(self->connectionMutex_);
                    tag = self->connectionTag();
                }
                TLOG("CRT", "retry limit exceeded %I64d con %x cmd %d", id, tag, command);
                result = last;
                break;
            }
            TLOG("DBG", "Try %d %I64d", t, id);
            TLOG("DBG", "%d { %I64d", command, id);

            AppServiceResponse response = nullptr;
            std::exception_ptr failure;
            bool cancelSend = false;
            std::exception_ptr fatal;
            unsigned tag = 0;
            try {
                // The connection is taken under the lock and used after it: senders on many
                // threads must not queue up behind one another's socket writes.
                AppServiceConnection connection = nullptr;
                if (onCaller) {
                    std::unique_lock lock(self->connectionMutex_);
                    if (self->connection_) {
                        tag = self->connectionTag();
                        connection = self->connection_;
                    }
                }
                if (!connection) {
                    if (onCaller) co_await Platform::resume_background();
                    std::unique_lock lock(self->connectionMutex_);
                    self->waitForConnection(lock);
                    if (!self->connection_)
                        throw hresult_error(Platform::E_FAIL_,
                                            L"no App Service connection attached");
                    tag = self->connectionTag();
                    connection = self->connection_;
                }
                const task<AppServiceResponse> exchange = connection.SendMessageTask(request);
                onCaller = false;
                // The answer resumes this loop on the I/O thread that read it; a final answer
                // completes the caller's operation from there, anything else (a retry, an
                // error, a log line) moves to the pool first.
                co_await Platform::resume_inline<AppServiceResponse>(exchange);
                if (exchange.status() != Platform::task_status::completed ||
                    !isFinalAnswer(exchange.get()))
                    co_await Platform::resume_background();
                response = exchange.get();
            } catch (const Platform::task_canceled&) {
                TLOG("WRN", "task cancelled, return failure");
                cancelSend = true;
            } catch (const hresult_error& e) {
                TLOG("WRN", "exception %S", e.message().c_str());
                if (self->uwpExited_)
                    cancelSend = true;
                else if (e.code() == Errors::kAppServiceConnection)
                    fatal = std::current_exception();
                else
                    failure = std::current_exception();
            } catch (...) {
                TLOG("WRN", "exception");
                failure = std::make_exception_ptr(hresult_error(Platform::E_FAIL_, L"send failed"));
            }
            if (cancelSend) Platform::cancel_current_task();
            if (fatal) std::rethrow_exception(fatal);
            if (response) last = response;

            if (!self->shouldRetry(request, response, failure) || token.is_canceled()) {
                result = response;
                break;
            }

            const int ms = kBackoffMs[t];
            TLOG("INF", "[%d] sleep %d req %I64d API %d %x", t, ms, id, command, tag);
            co_await Platform::resume_after(std::chrono::milliseconds(ms), token);
            self->waitToResume();
            if (!request.HasKey(Keys::kRetry)) request.Insert(Keys::kRetry, true);
        }
    } catch (const Platform::task_canceled&) {
        throw;
    } catch (...) {
        TLOG("CRT", "Fatal exception when executing command %d", static_cast<int>(id));
        if (!token.is_canceled()) throw;
    }
    if (token.is_canceled()) Platform::cancel_current_task();
    AcknowledgementUtils::storeId(id);
    co_return result;
}

task<AppServiceResponse> TarvikAppServiceConnection::sendCommandAsync(ValueSet request) {
    assignRequestId(request);
    return retryLoop(shared_from_this(), std::move(request), cancellation_.get_token());
}

void TarvikAppServiceConnection::sendCommandVoid(ValueSet request) {
    sendCommandAsync(std::move(request)).then([](task<AppServiceResponse> sent) {
        try {
            sent.get();
        } catch (const Platform::task_canceled&) {
            TLOG("WRN", "task cancelled");
        } catch (const hresult_error& e) {
            TLOG("WRN", "platform exception %S", e.message().c_str());
        } catch (...) {
            TLOG("WRN", "Exception in task");
        }
    });
}

bool TarvikAppServiceConnection::sendCommandInt(ValueSet request, ValueSet& responseMessage,
                                                int32_t& result) {
    result = -1;
    responseMessage = nullptr;
    try {
        AppServiceResponse response = sendCommandAsync(std::move(request)).get();
        if (!response) return false;
        responseMessage = response.Message();
        if (!responseMessage) return false;
        if (responseMessage.HasKey(Keys::kResult))
            result = responseMessage.LookupAs<int32_t>(Keys::kResult);
        return responseMessage.LookupAs<int32_t>(Keys::kResponse) != kResponseFailure;
    } catch (...) {
        TLOG("CRT", "Caught Exception");
        throw hresult_error(Errors::kAppServiceConnection);
    }
}

// A successful exchange whose "response" ends the request: the common case, checked
// without logging so that it can run on the I/O thread.
bool TarvikAppServiceConnection::isFinalAnswer(const AppServiceResponse& response) noexcept {
    try {
        if (!response || response.Status() != Platform::AppServiceResponseStatus::Success)
            return false;
        const ValueSet message = response.Message();
        const auto v = message ? message.TryLookupAs<int32_t>(Keys::kResponse) : std::nullopt;
        if (!v) return false;
        return *v != kResponseInProgress && *v != kConnectionRestablishmentInProgress;
    } catch (...) {
        return false;
    }
}

bool TarvikAppServiceConnection::shouldRetry(const ValueSet& request,
                                             const AppServiceResponse& response,
                                             const std::exception_ptr& failure) {
    const uint64_t id = requestIdOf(request);
    if (failure) {
        TLOG("INF", "exception %I64d", id);
        return true;
    }
    if (!response) {
        TLOG("INF", "no response %I64d", id);
        return true;
    }
    const ValueSet message = response.Message();
    const auto value = message ? message.TryLookup(Keys::kResponse) : std::nullopt;
    if (response.Status() != Platform::AppServiceResponseStatus::Success || !message || !value) {
        TLOG("INF", "!success %I64d ", id);
        return true;
    }
    if (!value->holds<int32_t>()) {
        // A peer that breaks the schema gets the same treatment as one that left it out.
        TLOG("WRN", "\"response\" of %I64d is not an Int32", id);
        return true;
    }
    const int32_t v = Platform::unbox_value<int32_t>(*value);
    TLOG("DBG", " %d } %I64d", v, id);
    if (v == kResponseFailure)
        TLOG("WRN", "cmd %d failed, req %I64d%s", commandOf(request), id,
             refusalDetails(message).c_str());
    if (v == kResponseInProgress || v == kConnectionRestablishmentInProgress) {
        TLOG("INF", "retry kResponse %I64d", id);
        return true;
    }
    return false;
}

void TarvikAppServiceConnection::waitToResume() {
    while (!resumed_.load()) {
        TLOG("WRN", "...");
        std::unique_lock lk(resumeMutex_);
        resumeCondition_.wait(lk, [&] { return resumed_.load() || cancellation_.is_canceled(); });
        TLOG("WRN", "signalled");
        if (cancellation_.is_canceled()) return;
    }
}

void TarvikAppServiceConnection::OnSuspending() {
    TLOG("INF", "%s suspending", name_.c_str());
    resumed_ = false;
}

void TarvikAppServiceConnection::OnResuming() {
    TLOG("INF", "%s resuming", name_.c_str());
    std::lock_guard g(resumeMutex_);
    resumed_ = true;
    resumeCondition_.notify_all();
}

void TarvikAppServiceConnection::createFailedResult(ValueSet& result, uint64_t requestId) {
    if (!result) {
        TLOG("WRN", "result was not created by cmdHandler %d", static_cast<int>(requestId));
        result = createResponse(false);
    }
    if (!result.HasKey(Keys::kResponse)) {
        TLOG("WRN", "kResponse !set by cmdHandler %d", static_cast<int>(requestId));
        result.Insert(Keys::kResponse, kResponseFailure);
    }
}

void TarvikAppServiceConnection::onRequestReceived(
    const AppServiceConnection& sender, const Platform::AppServiceRequestReceivedEventArgs& args) {
    std::unique_lock lk(taskMutex_);
    TLOG_SCOPE();
    const ValueSet message = args.Request().Message();
    int32_t command;
    try {
        command = getCommand(message);
    } catch (const hresult_error& e) {
        TLOG("CRT", "request without command dropped: %S", e.message().c_str());
        return;
    }
    TLOG("DBG", "recv %d on %x", command, tagOf(sender.identity()));
    CommandHandler handler;
    {
        std::lock_guard g(handlersMutex_);
        auto it = handlers_.find(command);
        if (it == handlers_.end()) {
            TLOG("DBG", "%s unhandle %d", name_.c_str(), static_cast<int>(handlers_.size()));
            return;
        }
        handler = it->second;
    }
    auto deferral = std::make_shared<DeferralCompleter>(args.GetDeferral());
    auto token = cancellation_.get_token();
    if (token.is_canceled()) {
        TLOG("WRN", "task cancelled");
        return;
    }
    ++inFlight_;
    // The platform delivers each request on a thread that may wait (a pool thread, or
    // the reading thread, which passes the reading on before the handler waits), so the
    // handler runs here, after the task mutex is released: no lock is held while a
    // handler runs, and no second hand-off to the pool is paid per request.
    lk.unlock();
    try {
        handlerTask(shared_from_this(), handler, sender, args, deferral, token);
    } catch (...) {
        // Only making the task can fail here (its body logs its own failures), and then
        // nothing else will count this request out.
        TLOG("CRT", "execption in creating requestExecutor");
        countOut();
    }
}

void TarvikAppServiceConnection::countOut() {
    std::lock_guard g(taskMutex_);
    if (--inFlight_ == 0) tasksDone_.notify_all();
}

task<void> TarvikAppServiceConnection::handlerTask(
    std::shared_ptr<TarvikAppServiceConnection> self, CommandHandler handler,
    AppServiceConnection sender, Platform::AppServiceRequestReceivedEventArgs args,
    std::shared_ptr<DeferralCompleter> deferral, cancellation_token token) {
    // The request is in flight until this ends, and what escapes it is logged here: no
    // continuation per request for either.
    try {
        const ValueSet message = args.Request().Message();
        AcknowledgementUtils::processAcknowledgements(message);
        uint64_t id = kNoRequestId;
        ValueSet result = nullptr;
        bool execute = true;
        const auto idValue = message.TryLookup(Keys::kCommandId);
        if (idValue && !idValue->holds<uint64_t>()) {
            // An id of another type cannot be matched with its retries: refused, not run.
            TLOG("CRT", "kCommandId is not UInt64, request refused");
            result = createResponse(false);
            execute = false;
        } else if (idValue) {
            id = Platform::unbox_value<uint64_t>(*idValue);
            TLOG("DBG", "handle %s [%I64d] on %x", self->name_.c_str(), id,
                 tagOf(sender.identity()));
            ValueSet cached = nullptr;
            switch (ResultsCache::admit(id, cached)) {
                case ResultsCache::Admission::InProgress:
                    result = createResponse(true);
                    result.Insert(Keys::kResponse, kResponseInProgress);
                    execute = false;
                    break;
                case ResultsCache::Admission::Cached:
                    result = cached;
                    execute = false;
                    break;
                case ResultsCache::Admission::Started:
                    break;
            }
        } else {
            TLOG("CRT", "kCommandId !found");
            ResultsCache::markInProgress(id);
        }
        if (execute) {
            try {
                result = handler(message);
                TLOG("DBG", "Executed %I64d", id);
                if (result) {
                    auto v = result.TryLookup(Keys::kResponse);
                    if (v && Platform::unbox_value<int32_t>(*v) != kResponseInProgress)
                        ResultsCache::storeResult(id, result);
                }
            } catch (...) {
                TLOG("CRT", "Exception executing Handler req %I64d API %d", id, commandOf(message));
                result = nullptr;
            }
            ResultsCache::clearInProgress(id);
        }
        if (!token.is_canceled()) {
            try {
                if (!result) createFailedResult(result, id);
                TLOG("DBG", "%I64d ...", id);
                co_await args.Request().SendResponseAsync(result);
                TLOG("DBG", "%I64d <<", id);
            } catch (const Platform::task_canceled&) {
                // A cancelled send is the task's cancellation, not a failure.
                throw;
            } catch (...) {
                TLOG("CRT", "caught exception %I64d", id);
            }
            deferral->complete();
        }
    } catch (const Platform::task_canceled&) {
        TLOG("WRN", "task cancelled");
    } catch (const hresult_error& e) {
        TLOG("WRN", "platform exception %S", e.message().c_str());
    } catch (...) {
        TLOG("WRN", "Exception in task");
    }
    self->countOut();
}

}  // namespace Tarvik
