#include "platform/pendinghandshakes.h"

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>

#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "platform/iocontext.h"
#include "platform/platformlog.h"
#include "platform/wirecodec.h"

namespace Platform {

namespace asio = boost::asio;

struct PendingHandshakes::Entry {
    explicit Entry(Socket s) : socket(std::move(s)) {}
    Socket socket;
    unsigned char prefix[Wire::kLengthPrefixSize] = {};
    std::string body;
    Clock::timer_id deadline = 0;
    std::list<std::shared_ptr<Entry>>::iterator place;
    bool done = false;
};

PendingHandshakes::PendingHandshakes(Opened opened, int timeoutMs, std::size_t maxPending)
    : opened_(std::move(opened)), timeoutMs_(timeoutMs), maxPending_(maxPending) {}

void PendingHandshakes::wait(Socket socket) {
    if (count_.load() >= maxPending_) {
        closeOldest();
        if (uint64_t times = 0; crowded_.due(times))
            PLOG("WRN",
                 "more than %zu connections wait for their opening frame; the oldest was "
                 "closed (%llu times since the last report)",
                 maxPending_, static_cast<unsigned long long>(times));
    }
    auto entry = std::make_shared<Entry>(std::move(socket));
    entry->place = waiting_.insert(waiting_.end(), entry);
    ++count_;
    std::weak_ptr<PendingHandshakes> weakSelf = weak_from_this();
    std::weak_ptr<Entry> weakEntry = entry;
    entry->deadline =
        Clock::instance().schedule(std::chrono::milliseconds(timeoutMs_), [weakSelf, weakEntry] {
            asio::post(IoContext::get(), [weakSelf, weakEntry] {
                auto self = weakSelf.lock();
                auto entry = weakEntry.lock();
                if (!self || !entry || entry->done) return;
                PLOG("CRT", "no opening frame within %d ms, connection closed", self->timeoutMs_);
                self->finish(entry);
            });
        });
    auto self = shared_from_this();
    asio::async_read(entry->socket, asio::buffer(entry->prefix),
                     [self, entry](const boost::system::error_code& ec, std::size_t) {
                         if (entry->done) return;
                         if (ec) {
                             PLOG("CRT",
                                  "opening frame missing or malformed (%s), connection closed",
                                  ec.message().c_str());
                             self->finish(entry);
                             return;
                         }
                         self->readBody(entry);
                     });
}

void PendingHandshakes::readBody(const std::shared_ptr<Entry>& entry) {
    const uint32_t size = Wire::decodeLength(entry->prefix);
    if (size > kMaxOpeningFrame) {
        PLOG("CRT",
             "opening frame missing or malformed (frame of %u bytes exceeds the limit), "
             "connection closed",
             size);
        finish(entry);
        return;
    }
    entry->body.resize(size);
    auto self = shared_from_this();
    asio::async_read(entry->socket, asio::buffer(entry->body),
                     [self, entry](const boost::system::error_code& ec, std::size_t) {
                         if (entry->done) return;
                         tarvik::wire::Frame frame;
                         if (ec || !frame.ParseFromString(entry->body) || !frame.has_open()) {
                             PLOG("CRT",
                                  "opening frame missing or malformed (%s), connection closed",
                                  ec ? ec.message().c_str() : "unexpected frame");
                             self->finish(entry);
                             return;
                         }
                         Socket socket = std::move(entry->socket);
                         self->finish(entry);
                         auto shared = std::make_shared<std::pair<Socket, tarvik::wire::Frame>>(
                             std::move(socket), std::move(frame));
                         ThreadPool::instance().post([self, shared] {
                             self->opened_(std::move(shared->first), std::move(shared->second));
                         });
                     });
}

// Takes the entry out of the waiting list and closes its socket, unless the socket was
// moved on to the connection.
void PendingHandshakes::finish(const std::shared_ptr<Entry>& given) {
    // `given` may be the list's own element, which the erase below destroys.
    const std::shared_ptr<Entry> entry = given;
    if (entry->done) return;
    entry->done = true;
    Clock::instance().cancel(entry->deadline);
    waiting_.erase(entry->place);
    --count_;
    boost::system::error_code ignored;
    if (entry->socket.is_open()) entry->socket.close(ignored);
}

bool PendingHandshakes::closeOldest() {
    if (waiting_.empty()) return false;
    finish(waiting_.front());
    return true;
}

void PendingHandshakes::closeAll() {
    while (closeOldest()) {
    }
}

}  // namespace Platform
