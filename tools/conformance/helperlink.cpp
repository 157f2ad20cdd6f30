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
    listener_ = AppServiceListener::start(
        hstring::from_utf8(HelperSandbox::kFamily), hstring::from_utf8(HelperSandbox::kService),
        [this](const AppServiceTriggerDetails& details) { accept(details); });
}

void HelperLink::stopListening() {
    if (!listener_) return;
    listener_->stop();
    listener_.reset();
}

void HelperLink::accept(const AppServiceTriggerDetails& details) {
    const AppServiceConnection connection = details.Connection();
    int index = 0;
    {
        std::lock_guard g(mutex_);
        index = ++connections_;
    }
    // Subscribed before the connection reads, so the helper's first request is seen.
    connection.RequestReceived(
        [this, index](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& a) {
            {
                std::lock_guard g(mutex_);
                requests_.push_back({index, a.Request().Message().Clone()});
            }
            changed_.notify_all();
            a.Request().SendResponseAsync(Tarvik::createResponse(true));
        });
    connection.ServiceClosed(
        [this, index](const AppServiceConnection&, const AppServiceClosedEventArgs&) {
            {
                std::lock_guard g(mutex_);
                if (index == connections_) closed_ = true;
            }
            changed_.notify_all();
        });
    AppServiceConnection previous{nullptr};
    {
        std::lock_guard g(mutex_);
        previous = connection_;
        connection_ = connection;
        closed_ = false;
        callerFamily_ = details.CallerPackageFamilyName().to_utf8();
        serviceName_ = details.Name().to_utf8();
    }
    if (previous) previous.Close();
    changed_.notify_all();
}

bool HelperLink::waitForConnection(int seen, std::chrono::milliseconds timeout) {
    std::unique_lock lk(mutex_);
    return changed_.wait_for(lk, timeout, [&] { return connections_ > seen; });
}

int HelperLink::connections() const {
    std::lock_guard g(mutex_);
    return connections_;
}

bool HelperLink::closed() const {
    std::lock_guard g(mutex_);
    return closed_;
}

bool HelperLink::waitForClose(std::chrono::milliseconds timeout) {
    std::unique_lock lk(mutex_);
    return changed_.wait_for(lk, timeout, [&] { return closed_; });
}

void HelperLink::close() {
    AppServiceConnection connection{nullptr};
    {
        std::lock_guard g(mutex_);
        std::swap(connection, connection_);
    }
    if (connection) connection.Close();
}

std::optional<HelperRequest> HelperLink::waitForRequest(int connection, int32_t command,
                                                        std::chrono::milliseconds timeout) {
    std::unique_lock lk(mutex_);
    std::optional<HelperRequest> found;
    changed_.wait_for(lk, timeout, [&] {
        for (const auto& r : requests_) {
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
    std::lock_guard g(mutex_);
    return requests_;
}

std::optional<Answer> HelperLink::send(const ValueSet& message, std::chrono::milliseconds timeout) {
    AppServiceConnection connection{nullptr};
    {
        std::lock_guard g(mutex_);
        connection = connection_;
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
