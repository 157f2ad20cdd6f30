#pragma once
#include <cstdint>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/appservicetypes.h>

namespace Platform {

/// What moves request and response frames for one app-service connection. The
/// connection talks to a transport through this interface only; two exist: an
/// in-memory pair and Unix domain stream sockets.
class TARVIK_API AppServiceTransport {
  public:
    /// Receives what arrives; called on the transport's own threads.
    struct Sink {
        virtual ~Sink() = default;
        /// A request of the other side, to be answered under the same sequence number.
        virtual void onRequestFrame(uint64_t sequence, ValueSet message) = 0;
        /// The answer to this side's request `sequence`.
        virtual void onResponseFrame(uint64_t sequence, AppServiceResponseStatus status,
                                     ValueSet message) = 0;
        /// The other side closed, or the transport failed. Called at most once.
        virtual void onTransportClosed(AppServiceClosedStatus status) = 0;
    };

    virtual ~AppServiceTransport() = default;
    /// Starts delivering to `sink`.
    virtual void start(std::weak_ptr<Sink> sink) = 0;
    /// Whether frames reach the sink on a thread of the transport's own (a reading
    /// thread), never on one of its callers.
    virtual bool deliversOnOwnThread() const { return false; }
    /// The message is captured before the call returns. Success, MessageSizeTooLarge,
    /// ResourceLimitsExceeded (the peer does not read) or Failure (closed).
    virtual AppServiceResponseStatus sendRequest(uint64_t sequence, const ValueSet& message) = 0;
    /// Answers request `sequence`; statuses as sendRequest.
    virtual AppServiceResponseStatus sendResponse(uint64_t sequence,
                                                  AppServiceResponseStatus status,
                                                  const ValueSet& message) = 0;
    /// Tells the other side and stops; the own sink is not notified.
    virtual void close() = 0;
};

}  // namespace Platform
