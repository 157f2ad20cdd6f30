#pragma once
#include <atomic>
#include <boost/asio/local/stream_protocol.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <TarvikFoundation/platform/appservicetransport.h>

#include "appservice.pb.h"
#include "platform/deliveryqueue.h"
#include "platform/framebuffer.h"
#include "platform/keycache.h"

namespace Platform {

/// An app-service transport over a connected Unix domain stream socket, after the
/// opening handshake. Frames are length-prefixed protobuf messages. Each transport
/// reads on a thread of its own, which under load reads burst after burst without
/// waiting in an event loop shared with every other connection, and between bursts
/// stays awake for a moment before it sleeps. A read that sets off a single item where
/// a pool thread lingers for it hands the reading to that thread and runs the item
/// itself: the item starts without a hand-off, and the reading goes on at once.
class SocketTransport : public AppServiceTransport,
                        public std::enable_shared_from_this<SocketTransport> {
  public:
    // Bytes queued for a peer that does not read, beyond which sends are refused.
    static constexpr std::size_t kMaxQueuedBytes = 64u * 1024u * 1024u;

    /// Takes ownership of a connected socket descriptor.
    static std::shared_ptr<SocketTransport> adopt(int fd, std::string label);

    void start(std::weak_ptr<Sink> sink) override;
    bool deliversOnOwnThread() const override { return true; }
    AppServiceResponseStatus sendRequest(uint64_t sequence, const ValueSet& message) override;
    AppServiceResponseStatus sendResponse(uint64_t sequence, AppServiceResponseStatus status,
                                          const ValueSet& message) override;
    void close() override;
    /// Whether either side has ended the connection (or begun to end it).
    bool ended();

    SocketTransport(boost::asio::local::stream_protocol::socket socket, std::string label);
    ~SocketTransport() override;

  private:
    AppServiceResponseStatus enqueue(std::optional<std::string> bytes, std::size_t frameSize);
    void sendOnCaller(std::unique_lock<std::mutex>& lock, std::string batch);
    class SendBatch;
    class HeldSends;
    void sendHeld();
    void startIoWriter();
    bool openIoWriter();
    void shutDown();
    void releaseDescriptor();
    void writeNext();
    void onWritten(const boost::system::error_code& ec);
    static constexpr std::size_t kReadChunk = 64 * 1024;
    struct ReadTurn;
    void readLoop();
    bool readFrames(std::optional<DeliveryQueue::Hold>& hold);
    ssize_t receive(char* into, std::size_t room, int& error);
    bool drainFrames(std::optional<DeliveryQueue::Hold>& hold);
    bool handleFrame(const std::shared_ptr<Sink>& sink, const char* data, std::size_t size);
    void fail(AppServiceClosedStatus status);

    // Stopping is a shutdown, which wakes the reader; the reader closes the descriptor
    // as it ends (or the destructor, if reading never started). -1 once closed.
    int fd_;
    std::string label_;
    std::mutex m_;
    std::weak_ptr<Sink> sink_;
    std::deque<std::string> outbox_;
    std::size_t queuedBytes_ = 0;
    // At most one writer: the I/O thread (writing_) or a sending thread (sending_).
    bool writing_ = false;
    bool sending_ = false;
    // The I/O thread's handle while it writes what the socket did not take: a copy of
    // the descriptor, so that the event loop watches the socket only meanwhile.
    std::optional<boost::asio::local::stream_protocol::socket> ioWriter_;
    // The reader ended while a sending thread was on the descriptor; that thread closes it.
    bool closeWhenSent_ = false;
    bool closed_ = false;
    bool notified_ = false;
    // The batch of held sends that writes this transport's queue, while one does.
    SendBatch* heldBy_ = nullptr;
    // Used by the thread that reads (one at a time; the reading passes between threads
    // through the queues' locks). completions_ takes what it posts (continuations,
    // events), so that they go to the pool by the burst.
    DeliveryQueue completions_;
    Wire::FrameBuffer inbox_{kReadChunk};
    Wire::KeyCache keys_;
    // Whether the last read that slept woke within the lingering time.
    bool lingerNext_ = true;
    // Whether the last read took less than it had room for: the socket was empty then.
    bool emptied_ = false;
    // Until then, what a read sets off goes to the pool rather than running on the
    // reading thread: an item of this connection took long or got stuck lately, and
    // the next may too (handlers that compute use the other cores, and the reading
    // goes on).
    std::chrono::steady_clock::time_point inlineAgainAt_{};
    // Until then (steady clock ticks), what a read sets off sends at once instead of
    // holding its sends for one write: an item of this connection took long or waited
    // lately. Atomic: a thread that waited writes it after the reading went on.
    std::atomic<std::chrono::steady_clock::rep> holdSendsAgainAt_{0};
    static constexpr auto kInlinePause = std::chrono::milliseconds(50);
};

}  // namespace Platform
