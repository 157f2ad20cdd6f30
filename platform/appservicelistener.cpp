#include "platform/appservicelistener.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>

#include <TarvikFoundation/platform/threadpool.h>

#include "platform/framedio.h"
#include "platform/iocontext.h"
#include "platform/listenerlock.h"
#include "platform/platformlog.h"
#include "platform/socketclient.h"
#include "platform/socketpaths.h"
#include "platform/sockettransport.h"

namespace Platform {

using boost::asio::local::stream_protocol;

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

    void acceptNext() {
        auto self = shared_from_this();
        acceptor.async_accept(
            [self](const boost::system::error_code& ec, stream_protocol::socket socket) {
                if (ec) {
                    if (ec != boost::asio::error::operation_aborted)
                        PLOG("WRN", "accept failed: %s", ec.message().c_str());
                    std::lock_guard g(self->m);
                    if (self->stopped || ec == boost::asio::error::operation_aborted) return;
                } else {
                    auto shared = std::make_shared<stream_protocol::socket>(std::move(socket));
                    ThreadPool::instance().post(
                        [self, shared] { self->handshake(std::move(*shared)); });
                }
                self->acceptNext();
            });
    }

    void handshake(stream_protocol::socket socket) {
        const int fd = socket.native_handle();
        const long uid = FramedIo::peerUid(fd);
        if (uid != static_cast<long>(::getuid())) {
            PLOG("CRT", "connection from uid %ld refused", uid);
            return;
        }
        std::string error;
        auto hello = FramedIo::readFrame(fd, SocketClient::kHandshakeTimeoutMs, error);
        if (!hello || !hello->has_open()) {
            PLOG("CRT", "opening frame missing or malformed (%s), connection closed",
                 error.empty() ? "unexpected frame" : error.c_str());
            return;
        }
        tarvik::wire::Frame reply;
        const hstring requested = hstring::from_utf8(hello->open().service_name());
        const bool known = requested == serviceName;
        reply.mutable_open_result()->set_status(
            static_cast<int32_t>(known ? AppServiceConnectionStatus::Success
                                       : AppServiceConnectionStatus::AppServiceUnavailable));
        if (!FramedIo::writeFrame(fd, reply) || !known) {
            if (!known)
                PLOG("WRN", "connection for unknown service %s refused",
                     hello->open().service_name().c_str());
            return;
        }
        const hstring caller = hstring::from_utf8(hello->open().caller_package_family_name());
        auto transport =
            std::make_shared<SocketTransport>(std::move(socket), "server " + serviceName.to_utf8());
        Handler h;
        {
            std::lock_guard g(m);
            if (stopped) return;
            h = handler;
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
    auto& acceptor = listener->impl_->acceptor;
    boost::system::error_code ec;
    acceptor.open(stream_protocol(), ec);
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
    });
    // The name is given up before the lock, so that the next listener's socket stays.
    ::unlink(path_.c_str());
    lock_.reset();
}

}  // namespace Platform
