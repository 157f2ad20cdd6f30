#include "helper/sockets/socketserver.h"

#include <sys/resource.h>

#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <climits>
#include <deque>
#include <future>

#include "common/logger.h"

namespace TarvikHelper {

namespace asio = boost::asio;
using asio::ip::tcp;

struct SocketServer::Client {
    Client(uint32_t n, tcp::socket s) : number(n), socket(std::move(s)), input(kMaxLine + 1) {}
    uint32_t number;
    tcp::socket socket;
    asio::streambuf input;  // bounded: a line beyond kMaxLine closes the client
    std::deque<std::string> output;
    std::size_t outputBytes = 0;
    std::size_t unanswered = 0;
    bool reading = false;
    bool closed = false;
};

namespace {

int descriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > static_cast<rlim_t>(INT32_MAX))
        return INT32_MAX;
    return static_cast<int>(limit.rlim_cur);
}

unsigned long long asCount(uint64_t n) {
    return static_cast<unsigned long long>(n);
}

}  // namespace

SocketServer::SocketServer(RequestHandler onRequest, Limits limits)
    : onRequest_(std::move(onRequest)),
      limits_(limits),
      work_(asio::make_work_guard(io_)),
      lifeline_(std::make_shared<Lifeline>()) {
    lifeline_->server = this;
    thread_ = std::thread([this] { io_.run(); });
}

SocketServer::~SocketServer() {
    {
        std::lock_guard g(lifeline_->mutex);
        lifeline_->server = nullptr;
    }
    shutdown();
    work_.reset();
    io_.stop();
    thread_.join();
}

template <class Work>
auto SocketServer::onServerThread(Work work) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    asio::post(io_, [&task] { task(); });
    return result.get();
}

uint16_t SocketServer::bind() {
    if (acceptor_) return acceptor_->local_endpoint().port();
    boost::system::error_code ec;
    auto acceptor = std::make_unique<tcp::acceptor>(io_);
    const tcp::endpoint loopback(asio::ip::address_v4::loopback(), 0);
    acceptor->open(loopback.protocol(), ec);
    if (!ec) acceptor->bind(loopback, ec);
    if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        TLOG("CRT", "socket server cannot listen on 127.0.0.1: %s", ec.message().c_str());
        return 0;
    }
    acceptor_ = std::move(acceptor);
    const uint16_t port = acceptor_->local_endpoint().port();
    TLOG("INF", "socket server bound to 127.0.0.1:%u", static_cast<unsigned>(port));
    return port;
}

uint16_t SocketServer::open() {
    return onServerThread([this] { return bind(); });
}

bool SocketServer::start() {
    return onServerThread([this] {
        if (bind() == 0) return false;
        if (!accepting_) {
            accepting_ = true;
            accept();
        }
        return true;
    });
}

void SocketServer::accept() {
    acceptor_->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_) return;
        if (ec) {
            acceptFailed(ec);
            return;
        }
        admit(std::move(socket));
        accept();
    });
}

void SocketServer::acceptFailed(const boost::system::error_code& ec) {
    const bool outOfDescriptors = ec == asio::error::no_descriptors || ec.value() == ENFILE;
    if (uint64_t times = 0; acceptWarning_.due(times))
        TLOG("WRN", "socket server accept failed: %s (%llu times since the last report)",
             ec.message().c_str(), asCount(times));
    if (!outOfDescriptors) {
        accept();
        return;
    }
    // The listener stays readable while the backlog waits, so accepting again at once
    // would spin; wait until descriptors may have been given back.
    Platform::Clock::instance().schedule(limits_.acceptBackOff, [lifeline = lifeline_] {
        std::lock_guard g(lifeline->mutex);
        if (SocketServer* server = lifeline->server)
            asio::post(server->io_, [server] {
                if (server->acceptor_ && server->accepting_) server->accept();
            });
    });
}

void SocketServer::admit(tcp::socket socket) {
    const char* refusal = nullptr;
    if (clients_.size() >= limits_.clients)
        refusal = "the socket server has its most clients";
    else if (socket.native_handle() >= descriptorLimit() - limits_.reservedDescriptors)
        refusal = "the helper keeps its last descriptors for its own work";
    if (refusal) {
        boost::system::error_code ignored;
        socket.close(ignored);
        if (uint64_t times = 0; refusedWarning_.due(times))
            TLOG("WRN",
                 "socket server refused a client: %s (%zu clients; %llu refused since "
                 "the last report)",
                 refusal, clients_.size(), asCount(times));
        return;
    }
    auto client = std::make_shared<Client>(++lastNumber_, std::move(socket));
    clients_[client->number] = client;
    TLOG("DBG", "socket %u connected", client->number);
    read(client);
}

void SocketServer::read(const std::shared_ptr<Client>& client) {
    if (client->reading || client->closed) return;
    if (client->unanswered >= limits_.unansweredPerClient) {
        // Not read again until answers drain: its bytes wait in the kernel, and its
        // sender is slowed down by the socket's own flow control.
        if (uint64_t times = 0; pausedWarning_.due(times))
            TLOG("WRN",
                 "socket %u has %zu unanswered requests; not read until answers "
                 "drain (%llu pauses since the last report)",
                 client->number, client->unanswered, asCount(times));
        return;
    }
    client->reading = true;
    asio::async_read_until(
        client->socket, client->input, '\n',
        [this, client](boost::system::error_code ec, std::size_t length) {
            client->reading = false;
            if (ec) {
                if (ec == asio::error::not_found)
                    TLOG("WRN", "socket %u sent a line over %zu bytes; closing it", client->number,
                         kMaxLine);
                if (ec != asio::error::operation_aborted) drop(client->number);
                return;
            }
            std::string line(asio::buffers_begin(client->input.data()),
                             asio::buffers_begin(client->input.data()) +
                                 static_cast<std::ptrdiff_t>(length - 1));
            client->input.consume(length);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            ++client->unanswered;
            onRequest_(client->number, line, [lifeline = lifeline_, client] {
                std::lock_guard g(lifeline->mutex);
                if (SocketServer* server = lifeline->server)
                    asio::post(server->io_, [server, client] { server->answered(client); });
            });
            read(client);
        });
}

void SocketServer::answered(const std::shared_ptr<Client>& client) {
    if (client->unanswered > 0) --client->unanswered;
    read(client);
}

void SocketServer::write(const std::shared_ptr<Client>& client) {
    asio::async_write(client->socket, asio::buffer(client->output.front()),
                      [this, client](boost::system::error_code ec, std::size_t) {
                          if (ec) {
                              if (ec != asio::error::operation_aborted) drop(client->number);
                              return;
                          }
                          client->outputBytes -= client->output.front().size();
                          client->output.pop_front();
                          if (!client->output.empty()) write(client);
                      });
}

bool SocketServer::send(uint32_t socketNumber, const std::string& text) {
    return onServerThread([this, socketNumber, text] {
        const auto it = clients_.find(socketNumber);
        if (it == clients_.end()) return false;
        const auto& client = it->second;
        if (client->outputBytes + text.size() + 1 > limits_.queuedAnswerBytes) {
            TLOG("WRN", "socket %u does not read its answers (%zu bytes queued); closing it",
                 socketNumber, client->outputBytes);
            drop(socketNumber);
            return false;
        }
        client->output.push_back(text + "\n");
        client->outputBytes += client->output.back().size();
        if (client->output.size() == 1) write(client);
        return true;
    });
}

void SocketServer::drop(uint32_t socketNumber) {
    const auto it = clients_.find(socketNumber);
    if (it == clients_.end()) return;
    boost::system::error_code ignored;
    it->second->closed = true;
    it->second->socket.close(ignored);
    clients_.erase(it);
    TLOG("DBG", "socket %u closed", socketNumber);
}

void SocketServer::shutdown() {
    onServerThread([this] {
        boost::system::error_code ignored;
        if (acceptor_) acceptor_->close(ignored);
        acceptor_.reset();
        accepting_ = false;
        while (!clients_.empty()) drop(clients_.begin()->first);
        return 0;
    });
}

std::size_t SocketServer::clients() {
    return onServerThread([this] { return clients_.size(); });
}

}  // namespace TarvikHelper
