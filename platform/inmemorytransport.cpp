#include "platform/inmemorytransport.h"

#include <TarvikFoundation/platform/threadpool.h>

namespace Platform {

std::pair<std::shared_ptr<InMemoryTransport>, std::shared_ptr<InMemoryTransport>>
InMemoryTransport::createPair() {
    auto a = std::make_shared<InMemoryTransport>();
    auto b = std::make_shared<InMemoryTransport>();
    a->peer_ = b;
    b->peer_ = a;
    return {a, b};
}

void InMemoryTransport::start(std::weak_ptr<Sink> sink) {
    std::lock_guard g(m_);
    sink_ = std::move(sink);
}

std::shared_ptr<InMemoryTransport> InMemoryTransport::peer() {
    std::lock_guard g(m_);
    if (closed_) return nullptr;
    return peer_.lock();
}

std::shared_ptr<AppServiceTransport::Sink> InMemoryTransport::peerSink() {
    auto p = peer();
    if (!p) return nullptr;
    std::lock_guard g(p->m_);
    if (p->closed_) return nullptr;
    return p->sink_.lock();
}

AppServiceResponseStatus InMemoryTransport::sendRequest(uint64_t sequence,
                                                        const ValueSet& message) {
    auto sink = peerSink();
    if (!sink) return AppServiceResponseStatus::Failure;
    ValueSet copy = message ? message.Clone() : ValueSet(nullptr);
    sink->onRequestFrame(sequence, std::move(copy));
    return AppServiceResponseStatus::Success;
}

AppServiceResponseStatus InMemoryTransport::sendResponse(uint64_t sequence,
                                                         AppServiceResponseStatus status,
                                                         const ValueSet& message) {
    auto sink = peerSink();
    if (!sink) return AppServiceResponseStatus::Failure;
    ValueSet copy = message ? message.Clone() : ValueSet(nullptr);
    // Delivered from the pool, as a socket reader thread would, never inline in the responder.
    ThreadPool::instance().post(
        [sink, sequence, status, copy] { sink->onResponseFrame(sequence, status, copy); });
    return AppServiceResponseStatus::Success;
}

void InMemoryTransport::close() {
    std::shared_ptr<InMemoryTransport> p;
    {
        std::lock_guard g(m_);
        if (closed_) return;
        closed_ = true;
        p = peer_.lock();
    }
    if (!p) return;
    std::shared_ptr<Sink> sink;
    {
        std::lock_guard g(p->m_);
        if (p->closed_) return;
        p->closed_ = true;
        sink = p->sink_.lock();
    }
    if (sink) sink->onTransportClosed(AppServiceClosedStatus::Completed);
}

}  // namespace Platform
