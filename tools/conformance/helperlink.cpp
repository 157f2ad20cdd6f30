#include "tools/conformance/helperlink.h"

#include <future>

#include "common/messageschema.h"
#include "tools/conformance/helpersandbox.h"
#include "tools/conformance/requestvalues.h"

namespace Conformance {

using namespace Platform;

HelperLink::~HelperLink() {
    stopListening();
    close();
}

void HelperLink::listen() {
    if (listener_) return;
    std::weak_ptr<State> weak = state_;
    listener_ = AppServiceListener::start(hstring::from_utf8(HelperSandbox::kFamily),
                                          hstring::from_utf8(HelperSandbox::kService),
                                          [weak](const AppServiceTriggerDetails& details) {
                                              if (auto state = weak.lock())
                                                  state->accept(details, state);
                                          });
}

void HelperLink::stopListening() {
    if (!listener_) return;
    listener_->stop();
    listener_.reset();
}

void HelperLink::State::accept(const AppServiceTriggerDetails& details,
                               const std::shared_ptr<State>& self) {
    const AppServiceConnection accepted = details.Connection();
    int index = 0;
    {
        std::lock_guard g(mutex);
        index = ++connections;
    }
    std::weak_ptr<State> weak = self;
    // Subscribed before the connection reads, so the helper's first request is seen.
    accepted.RequestReceived(
        [weak, index](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& a) {
            if (auto state = weak.lock()) {
                {
                    std::lock_guard g(state->mutex);
                    state->requests.push_back({index, a.Request().Message().Clone()});
                }
                state->changed.notify_all();
            }
            a.Request().SendResponseAsync(Tarvik::createResponse(true));
        });
    accepted.ServiceClosed(
        [weak, index](const AppServiceConnection&, const AppServiceClosedEventArgs&) {
            if (auto state = weak.lock()) {
                {
                    std::lock_guard g(state->mutex);
                    if (index == state->connections) state->closed = true;
                }
                state->changed.notify_all();
            }
        });
    AppServiceConnection previous{nullptr};
    {
        std::lock_guard g(mutex);
        previous = connection;
        connection = accepted;
        closed = false;
        callerFamily = details.CallerPackageFamilyName().to_utf8();
        serviceName = details.Name().to_utf8();
    }
    if (previous) previous.Close();
    changed.notify_all();
}

std::string HelperLink::callerFamily() const {
    std::lock_guard g(state_->mutex);
    return state_->callerFamily;
}

std::string HelperLink::serviceName() const {
    std::lock_guard g(state_->mutex);
    return state_->serviceName;
}

bool HelperLink::waitForConnection(int seen, std::chrono::milliseconds timeout) {
    std::unique_lock lk(state_->mutex);
    return state_->changed.wait_for(lk, timeout, [&] { return state_->connections > seen; });
}

int HelperLink::connections() const {
    std::lock_guard g(state_->mutex);
    return state_->connections;
}

bool HelperLink::closed() const {
    std::lock_guard g(state_->mutex);
    return state_->closed;
}

void HelperLink::close() {
    AppServiceConnection connection{nullptr};
    {
        std::lock_guard g(state_->mutex);
        std::swap(connection, state_->connection);
    }
    if (connection) connection.Close();
}

std::optional<HelperRequest> HelperLink::waitForRequest(int connection, int32_t command,
                                                        std::chrono::milliseconds timeout) {
    std::unique_lock lk(state_->mutex);
    std::optional<HelperRequest> found;
    state_->changed.wait_for(lk, timeout, [&] {
        for (const auto& r : state_->requests) {
            const auto code = typedValue<int32_t>(r.message, L"command");
            if (r.connection == connection && code && *code == command) {
                found = r;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::vector<HelperRequest> HelperLink::requests() const {
    std::lock_guard g(state_->mutex);
    return state_->requests;
}

std::optional<Answer> HelperLink::send(const ValueSet& message, std::chrono::milliseconds timeout) {
    AppServiceConnection connection{nullptr};
    {
        std::lock_guard g(state_->mutex);
        connection = state_->connection;
    }
    if (!connection) return std::nullopt;
    auto done = std::make_shared<std::promise<Answer>>();
    auto future = done->get_future();
    try {
        connection.SendMessageAsync(message).Completed(
            [done](const IAsyncOperation<AppServiceResponse>& op, AsyncStatus status) {
                Answer answer{AppServiceResponseStatus::Unknown, nullptr};
                if (status == AsyncStatus::Completed) try {
                        const auto response = op.GetResults();
                        answer = {response.Status(), response.Message()};
                    } catch (const std::exception&) {
                    }
                done->set_value(answer);
            });
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (future.wait_for(timeout) != std::future_status::ready) return std::nullopt;
    return future.get();
}

}  // namespace Conformance
