#pragma once
// Connections waiting for their opening frame. The frame is read on the I/O thread, so
// a waiting connection holds no pool thread; each waits at most the handshake timeout
// (on the library's clock), and at most kMaxPending wait at once: for a new one beyond
// that, the one waiting longest is closed. A flood of silent connections therefore
// costs descriptors and a little memory, never threads, and cannot keep a real client
// from being heard.
#include <atomic>
#include <boost/asio/local/stream_protocol.hpp>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>

#include "appservice.pb.h"
#include "platform/ratelimitedwarning.h"

namespace Platform {

class PendingHandshakes : public std::enable_shared_from_this<PendingHandshakes> {
  public:
    using Socket = boost::asio::local::stream_protocol::socket;
    // Called on a pool thread with the connection and its opening frame.
    using Opened = std::function<void(Socket, tarvik::wire::Frame)>;

    static constexpr std::size_t kMaxPending = 128;
    // An opening frame names a service and a caller; anything larger is not one.
    static constexpr std::size_t kMaxOpeningFrame = 64 * 1024;

    PendingHandshakes(Opened opened, int timeoutMs, std::size_t maxPending = kMaxPending);

    // On the I/O thread: waits for the socket's opening frame.
    void wait(Socket socket);
    // On the I/O thread: closes the connection that has waited longest; false when none
    // waits. Frees a descriptor when the process has run out.
    bool closeOldest();
    // On the I/O thread: closes every waiting connection.
    void closeAll();
    std::size_t pending() const noexcept { return count_.load(); }

  private:
    struct Entry;
    void readBody(const std::shared_ptr<Entry>& entry);
    void finish(const std::shared_ptr<Entry>& entry);

    Opened opened_;
    int timeoutMs_;
    std::size_t maxPending_;
    std::list<std::shared_ptr<Entry>> waiting_;  // oldest first; I/O thread only
    std::atomic<std::size_t> count_{0};
    Platform::RateLimitedWarning crowded_;
};

}  // namespace Platform
