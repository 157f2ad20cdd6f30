#pragma once
#include <memory>
#include <mutex>
#include <utility>

#include <TarvikFoundation/platform/appservicetransport.h>

namespace Platform {

/// Two transports joined in one process. Messages are copied on send, as the wire
/// would, so the sender may keep changing its ValueSet.
class InMemoryTransport : public AppServiceTransport,
                          public std::enable_shared_from_this<InMemoryTransport> {
  public:
    static std::pair<std::shared_ptr<InMemoryTransport>, std::shared_ptr<InMemoryTransport>>
    createPair();

    void start(std::weak_ptr<Sink> sink) override;
    AppServiceResponseStatus sendRequest(uint64_t sequence, const ValueSet& message) override;
    AppServiceResponseStatus sendResponse(uint64_t sequence, AppServiceResponseStatus status,
                                          const ValueSet& message) override;
    void close() override;

  private:
    std::shared_ptr<Sink> peerSink();
    std::shared_ptr<InMemoryTransport> peer();

    std::mutex m_;
    std::weak_ptr<Sink> sink_;
    std::weak_ptr<InMemoryTransport> peer_;
    bool closed_ = false;
};

}  // namespace Platform
