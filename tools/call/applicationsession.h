#pragma once
// tarvik-call in the application's place: it opens the package's service the way an
// application that links the library does, and talks to the helper through the
// library's own channel.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/platform/appserviceconnection.h>
#include <TarvikFoundation/platform/backgroundtask.h>
#include <TarvikFoundation/platform/valueset.h>

namespace TarvikCall {

/// The helper the session started is not running (its launch failed, or it ended)
/// while an answer or a watched request was still awaited.
struct HelperNotRunning : std::runtime_error {
    HelperNotRunning() : std::runtime_error("the helper is not running") {}
};

struct SessionOptions {
    Platform::hstring serviceName;
    /// Connect through the manifest's app-service host instead of serving the service.
    bool background = false;
    /// A URI scheme of the manifest to start the helper by; empty: its full-trust program.
    std::string scheme;
    std::string clientId = "tarvik-call";
    uint32_t logLevel = 2;
};

class ApplicationSession {
  public:
    /// Creates the application object and the app helper, which starts the helper; in
    /// the in-process topology it first starts serving the service. Raises
    /// hresult_error when the service cannot be served or the helper not launched.
    explicit ApplicationSession(const SessionOptions& options);
    /// Asks the helper to end, waits a little for it, and stops serving.
    ~ApplicationSession();
    ApplicationSession(const ApplicationSession&) = delete;
    ApplicationSession& operator=(const ApplicationSession&) = delete;

    /// Sends one request through the channel (request id, acknowledgements, retries,
    /// connection wait included). The answer's status and message, or nullopt when
    /// nothing came within `timeout`; raises what the channel raises, and
    /// HelperNotRunning as soon as no helper is left to answer.
    std::optional<Platform::AppServiceResponse> send(Platform::ValueSet request,
                                                     std::chrono::milliseconds timeout);

    /// Whether no helper that the platform started for the package has run for a
    /// while, by this call and the ones before it. The launch is over once the session
    /// has been made, so that means that it failed or that the helper ended.
    bool helperGone();

    /// From now on `seen` gets every request that the helper sends to the application
    /// (each request id once), before the application's own handler answers it.
    void watch(std::function<void(const Platform::ValueSet&)> seen);

  private:
    std::shared_ptr<Platform::Application> application_;
    std::shared_ptr<Platform::AppServiceTaskHost> host_;
    std::mutex helperMutex_;
    std::shared_ptr<TarvikFoundation::OrvaneAppHelper> helper_;
    bool background_ = false;
    std::optional<Platform::hstring> familyName_;
    std::optional<std::chrono::steady_clock::time_point> goneSince_;
};

}  // namespace TarvikCall
