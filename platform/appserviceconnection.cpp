#include <array>
#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include <TarvikFoundation/platform/appserviceconnection.h>

#include "platform/deliveryqueue.h"
#include "platform/inmemorytransport.h"
#include "platform/pendinganswers.h"
#include "platform/platformlog.h"
#include "platform/readerhandlers.h"
#include "platform/socketclient.h"

namespace Platform {

namespace {
std::mutex g_callerMutex;
hstring g_callerPackageFamilyName;

IAsyncOperation<AppServiceResponseStatus> statusOperation(AppServiceResponseStatus s) {
    return IAsyncOperation<AppServiceResponseStatus>::from_task(task_from_result(s));
}
}  // namespace

struct AppServiceConnection::Impl : AppServiceTransport::Sink,
                                    ReaderHandlers,
                                    std::enable_shared_from_this<Impl> {
    enum class State { Created, Opening, Open, Closed };

    std::mutex m;
    hstring serviceName;
    hstring packageFamilyName;
    // Changed under m; read without it on every send and answer. The transport is set
    // once, before the state becomes Open, and kept until the connection is destroyed,
    // so a sender that saw Open may copy it without the lock.
    std::atomic<State> state{State::Created};
    std::shared_ptr<AppServiceTransport> transport;
    std::atomic<uint64_t> nextSequence{1};
    // Requests awaiting their answer, spread over shards by sequence: senders on many
    // threads and the reading thread each lock only the shard of the one they touch.
    using Waiting = PendingAnswers<task_completion_event<AppServiceResponse>>;
    struct PendingShard {
        std::mutex m;
        Waiting waiting;
    };
    static constexpr std::size_t kPendingShards = 8;
    std::array<PendingShard, kPendingShards> pending;
    PendingShard& shardOf(uint64_t sequence) noexcept { return pending[sequence % kPendingShards]; }
    event<const AppServiceConnection&, const AppServiceRequestReceivedEventArgs&> requestReceived;
    event<const AppServiceConnection&, const AppServiceClosedEventArgs&> serviceClosed;
    DeliveryQueue deliveries;
    std::atomic<bool> inlineRequests{false};
    bool holdRequests = false;
    std::vector<std::function<void()>> held;

    ~Impl() override {
        if (transport) transport->close();
        failPending(AppServiceResponseStatus::Unknown);
    }

    // Open at once. The peer's requests wait until beforeReading has returned, so that
    // the handlers it registers see every one; answers flow meanwhile, so it may wait
    // for the peer.
    void attach(std::shared_ptr<AppServiceTransport> t,
                const std::function<void()>& beforeReading = {}) {
        {
            std::lock_guard g(m);
            transport = t;
            holdRequests = static_cast<bool>(beforeReading);
            state.store(State::Open, std::memory_order_release);
        }
        t->start(weak_from_this());
        if (!beforeReading) return;
        try {
            beforeReading();
        } catch (...) {
            releaseRequests();
            throw;
        }
        releaseRequests();
    }

    void releaseRequests() {
        std::lock_guard g(m);
        holdRequests = false;
        // Under the lock, so that a request read meanwhile cannot overtake these.
        for (auto& work : held) deliveries.push(std::move(work));
        held.clear();
    }

    void failPending(AppServiceResponseStatus status) {
        for (auto& shard : pending) {
            std::deque<Waiting::Entry> waiting;
            {
                std::lock_guard g(shard.m);
                waiting = shard.waiting.takeAll();
            }
            for (auto& [seq, tce] : waiting) tce.set(AppServiceResponse(status, nullptr));
        }
    }

    // Takes the waiter of `sequence` out, empty when it has been answered or failed.
    std::optional<task_completion_event<AppServiceResponse>> takePending(uint64_t sequence) {
        auto& shard = shardOf(sequence);
        std::lock_guard g(shard.m);
        return shard.waiting.take(sequence);
    }

    std::shared_ptr<AppServiceTransport> currentTransport() const {
        return state.load(std::memory_order_acquire) == State::Open ? transport : nullptr;
    }

    void onRequestFrame(uint64_t sequence, ValueSet message) override;
    void onResponseFrame(uint64_t sequence, AppServiceResponseStatus status,
                         ValueSet message) override {
        auto tce = takePending(sequence);
        if (!tce) {
            PLOG("WRN", "response to unknown sequence %I64u ignored", sequence);
            return;
        }
        tce->set(AppServiceResponse(status, std::move(message)));
    }
    // Handlers delivered inline never wait: their sends may be written by the burst.
    bool neverWait() const override { return inlineRequests.load(std::memory_order_relaxed); }
    void onTransportClosed(AppServiceClosedStatus status) override {
        {
            std::lock_guard g(m);
            if (state == State::Closed) return;
            state = State::Closed;
        }
        failPending(AppServiceResponseStatus::Unknown);
        auto self = shared_from_this();
        std::function<void()> raise = [self, status] {
            self->serviceClosed(AppServiceConnection(self), AppServiceClosedEventArgs{status});
        };
        {
            // A peer that fails at once must not beat the handlers beforeReading adds.
            std::lock_guard g(m);
            if (holdRequests) {
                held.push_back(std::move(raise));
                return;
            }
        }
        ThreadPool::instance().post(std::move(raise));
    }
};

// One incoming request: answered once, by a handler or by the platform.
struct AppServiceRequestState {
    std::mutex m;
    std::shared_ptr<AppServiceConnection::Impl> connection;
    uint64_t sequence = 0;
    ValueSet message;
    bool responded = false;
    bool handlersReturned = false;
    int deferrals = 0;

    AppServiceResponseStatus respond(AppServiceResponseStatus status, const ValueSet& reply) {
        {
            std::lock_guard g(m);
            if (responded) return AppServiceResponseStatus::Failure;
            responded = true;
        }
        auto t = connection->currentTransport();
        if (!t) return AppServiceResponseStatus::Failure;
        const auto sent = t->sendResponse(sequence, status, reply);
        // A reply too large for the wire still ends the exchange for the requester.
        if (sent == AppServiceResponseStatus::MessageSizeTooLarge)
            t->sendResponse(sequence, AppServiceResponseStatus::MessageSizeTooLarge, nullptr);
        return sent;
    }
    void answerIfAbandoned() {
        {
            std::lock_guard g(m);
            if (responded || deferrals > 0 || !handlersReturned) return;
        }
        respond(AppServiceResponseStatus::Failure, nullptr);
    }
};

struct AppServiceDeferral::State {
    std::shared_ptr<AppServiceRequestState> request;
    // A flag rather than a once_flag: completing one costs no wake-up system call.
    std::atomic<bool> completed{false};
};

void AppServiceDeferral::Complete() const {
    if (!state_ || state_->completed.exchange(true)) return;
    {
        std::lock_guard g(state_->request->m);
        --state_->request->deferrals;
    }
    state_->request->answerIfAbandoned();
}

AppServiceDeferral AppServiceRequestReceivedEventArgs::GetDeferral() const {
    {
        std::lock_guard g(state_->m);
        ++state_->deferrals;
    }
    auto s = std::make_shared<AppServiceDeferral::State>();
    s->request = state_;
    return AppServiceDeferral(s);
}

ValueSet AppServiceRequest::Message() const {
    return state_->message;
}

IAsyncOperation<AppServiceResponseStatus> AppServiceRequest::SendResponseAsync(
    const ValueSet& message) const {
    return statusOperation(state_->respond(AppServiceResponseStatus::Success, message));
}

void AppServiceConnection::Impl::onRequestFrame(uint64_t sequence, ValueSet message) {
    auto request = std::make_shared<AppServiceRequestState>();
    request->connection = shared_from_this();
    request->sequence = sequence;
    request->message = std::move(message);
    std::function<void()> work = [request] {
        AppServiceRequestReceivedEventArgs args(request);
        try {
            request->connection->requestReceived(AppServiceConnection(request->connection), args);
        } catch (...) {
            PLOG("WRN", "RequestReceived handler raised");
        }
        {
            std::lock_guard g(request->m);
            request->handlersReturned = true;
        }
        request->answerIfAbandoned();
    };
    {
        std::lock_guard g(m);
        if (holdRequests) {
            held.push_back(std::move(work));
            return;
        }
    }
    if (inlineRequests.load(std::memory_order_relaxed) && transport->deliversOnOwnThread()) {
        work();
        return;
    }
    // Outside the lock: the push may wake a pool thread, which the lock need not wait for.
    // Held requests were all pushed before holdRequests turned false, so none of them
    // is overtaken.
    deliveries.push(std::move(work));
}

AppServiceConnection::AppServiceConnection() : impl_(std::make_shared<Impl>()) {}

AppServiceConnection::Impl& AppServiceConnection::impl() const {
    if (!impl_) throw hresult_error(static_cast<hresult>(0x80004003), L"null AppServiceConnection");
    return *impl_;
}

hstring AppServiceConnection::AppServiceName() const {
    std::lock_guard g(impl().m);
    return impl_->serviceName;
}
void AppServiceConnection::AppServiceName(const hstring& name) const {
    std::lock_guard g(impl().m);
    impl_->serviceName = name;
}
hstring AppServiceConnection::PackageFamilyName() const {
    std::lock_guard g(impl().m);
    return impl_->packageFamilyName;
}
void AppServiceConnection::PackageFamilyName(const hstring& name) const {
    std::lock_guard g(impl().m);
    impl_->packageFamilyName = name;
}

IAsyncOperation<AppServiceConnectionStatus> AppServiceConnection::OpenAsync() const {
    auto self = impl_;
    hstring service, family;
    {
        std::lock_guard g(impl().m);
        if (self->state != Impl::State::Created)
            throw hresult_illegal_state_change(L"connection already opened");
        self->state = Impl::State::Opening;
        service = self->serviceName;
        family = self->packageFamilyName;
    }
    const hstring caller = CallerPackageFamilyName();
    return IAsyncOperation<AppServiceConnectionStatus>::from_task(
        create_task([self, service, family, caller] {
            auto [status, transport] = SocketClient::open(family, service, caller);
            if (status != AppServiceConnectionStatus::Success) {
                std::lock_guard g(self->m);
                self->state = Impl::State::Created;
                return status;
            }
            self->attach(std::move(transport));
            return status;
        }));
}

IAsyncOperation<AppServiceResponse> AppServiceConnection::SendMessageAsync(
    const ValueSet& message) const {
    return IAsyncOperation<AppServiceResponse>::from_task(SendMessageTask(message));
}

task<AppServiceResponse> AppServiceConnection::SendMessageTask(const ValueSet& message) const {
    auto& i = impl();
    const auto closed = [] {
        return task_from_exception<AppServiceResponse>(std::make_exception_ptr(
            hresult_object_closed(L"The app service connection is not open.")));
    };
    if (i.state.load(std::memory_order_acquire) != Impl::State::Open) return closed();
    task_completion_event<AppServiceResponse> tce;
    const uint64_t sequence = i.nextSequence.fetch_add(1, std::memory_order_relaxed);
    {
        auto& shard = i.shardOf(sequence);
        std::lock_guard g(shard.m);
        shard.waiting.add(sequence, tce);
    }
    // A close that came between the check above and the insert may have failed the
    // waiters before this one was there: whoever takes it out answers it.
    if (i.state.load(std::memory_order_acquire) != Impl::State::Open) {
        if (i.takePending(sequence)) return closed();
        return tce.get_task();
    }
    auto status = i.transport->sendRequest(sequence, message);
    // The transport closed under this send: it ends as the exchanges pending at the close do.
    if (status == AppServiceResponseStatus::Failure) status = AppServiceResponseStatus::Unknown;
    if (status != AppServiceResponseStatus::Success) {
        if (auto waiter = i.takePending(sequence)) waiter->set(AppServiceResponse(status, nullptr));
    }
    return tce.get_task();
}

event_token AppServiceConnection::RequestReceived(RequestReceivedHandler handler) const {
    return impl().requestReceived.add(std::move(handler));
}
void AppServiceConnection::RequestReceived(event_token token) const {
    impl().requestReceived.remove(token);
}
void AppServiceConnection::DeliverRequestsInline(bool inlineDelivery) const {
    impl().inlineRequests.store(inlineDelivery, std::memory_order_relaxed);
}
event_token AppServiceConnection::ServiceClosed(ServiceClosedHandler handler) const {
    return impl().serviceClosed.add(std::move(handler));
}
void AppServiceConnection::ServiceClosed(event_token token) const {
    impl().serviceClosed.remove(token);
}

void AppServiceConnection::Close() const {
    auto& i = impl();
    std::shared_ptr<AppServiceTransport> transport;
    {
        std::lock_guard g(i.m);
        if (i.state == Impl::State::Closed) return;
        i.state = Impl::State::Closed;
        transport = i.transport;
    }
    if (transport) transport->close();
    i.failPending(AppServiceResponseStatus::Unknown);
}

bool AppServiceConnection::IsOpen() const {
    return impl().state == Impl::State::Open;
}

std::pair<AppServiceConnection, AppServiceConnection> AppServiceConnection::CreateInMemoryPair(
    const hstring& serviceName, const hstring& packageFamilyName) {
    auto [a, b] = InMemoryTransport::createPair();
    AppServiceConnection first = FromTransport(a, serviceName, packageFamilyName);
    AppServiceConnection second = FromTransport(b, serviceName, packageFamilyName);
    return {first, second};
}

AppServiceConnection AppServiceConnection::FromTransport(
    std::shared_ptr<AppServiceTransport> transport, const hstring& serviceName,
    const hstring& packageFamilyName,
    const std::function<void(const AppServiceConnection&)>& beforeReading) {
    auto impl = std::make_shared<Impl>();
    impl->serviceName = serviceName;
    impl->packageFamilyName = packageFamilyName;
    AppServiceConnection connection(impl);
    // Requests are held only when there is something to wait for.
    std::function<void()> before;
    if (beforeReading) before = [&] { beforeReading(connection); };
    impl->attach(std::move(transport), before);
    return connection;
}

void AppServiceConnection::SetCallerPackageFamilyName(const hstring& name) {
    std::lock_guard g(g_callerMutex);
    g_callerPackageFamilyName = name;
}

hstring AppServiceConnection::CallerPackageFamilyName() {
    std::lock_guard g(g_callerMutex);
    return g_callerPackageFamilyName;
}

}  // namespace Platform
