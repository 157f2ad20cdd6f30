#pragma once
// The application's end of the helper's connections, as the library has it in the
// in-process topology: the package's app service listens, the helper connects. Every
// request the helper sends is answered with success and kept for the checks.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <TarvikFoundation/platform/appserviceconnection.h>

#include "platform/appservicelistener.h"

namespace Conformance {

struct HelperRequest {
    int connection;  // which connection, counted from 1
    Platform::ValueSet message;
};

struct Answer {
    Platform::AppServiceResponseStatus status;
    Platform::ValueSet message;  // null when the exchange carried none
};

class HelperLink {
  public:
    HelperLink() = default;
    ~HelperLink();
    HelperLink(const HelperLink&) = delete;
    HelperLink& operator=(const HelperLink&) = delete;

    // Listens on the package's service; raises hresult_error when it cannot.
    void listen();
    // Gives up the service's socket (for the frame checks, which listen themselves).
    void stopListening();
    // Waits until more than `seen` connections have come; false on time-out.
    bool waitForConnection(int seen, std::chrono::milliseconds timeout);
    // The caller package family name and service the last connection opened with.
    std::string callerFamily() const;
    std::string serviceName() const;
    int connections() const;
    bool closed() const;
    // Closes the current connection from this side (a closing frame).
    void close();

    // Waits for a request of `command` on connection `connection`.
    std::optional<HelperRequest> waitForRequest(int connection, int32_t command,
                                                std::chrono::milliseconds timeout);
    std::vector<HelperRequest> requests() const;

    // Sends `message` on the current connection and waits for its answer; nullopt on
    // time-out.
    std::optional<Answer> send(const Platform::ValueSet& message,
                               std::chrono::milliseconds timeout);

  private:
    // Shared with the platform's handlers, which may still run after this object goes.
    struct State {
        void accept(const Platform::AppServiceTriggerDetails& details,
                    const std::shared_ptr<State>& self);
        mutable std::mutex mutex;
        std::condition_variable changed;
        Platform::AppServiceConnection connection{nullptr};
        int connections = 0;
        bool closed = false;
        std::string callerFamily;
        std::string serviceName;
        std::vector<HelperRequest> requests;
    };

    std::shared_ptr<Platform::AppServiceListener> listener_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace Conformance
