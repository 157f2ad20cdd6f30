#include "platform/sockettransport.h"

#include <fcntl.h>
#include <google/protobuf/arena.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <system_error>
#include <thread>

#include <TarvikFoundation/platform/linger.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "platform/connectionwait.h"
#include "platform/deliveryqueue.h"
#include "platform/framedecoder.h"
#include "platform/frameencoder.h"
#include "platform/iocontext.h"
#include "platform/platformlog.h"
#include "platform/readerhandlers.h"
#include "platform/wirecodec.h"

namespace Platform {

using boost::asio::local::stream_protocol;

std::shared_ptr<SocketTransport> SocketTransport::adopt(int fd, std::string label) {
    stream_protocol::socket socket(IoContext::get());
    boost::system::error_code ec;
    socket.assign(stream_protocol(), fd, ec);
    if (ec) {
        ::close(fd);
        return nullptr;
    }
    return std::make_shared<SocketTransport>(std::move(socket), std::move(label));
}

// The descriptor leaves the event loop: the transport's own thread waits on it instead.
SocketTransport::SocketTransport(stream_protocol::socket socket, std::string label)
    : fd_(socket.release()), label_(std::move(label)) {}

SocketTransport::~SocketTransport() {
    ioWriter_.reset();
    if (fd_ >= 0) ::close(fd_);
}

void SocketTransport::start(std::weak_ptr<Sink> sink) {
    {
        std::lock_guard g(m_);
        sink_ = std::move(sink);
    }
    // The thread holds the transport until the socket ends, so it is never joined:
    // the last holder may be the thread itself.
    try {
        std::thread([self = shared_from_this()] { self->readLoop(); }).detach();
    } catch (const std::system_error& e) {
        PLOG("CRT", "%s: no thread to read with (%s), closing", label_.c_str(), e.what());
        fail(AppServiceClosedStatus::Unknown);
        releaseDescriptor();
    }
}

// Sends made while a reading thread hands on or runs what one read set off are held,
// and each transport written to gets them in one system call: a burst of frames read
// in one read is answered, or forwarded, in a few writes per transport instead of one
// per frame. A batch is written every kFramesPerWrite frames, so that the peer has work
// while the rest is made, and released once: when the read's work is done here or
// reaches its last item, or before an item waits (or is found stuck), since the wait
// may be for an answer to a held send, or after one took long.
class SocketTransport::SendBatch {
  public:
    static constexpr int kFramesPerWrite = 8;

    // A batch of the reading transport's own sends only (a handler's sends on other
    // connections go out at once), or, without one, of every transport's.
    explicit SendBatch(const SocketTransport* only = nullptr) : only_(only) {}

    // False once released, or for a transport it does not hold: the send goes out at once.
    bool add(std::shared_ptr<SocketTransport> transport) {
        if (only_ && transport.get() != only_) return false;
        std::lock_guard g(m_);
        if (released_) return false;
        transports_.push_back(std::move(transport));
        ++frames_;
        return true;
    }
    // One more frame behind a transport this batch holds; true when the batch is due.
    bool due() {
        std::lock_guard g(m_);
        return ++frames_ >= kFramesPerWrite;
    }
    void write() { take(false); }
    void release() { take(true); }

  private:
    void take(bool last) {
        std::vector<std::shared_ptr<SocketTransport>> transports;
        {
            std::lock_guard g(m_);
            released_ = released_ || last;
            frames_ = 0;
            transports.swap(transports_);
        }
        for (auto& transport : transports) transport->sendHeld();
    }

    const SocketTransport* const only_;
    std::mutex m_;
    bool released_ = false;
    int frames_ = 0;
    std::vector<std::shared_ptr<SocketTransport>> transports_;
};

// While alive, this thread's sends go to a batch (none: out at once); released at the end.
class SocketTransport::HeldSends {
  public:
    explicit HeldSends(SendBatch* batch) : previous_(t_held), batch_(batch) {
        if (batch_) t_held = batch_;
    }
    ~HeldSends() {
        t_held = previous_;
        if (batch_) batch_->release();
    }
    HeldSends(const HeldSends&) = delete;
    HeldSends& operator=(const HeldSends&) = delete;

    // The batch this thread's sends go to now, or null.
    static SendBatch* current() { return t_held; }

  private:
    static thread_local SendBatch* t_held;
    SendBatch* previous_;
    SendBatch* batch_;
};

thread_local SocketTransport::SendBatch* SocketTransport::HeldSends::t_held = nullptr;

AppServiceResponseStatus SocketTransport::enqueue(std::optional<std::string> bytes,
                                                  std::size_t frameSize) {
    if (!bytes) {
        PLOG("WRN", "%s: frame of %I64u bytes exceeds the limit, not sent", label_.c_str(),
             static_cast<uint64_t>(frameSize));
        return AppServiceResponseStatus::MessageSizeTooLarge;
    }
    std::unique_lock g(m_);
    if (closed_) return AppServiceResponseStatus::Failure;
    if (!writing_ && !sending_) {
        auto* held = HeldSends::current();
        if (held && held->add(shared_from_this())) {
            // This thread's batch is the writer; it writes once released.
            sending_ = true;
            heldBy_ = held;
            queuedBytes_ += bytes->size();
            outbox_.push_back(std::move(*bytes));
            return AppServiceResponseStatus::Success;
        }
        sendOnCaller(g, std::move(*bytes));
        return AppServiceResponseStatus::Success;
    }
    if (queuedBytes_ + bytes->size() > kMaxQueuedBytes) {
        PLOG("WRN", "%s: peer is not reading, %I64u bytes queued", label_.c_str(),
             static_cast<uint64_t>(queuedBytes_));
        return AppServiceResponseStatus::ResourceLimitsExceeded;
    }
    if (heldBy_ && heldBy_ == HeldSends::current()) {
        // Another frame for the batch this thread holds; large frames are not copied
        // into one write for long.
        queuedBytes_ += bytes->size();
        outbox_.push_back(std::move(*bytes));
        const bool large = queuedBytes_ >= kReadChunk;
        auto* held = heldBy_;
        g.unlock();
        if (held->due() || large) held->write();
        return AppServiceResponseStatus::Success;
    }
    // Behind the current writer, which takes it next.
    queuedBytes_ += bytes->size();
    outbox_.push_back(std::move(*bytes));
    return AppServiceResponseStatus::Success;
}

namespace {
// How many times a sending thread writes what others queued behind it before it
// leaves the rest to the I/O thread.
constexpr int kCallerRounds = 8;
}  // namespace

// Nothing queued: the sending thread writes itself instead of handing the frame to the
// I/O thread, outside the lock, and then also writes what other threads queued behind
// it meanwhile, in one system call. What the socket does not take, and any error, goes
// the I/O thread's way, which writes the rest or reports the failure. Called and
// returns with the lock held.
void SocketTransport::sendOnCaller(std::unique_lock<std::mutex>& lock, std::string batch) {
    sending_ = true;
    for (int round = 1;; ++round) {
        lock.unlock();
        const ssize_t sent = ::send(fd_, batch.data(), batch.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        lock.lock();
        const std::size_t done = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        if (closeWhenSent_) {
            // The reader ended meanwhile and left closing the descriptor to us.
            sending_ = false;
            ::close(fd_);
            fd_ = -1;
            return;
        }
        if (done < batch.size() || closed_ || (round >= kCallerRounds && !outbox_.empty())) {
            batch.erase(0, done);
            if (!batch.empty()) {
                queuedBytes_ += batch.size();
                outbox_.push_front(std::move(batch));
            }
            sending_ = false;
            if (!outbox_.empty()) startIoWriter();
            return;
        }
        if (outbox_.empty()) {
            sending_ = false;
            return;
        }
        batch.clear();
        for (auto& frame : outbox_) batch += frame;
        outbox_.clear();
        queuedBytes_ = 0;
    }
}

// The sends a reading thread held for this transport, with what other threads queued
// behind them meanwhile, in one system call.
void SocketTransport::sendHeld() {
    std::unique_lock g(m_);
    heldBy_ = nullptr;
    if (closed_) {
        // The close frame is queued: the I/O thread writes it last and then ends the
        // socket, which a write here would not.
        sending_ = false;
        if (!outbox_.empty()) startIoWriter();
        return;
    }
    std::string batch;
    if (outbox_.size() == 1) {
        batch = std::move(outbox_.front());
    } else {
        batch.reserve(queuedBytes_);
        for (auto& frame : outbox_) batch += frame;
    }
    outbox_.clear();
    queuedBytes_ = 0;
    sendOnCaller(g, std::move(batch));
}

// Runs on the I/O thread; one write in flight at a time.
void SocketTransport::writeNext() {
    const std::string* front;
    {
        std::lock_guard g(m_);
        if (outbox_.empty()) {
            writing_ = false;
            ioWriter_.reset();
            return;
        }
        front = &outbox_.front();
    }
    auto self = shared_from_this();
    boost::asio::async_write(
        *ioWriter_, boost::asio::buffer(*front),
        [self](const boost::system::error_code& ec, std::size_t) { self->onWritten(ec); });
}

// On the I/O thread, once the front frame is written or the write failed.
void SocketTransport::onWritten(const boost::system::error_code& ec) {
    bool closing;
    {
        std::lock_guard g(m_);
        queuedBytes_ -= outbox_.front().size();
        outbox_.pop_front();
        closing = closed_ && outbox_.empty();
    }
    if (!ec && !closing) {
        writeNext();
        return;
    }
    if (ec) PLOG("WRN", "%s: write failed: %s", label_.c_str(), ec.message().c_str());
    ioWriter_.reset();
    // After our own close frame this only ends the socket: our own close is not told.
    fail(AppServiceClosedStatus::Unknown);
}

namespace {

// Frames are parsed in an arena that starts on the stack: the entries of a
// message cost no allocation of their own.
class FrameArena {
  public:
    FrameArena() : arena_(options(block_, sizeof block_)) {}
    FrameArena(const FrameArena&) = delete;
    FrameArena& operator=(const FrameArena&) = delete;
    tarvik::wire::Frame& frame() {
        return *google::protobuf::Arena::CreateMessage<tarvik::wire::Frame>(&arena_);
    }

  private:
    static google::protobuf::ArenaOptions options(char* block, std::size_t size) {
        google::protobuf::ArenaOptions o;
        o.initial_block = block;
        o.initial_block_size = size;
        return o;
    }
    alignas(std::max_align_t) char block_[8192];
    google::protobuf::Arena arena_;
};

}  // namespace

AppServiceResponseStatus SocketTransport::sendRequest(uint64_t sequence, const ValueSet& message) {
    std::size_t size = 0;
    auto bytes = Wire::encodeRequest(sequence, message, size);
    return enqueue(std::move(bytes), size);
}

AppServiceResponseStatus SocketTransport::sendResponse(uint64_t sequence,
                                                       AppServiceResponseStatus status,
                                                       const ValueSet& message) {
    std::size_t size = 0;
    auto bytes = Wire::encodeResponse(sequence, static_cast<int32_t>(status), message, size);
    return enqueue(std::move(bytes), size);
}

void SocketTransport::close() {
    tarvik::wire::Frame frame;
    frame.mutable_close()->set_status(static_cast<int32_t>(AppServiceClosedStatus::Completed));
    auto bytes = Wire::encodeFrame(frame);
    std::lock_guard g(m_);
    if (closed_) return;
    notified_ = true;  // our own side asked; the sink hears nothing
    outbox_.push_back(std::move(*bytes));
    queuedBytes_ += outbox_.back().size();
    closed_ = true;
    // The close frame goes out after what is queued; then the socket closes. A sending
    // thread hands the queue to the I/O thread when it sees closed_.
    if (!writing_ && !sending_) startIoWriter();
}

bool SocketTransport::ended() {
    std::lock_guard g(m_);
    return closed_;
}

void SocketTransport::fail(AppServiceClosedStatus status) {
    std::shared_ptr<Sink> sink;
    {
        std::lock_guard g(m_);
        closed_ = true;
        if (!notified_) {
            notified_ = true;
            sink = sink_.lock();
        }
    }
    shutDown();
    if (sink) sink->onTransportClosed(status);
}

// With the lock held: the I/O thread becomes the writer of what is queued, through
// a copy of the descriptor that it watches while the socket is full (a socket, not a
// plain descriptor: its writes raise no SIGPIPE).
void SocketTransport::startIoWriter() {
    writing_ = true;
    auto self = shared_from_this();
    boost::asio::post(IoContext::get(), [self] {
        {
            std::lock_guard g(self->m_);
            if (self->fd_ < 0) {
                // The socket ended before the I/O thread got here: nothing to write to.
                self->writing_ = false;
                self->outbox_.clear();
                self->queuedBytes_ = 0;
                return;
            }
            // Only the I/O thread touches the copy.
            if (!self->ioWriter_ && !self->openIoWriter()) {
                PLOG("WRN", "%s: no descriptor left to write with: %s", self->label_.c_str(),
                     std::strerror(errno));
            }
        }
        if (!self->ioWriter_) {
            self->fail(AppServiceClosedStatus::Unknown);
            return;
        }
        self->writeNext();
    });
}

// With the lock held, on the I/O thread.
bool SocketTransport::openIoWriter() {
    const int copy = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return false;
    ioWriter_.emplace(IoContext::get());
    boost::system::error_code ec;
    ioWriter_->assign(stream_protocol(), copy, ec);
    if (!ec) return true;
    ioWriter_.reset();
    ::close(copy);
    errno = ec.value();
    return false;
}

// Ends both directions without giving up the descriptor: the reader wakes with an
// end of stream, a sender's write fails, and the peer sees the end.
void SocketTransport::shutDown() {
    std::lock_guard g(m_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

// Called by the reader as it ends, after the socket was shut down. Never closes a
// descriptor a sending thread is writing to: its number could be reused by the time
// the write happens. That thread closes it instead.
void SocketTransport::releaseDescriptor() {
    std::lock_guard g(m_);
    if (sending_) {
        closeWhenSent_ = true;
        return;
    }
    ::close(fd_);
    fd_ = -1;
}

// The reading, as handed on by a thread whose item waited. One the watcher found stuck
// sends the items of the next reads to the pool for a while, as they may get stuck too;
// a wait the platform saw hands on what follows it at once, and needs no such pause.
struct SocketTransport::ReadTurn {
    std::shared_ptr<SocketTransport> self;
    void operator()(bool byWatcher) const {
        if (byWatcher) self->inlineAgainAt_ = std::chrono::steady_clock::now() + kInlinePause;
        self->readLoop();
    }
};

// Runs on the transport's own thread, and on the pool threads it hands the reading to,
// until the socket ends. Each read takes whatever has arrived, up to the free space of
// the inbox; under load one read brings many frames, and each costs no system call of
// its own. What a read sets off runs on this thread, without a hand-off; should an
// item wait, the reading goes on on another thread and this one leaves the loop. After
// items that took long or got stuck, items go to the pool for a while, as before.
void SocketTransport::readLoop() {
    for (;;) {
        std::optional<DeliveryQueue::Hold> hold;
        {
            ThreadPool::Funnel funnel(completions_);
            if (!readFrames(hold)) {
                releaseDescriptor();
                return;
            }
        }
        if (!hold) continue;
        // A read that filled the inbox left more behind it: what it set off goes to the
        // pool, so that the reading keeps up with a peer that sends faster.
        if (!emptied_ || std::chrono::steady_clock::now() < inlineAgainAt_) {
            hold.reset();  // hands everything on, as pushed
            continue;
        }
        // A lone item's sends go out at once, since nothing follows them. After an item
        // that took long or waited, so do all for a while: another may do the same, and
        // what was sent before it would wait for it. The batch lives until runHere has
        // returned, which is the last any thread releases it.
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::optional<SendBatch> batch;
        std::function<void()> release;
        if (hold->size() > 1 && now >= holdSendsAgainAt_.load(std::memory_order_relaxed)) {
            batch.emplace(this);
            release = [sends = &*batch] { sends->release(); };
        }
        const HeldSends held(batch ? &*batch : nullptr);
        const auto ran = hold->runHere(ReadTurn{shared_from_this()}, std::move(release));
        if (hold->sawSlowItem())
            holdSendsAgainAt_.store(
                (std::chrono::steady_clock::now() + kInlinePause).time_since_epoch().count(),
                std::memory_order_relaxed);
        switch (ran) {
            case DeliveryQueue::Hold::Ran::Here:
                break;
            case DeliveryQueue::Hold::Ran::Slowly:
                inlineAgainAt_ = std::chrono::steady_clock::now() + kInlinePause;
                break;
            case DeliveryQueue::Hold::Ran::ReadingGiven:
                return;
        }
    }
}

namespace {
// Nothing to read yet, or the call was interrupted: try again.
bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}
}  // namespace

// One read: bytes read, 0 at the end of the stream, or -1 with `error` set. Where the
// peer answered within a moment last time, it stays awake that long first, as a pool
// thread does: reading the next frame awake saves being put to sleep and woken again
// (on the 2-core VM, asleep at once, the single round trip took half as long again).
// Where the last wait was longer (a relay, whose next frame comes a whole round trip
// later), staying awake would only take the core from the threads doing the work.
ssize_t SocketTransport::receive(char* into, std::size_t room, int& error) {
    ssize_t n = -1;
    const auto tryRead = [&] {
        n = ::recv(fd_, into, room, MSG_DONTWAIT);
        error = n < 0 ? errno : 0;
        return !(n < 0 && wouldBlock(error));
    };
    if (lingerNext_) {
        linger(tryRead);
    } else if (!emptied_) {
        tryRead();
    } else {
        // It sleeps at once, and its last read emptied the socket: a read now would
        // nearly always find nothing, so poll asks first (a relay's reader: one system
        // call per frame fewer).
        error = EAGAIN;
    }
    if (n >= 0 || !wouldBlock(error)) {
        emptied_ = n >= 0 && static_cast<std::size_t>(n) < room;
        return n;
    }
    // Asleep in poll, not in the read itself: a reader asleep in recv was woken
    // markedly later on the 2-core VM (the single round trip 54 to 64 µs against 35
    // to 42 µs through poll, alternating runs).
    const auto asleep = std::chrono::steady_clock::now();
    // A pool thread given the reading waits here as a pool thread waits for the disk,
    // outside the pool's limit: an idle connection may keep it for good.
    const ConnectionWait waiting;
    while (n < 0 && wouldBlock(error)) {
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, -1);
        tryRead();
    }
    lingerNext_ = std::chrono::steady_clock::now() - asleep < kLinger;
    emptied_ = n >= 0 && static_cast<std::size_t>(n) < room;
    return n;
}

// One read and its frames. Returns false once the socket ended; what the frames set off
// for handlers that may wait is then kept in `hold`.
bool SocketTransport::readFrames(std::optional<DeliveryQueue::Hold>& hold) {
    const auto room = inbox_.space();
    int error = 0;
    const ssize_t n = receive(room.data(), room.size(), error);
    if (n <= 0) {
        bool ours;
        {
            std::lock_guard g(m_);
            ours = closed_;
        }
        if (!ours) {
            if (inbox_.buffered() > 0)
                PLOG("WRN", "%s: truncated frame: %s", label_.c_str(),
                     error ? std::strerror(error) : "end of stream");
            else if (error == 0)
                PLOG("INF", "%s: peer closed the socket", label_.c_str());
            else
                PLOG("WRN", "%s: read failed: %s", label_.c_str(), std::strerror(error));
        }
        fail(AppServiceClosedStatus::Unknown);
        return false;
    }
    inbox_.commit(static_cast<std::size_t>(n));
    try {
        return drainFrames(hold);
    } catch (const std::exception& e) {
        hold.reset();
        PLOG("CRT", "%s: reading failed (%s), closing", label_.c_str(), e.what());
        fail(AppServiceClosedStatus::Unknown);
        return false;
    }
}

// A frame's memory comes as its bytes do (FrameBuffer): a peer that announces 16 MiB
// and sends a few bytes holds a chunk, not the announced size.
bool SocketTransport::drainFrames(std::optional<DeliveryQueue::Hold>& hold) {
    std::shared_ptr<Sink> sink;
    {
        std::lock_guard g(m_);
        sink = sink_.lock();
    }
    const auto* handlers = dynamic_cast<const ReaderHandlers*>(sink.get());
    const bool neverWait = handlers && handlers->neverWait();
    std::optional<SendBatch> batch;
    if (neverWait) batch.emplace();
    const HeldSends held(batch ? &*batch : nullptr);
    // What handlers that may wait are sent off with is kept back, to run on this thread
    // once the read is handed on.
    if (!neverWait) hold.emplace();
    bool open = true;
    std::string_view body;
    uint32_t size = 0;
    while (open) {
        const auto next = inbox_.next(body, size);
        if (next == Wire::FrameBuffer::Next::Partial) break;
        if (next == Wire::FrameBuffer::Next::TooLarge) {
            PLOG("CRT", "%s: frame of %u bytes refused (limit %u), closing", label_.c_str(), size,
                 static_cast<unsigned>(Wire::kMaxFrameSize));
            fail(AppServiceClosedStatus::Unknown);
            return false;
        }
        open = handleFrame(sink, body.data(), body.size());
    }
    inbox_.settle();
    return open;
}

bool SocketTransport::handleFrame(const std::shared_ptr<Sink>& sink, const char* data,
                                  std::size_t size) {
    try {
        // Nearly every frame is read straight into its message; the rest (opening and
        // closing frames, other encodings, non-ASCII text) goes through protobuf.
        auto decoded = Wire::decodeCommonFrame(data, size, &keys_);
        if (!decoded) {
            FrameArena arena;
            auto& frame = arena.frame();
            if (!frame.ParseFromArray(data, static_cast<int>(size)))
                throw hresult_invalid_argument(L"frame does not parse");
            decoded = Wire::fromParsedFrame(frame, &keys_);
            if (!decoded) {
                if (frame.body_case() != tarvik::wire::Frame::kClose)
                    throw hresult_invalid_argument(L"unexpected frame type");
                PLOG("INF", "%s: peer closed the connection", label_.c_str());
                fail(AppServiceClosedStatus::Completed);
                return false;
            }
        }
        if (decoded->kind == Wire::DecodedFrame::Kind::Request) {
            if (sink) sink->onRequestFrame(decoded->sequence, std::move(decoded->message));
        } else {
            if (decoded->status < 0 ||
                decoded->status >
                    static_cast<int32_t>(AppServiceResponseStatus::MessageSizeTooLarge))
                throw hresult_invalid_argument(L"unknown response status");
            if (sink)
                sink->onResponseFrame(decoded->sequence,
                                      static_cast<AppServiceResponseStatus>(decoded->status),
                                      std::move(decoded->message));
        }
    } catch (const hresult_error& e) {
        PLOG("CRT", "%s: malformed frame (%S), closing", label_.c_str(), e.message().c_str());
        fail(AppServiceClosedStatus::Unknown);
        return false;
    } catch (const std::exception& e) {
        PLOG("CRT", "%s: malformed frame (%s), closing", label_.c_str(), e.what());
        fail(AppServiceClosedStatus::Unknown);
        return false;
    }
    return true;
}

}  // namespace Platform
