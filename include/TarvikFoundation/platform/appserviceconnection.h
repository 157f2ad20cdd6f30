#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/appservicetransport.h>
#include <TarvikFoundation/platform/appservicetypes.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/platform/event.h>

namespace Platform {

class AppServiceConnection;
class AppServiceListener;

/// App-service connections: one request message, one response message per exchange,
/// in both directions, over a transport.
class TARVIK_API AppServiceDeferral {
  public:
    AppServiceDeferral() = default;
    /// Ends the deferral; a second call does nothing.
    void Complete() const;

  private:
    friend class AppServiceRequestReceivedEventArgs;
    struct State;
    explicit AppServiceDeferral(std::shared_ptr<State> s) : state_(std::move(s)) {}
    std::shared_ptr<State> state_;
};

struct AppServiceRequestState;

/// One request that arrived on a connection: its message, and one response to send.
class TARVIK_API AppServiceRequest {
  public:
    /// The request's message.
    ValueSet Message() const;
    /// The first response is sent; later ones complete with Failure.
    IAsyncOperation<AppServiceResponseStatus> SendResponseAsync(const ValueSet& message) const;

  private:
    friend class AppServiceRequestReceivedEventArgs;
    explicit AppServiceRequest(std::shared_ptr<AppServiceRequestState> s) : state_(std::move(s)) {}
    std::shared_ptr<AppServiceRequestState> state_;
};

/// A request for which no handler sent a response and no deferral is outstanding is
/// answered with status Failure and no message.
class TARVIK_API AppServiceRequestReceivedEventArgs {
  public:
    /// Made by the connection for each incoming request.
    explicit AppServiceRequestReceivedEventArgs(std::shared_ptr<AppServiceRequestState> s)
        : state_(std::move(s)) {}
    /// The request, to read and to answer.
    AppServiceRequest Request() const { return AppServiceRequest(state_); }
    /// Keeps the request open past the handler's return, until the deferral completes.
    AppServiceDeferral GetDeferral() const;

  private:
    std::shared_ptr<AppServiceRequestState> state_;
};

/// An app-service connection: opens a service, sends messages and awaits their
/// responses, raises RequestReceived and ServiceClosed. Copies share one connection.
class TARVIK_API AppServiceConnection {
  public:
    /// Handler of a request from the other side.
    using RequestReceivedHandler =
        std::function<void(const AppServiceConnection&, const AppServiceRequestReceivedEventArgs&)>;
    /// Handler of the connection's end.
    using ServiceClosedHandler =
        std::function<void(const AppServiceConnection&, const AppServiceClosedEventArgs&)>;

    // A new, unopened client connection.
    AppServiceConnection();
    /// A null connection.
    AppServiceConnection(std::nullptr_t) noexcept {}
    /// Whether this is a connection, not null.
    explicit operator bool() const noexcept { return impl_ != nullptr; }
    /// Whether both share one connection.
    friend bool operator==(const AppServiceConnection& a, const AppServiceConnection& b) noexcept {
        return a.impl_ == b.impl_;
    }
    /// An address that identifies the shared connection (for logs).
    const void* identity() const noexcept { return impl_.get(); }

    /// The service to open (client) or that was opened.
    hstring AppServiceName() const;
    /// Sets the service to open; before OpenAsync.
    void AppServiceName(const hstring& name) const;
    /// The package whose service is opened.
    hstring PackageFamilyName() const;
    /// Sets the package whose service to open; before OpenAsync.
    void PackageFamilyName(const hstring& name) const;

    /// Connects to the service named by PackageFamilyName and AppServiceName.
    IAsyncOperation<AppServiceConnectionStatus> OpenAsync() const;
    /// Completes with the peer's response, or with a status and no message when the
    /// exchange failed. Raises object-closed (in the operation) after Close.
    IAsyncOperation<AppServiceResponse> SendMessageAsync(const ValueSet& message) const;
    /// The same exchange as a bare task, for callers that only await it: no operation
    /// object is made for it.
    task<AppServiceResponse> SendMessageTask(const ValueSet& message) const;

    /// Subscribes to the other side's requests.
    event_token RequestReceived(RequestReceivedHandler handler) const;
    /// Unsubscribes a request handler.
    void RequestReceived(event_token token) const;
    /// This platform's own: RequestReceived handlers of the requests read from a socket
    /// run on its reading thread instead of the pool, one hand-off less per request. For
    /// handlers that never block: while one runs, the connection reads nothing, answers
    /// to its own sends included. Requests held for beforeReading, and those of an
    /// in-memory pair, still go to the pool.
    void DeliverRequestsInline(bool inlineDelivery) const;
    /// Subscribes to the end of the connection (raised once, not after Close).
    event_token ServiceClosed(ServiceClosedHandler handler) const;
    /// Unsubscribes a close handler.
    void ServiceClosed(event_token token) const;

    /// Closes the connection; pending exchanges fail.
    void Close() const;
    /// Whether the connection is open.
    bool IsOpen() const;

    /// Two connected ends in this process, both open.
    static std::pair<AppServiceConnection, AppServiceConnection> CreateInMemoryPair(
        const hstring& serviceName = L"", const hstring& packageFamilyName = L"");

    /// A connection running over an established transport (used by listeners).
    /// The peer's requests wait until beforeReading has returned, so that the handlers
    /// it registers see every one; answers to what it sends flow meanwhile.
    static AppServiceConnection FromTransport(
        std::shared_ptr<AppServiceTransport> transport, const hstring& serviceName,
        const hstring& packageFamilyName,
        const std::function<void(const AppServiceConnection&)>& beforeReading = {});

    /// The package family name this process announces when it opens a connection
    /// (empty for a full-trust helper).
    static void SetCallerPackageFamilyName(const hstring& name);
    /// The family name set with SetCallerPackageFamilyName.
    static hstring CallerPackageFamilyName();

    struct Impl;

  private:
    explicit AppServiceConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    Impl& impl() const;
    std::shared_ptr<Impl> impl_;
};

/// What a service receives for each incoming connection.
class TARVIK_API AppServiceTriggerDetails {
  public:
    /// What a listener hands to the service's task.
    AppServiceTriggerDetails(hstring name, hstring caller,
                             Platform::AppServiceConnection connection)
        : name_(std::move(name)), caller_(std::move(caller)), connection_(std::move(connection)) {}
    /// The service's name.
    const hstring& Name() const { return name_; }
    /// The connecting side's package family name (empty for a full-trust helper).
    const hstring& CallerPackageFamilyName() const { return caller_; }
    /// The platform's AppServiceConnection property.
    const Platform::AppServiceConnection& Connection() const { return connection_; }

  private:
    hstring name_;
    hstring caller_;
    Platform::AppServiceConnection connection_;
};

}  // namespace Platform
