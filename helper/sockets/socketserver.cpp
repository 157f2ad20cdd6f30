#include "helper/sockets/socketserver.h"

#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
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
    asio::streambuf input;
    std::deque<std::string> output;
};

SocketServer::SocketServer(RequestHandler onRequest)
    : onRequest_(std::move(onRequest)), work_(asio::make_work_guard(io_)) {
    thread_ = std::thread([this] { io_.run(); });
}

SocketServer::~SocketServer() {
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
            TLOG("WRN", "socket server accept failed: %s", ec.message().c_str());
        } else {
            auto client = std::make_shared<Client>(++lastNumber_, std::move(socket));
            clients_[client->number] = client;
            TLOG("DBG", "socket %u connected", client->number);
            read(client);
        }
        accept();
    });
}

void SocketServer::read(const std::shared_ptr<Client>& client) {
    asio::async_read_until(client->socket, client->input, '\n',
                           [this, client](boost::system::error_code ec, std::size_t length) {
                               if (ec) {
                                   if (ec == asio::error::not_found)
                                       TLOG("WRN",
                                            "socket %u sent a line over %zu bytes; closing it",
                                            client->number, kMaxLine);
                                   if (ec != asio::error::operation_aborted) drop(client->number);
                                   return;
                               }
                               std::string line(asio::buffers_begin(client->input.data()),
                                                asio::buffers_begin(client->input.data()) +
                                                    static_cast<std::ptrdiff_t>(length - 1));
                               client->input.consume(length);
                               if (!line.empty() && line.back() == '\r') line.pop_back();
                               onRequest_(client->number, line);
                               read(client);
                           });
}

void SocketServer::write(const std::shared_ptr<Client>& client) {
    asio::async_write(client->socket, asio::buffer(client->output.front()),
                      [this, client](boost::system::error_code ec, std::size_t) {
                          if (ec) {
                              if (ec != asio::error::operation_aborted) drop(client->number);
                              return;
                          }
                          client->output.pop_front();
                          if (!client->output.empty()) write(client);
                      });
}

bool SocketServer::send(uint32_t socketNumber, const std::string& text) {
    return onServerThread([this, socketNumber, text] {
        const auto it = clients_.find(socketNumber);
        if (it == clients_.end()) return false;
        const auto& client = it->second;
        client->output.push_back(text + "\n");
        if (client->output.size() == 1) write(client);
        return true;
    });
}

void SocketServer::drop(uint32_t socketNumber) {
    const auto it = clients_.find(socketNumber);
    if (it == clients_.end()) return;
    boost::system::error_code ignored;
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
