#include "platform/appservicelistener.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <vector>

#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "platform/calleridentity.h"
#include "platform/framedio.h"
#include "platform/iocontext.h"
#include "platform/listenerlock.h"
#include "platform/pendinghandshakes.h"
#include "platform/platformlog.h"
#include "platform/ratelimitedwarning.h"
#include "platform/socketclient.h"
#include "platform/socketpaths.h"
#include "platform/sockettransport.h"
#include "platform/wirecodec.h"

namespace Platform {

using boost::asio::local::stream_protocol;

namespace {
// How long the listener pauses when the process has no descriptor left to accept with.
constexpr std::chrono::milliseconds kAcceptBackOff{100};
}  // namespace

// Each open connection may hold a frame of up to 16 MiB several times over while it is
// read, decoded and passed on, and a reading thread: without a limit, a process of the
// package (a confined application, too) could make the service's process take memory
// and threads without end. A real application and its helper use two or three.
constexpr std::size_t kMaxOpenConnections = 16;

struct AppServiceListener::Impl : std::enable_shared_from_this<Impl> {
    Impl(hstring family, hstring service, Handler h)
        : packageFamilyName(std::move(family)),
          serviceName(std::move(service)),
          handler(std::move(h)),
          acceptor(IoContext::get()) {}

    hstring packageFamilyName;
    hstring serviceName;
    Handler handler;
    stream_protocol::acceptor acceptor;
    std::mutex m;
    bool stopped = false;
    std::shared_ptr<PendingHandshakes> pending;
    Platform::RateLimitedWarning acceptFailures;
    // The connections opened here; those that ended no longer count.
    std::vector<std::weak_ptr<SocketTransport>> opened;
    // Places taken by openings being answered, not yet among `opened`.
    std::size_t reserved = 0;

    // With m held.
    std::size_t openCount() {
        std::erase_if(opened, [](const std::weak_ptr<SocketTransport>& weak) {
            const auto transport = weak.lock();
            return !transport || transport->ended();
        });
        return opened.size();
    }

    void acceptNext() {
        auto self = shared_from_this();
        acceptor.async_accept(
            [self](const boost::system::error_code& ec, stream_protocol::socket socket) {
                {
                    std::lock_guard g(self->m);
                    if (self->stopped || ec == boost::asio::error::operation_aborted) return;
                }
                if (!ec) {
                    // Another user's connection never takes a place among the waiting.
                    const long uid = FramedIo::peerUid(socket.native_handle());
                    if (uid != static_cast<long>(::getuid()))
                        PLOG("CRT", "connection from uid %ld refused", uid);
                    else
                        self->pending->wait(std::move(socket));
                    self->acceptNext();
                    return;
                }
                if (uint64_t times = 0; self->acceptFailures.due(times))
                    PLOG("WRN", "accept failed: %s (%llu times since the last report)",
                         ec.message().c_str(), static_cast<unsigned long long>(times));
                if (ec != boost::asio::error::no_descriptors &&
                    ec.value() != ENFILE) {  // nothing to wait for
                    self->acceptNext();
                    return;
                }
                // Out of descriptors: give up the longest silent connection and wait a
                // little, rather than spin on a listener that stays readable.
                self->pending->closeOldest();
                std::weak_ptr<Impl> weak = self;
                Clock::instance().schedule(kAcceptBackOff, [weak] {
                    boost::asio::post(IoContext::get(), [weak] {
                        if (auto impl = weak.lock()) impl->acceptNext();
                    });
                });
            });
    }

    void handshake(stream_protocol::socket socket, const tarvik::wire::Frame& hello) {
        const int fd = socket.native_handle();
        tarvik::wire::Frame reply;
        const hstring requested = hstring::from_utf8(hello.open().service_name());
        const bool known = requested == serviceName;
        // A peer of a later protocol would read this side's frames its own way. An
        // unset version (0) is the first one's: it came before the field was sent.
        const uint64_t version = hello.open().protocol_version();
        const bool spoken = version <= Wire::kProtocolVersion;
        const auto verdict =
            known && spoken ? CallerIdentity::identify(
                                  fd, packageFamilyName,
                                  hstring::from_utf8(hello.open().caller_package_family_name()))
                            : CallerIdentity::Verdict{};
        // A place is taken under the lock before the answer goes out, so that openings
        // handled at once cannot all find the last place free.
        std::size_t open = 0;
        bool room = false;
        if (verdict.accepted) {
            std::lock_guard g(m);
            open = openCount() + reserved;
            room = open < kMaxOpenConnections;
            if (room) ++reserved;
        }
        struct Place {
            Impl& impl;
            bool held;
            ~Place() {
                if (!held) return;
                std::lock_guard g(impl.m);
                --impl.reserved;
            }
        } place{*this, room};
        reply.mutable_open_result()->set_status(
            static_cast<int32_t>(!known    ? AppServiceConnectionStatus::AppServiceUnavailable
                                 : !spoken ? AppServiceConnectionStatus::Unknown
                                 : !verdict.accepted ? AppServiceConnectionStatus::NotAuthorized
                                 : !room             ? AppServiceConnectionStatus::Unknown
                                                     : AppServiceConnectionStatus::Success));
        if (known && !spoken)
            PLOG("WRN", "connection to %s refused: protocol version %llu, this side speaks %u",
                 serviceName.to_utf8().c_str(), static_cast<unsigned long long>(version),
                 Wire::kProtocolVersion);
        else if (known && !verdict.accepted)
            PLOG("CRT", "connection to %s refused: %s", serviceName.to_utf8().c_str(),
                 verdict.reason.c_str());
        else if (verdict.accepted && !room)
            PLOG("WRN", "connection to %s refused: %zu connections open, the most it serves",
                 serviceName.to_utf8().c_str(), open);
        if (!FramedIo::writeFrame(fd, reply) || !room) {
            if (!known)
                PLOG("WRN", "connection for unknown service %s refused",
                     hello.open().service_name().c_str());
            return;
        }
        const hstring caller = verdict.callerPackageFamilyName;
        auto transport =
            std::make_shared<SocketTransport>(std::move(socket), "server " + serviceName.to_utf8());
        Handler h;
        {
            std::lock_guard g(m);
            if (stopped) return;
            h = handler;
            opened.push_back(transport);
            --reserved;
            place.held = false;
        }
        // The peer's requests wait until the trigger is handled: one sent at once after
        // opening finds the handlers that the trigger registered.
        AppServiceConnection::FromTransport(transport, serviceName, packageFamilyName,
                                            [&](const AppServiceConnection& c) {
                                                h(AppServiceTriggerDetails(serviceName, caller, c));
                                            });
    }
};

std::shared_ptr<AppServiceListener> AppServiceListener::start(const hstring& packageFamilyName,
                                                              const hstring& serviceName,
                                                              Handler handler) {
    SocketPaths::ensurePackageFolder(packageFamilyName);
    const std::string path = SocketPaths::servicePath(packageFamilyName, serviceName);
    auto listener = std::make_shared<AppServiceListener>(Key{});
    listener->path_ = path;
    // Whoever holds the lock owns the name, so a socket file found now is a dead
    // listener's and is replaced.
    listener->lock_ = std::make_unique<ListenerLock>(path);
    listener->impl_ = std::make_shared<Impl>(packageFamilyName, serviceName, std::move(handler));
    // Made before anything can fail: a listener that fails to start is still stopped,
    // and stopping closes the waiting handshakes.
    std::weak_ptr<Impl> weak = listener->impl_;
    listener->impl_->pending = std::make_shared<PendingHandshakes>(
        [weak](PendingHandshakes::Socket socket, const tarvik::wire::Frame& hello) {
            if (auto impl = weak.lock()) impl->handshake(std::move(socket), hello);
        },
        SocketClient::kHandshakeTimeoutMs);
    auto& acceptor = listener->impl_->acceptor;
    boost::system::error_code ec;
    acceptor.open(stream_protocol(), ec);
    // The programs this process starts must not hold the service's socket.
    if (!ec) ::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC);
    if (!ec) acceptor.bind(stream_protocol::endpoint(path), ec);
    if (ec == boost::asio::error::address_in_use) {
        ::unlink(path.c_str());
        ec.clear();
        acceptor.bind(stream_protocol::endpoint(path), ec);
    }
    if (!ec) ::chmod(path.c_str(), 0600);
    if (!ec) acceptor.listen(64, ec);
    if (ec)
        throw hresult_error(static_cast<hresult>(0x80004005),
                            hstring::from_utf8("cannot listen on " + path + ": " + ec.message()));
    auto impl = listener->impl_;
    boost::asio::post(IoContext::get(), [impl] { impl->acceptNext(); });
    return listener;
}

AppServiceListener::~AppServiceListener() {
    stop();
}

void AppServiceListener::stop() {
    if (!impl_) return;
    {
        std::lock_guard g(impl_->m);
        if (impl_->stopped) return;
        impl_->stopped = true;
    }
    auto impl = impl_;
    boost::asio::post(IoContext::get(), [impl] {
        boost::system::error_code ignored;
        impl->acceptor.close(ignored);
        impl->pending->closeAll();
    });
    // The name is given up before the lock, so that the next listener's socket stays.
    ::unlink(path_.c_str());
    lock_.reset();
}

}  // namespace Platform
