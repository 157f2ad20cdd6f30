#pragma once
// The local socket server that the helper runs for the application: TCP on 127.0.0.1
// with a port the system picks. A client's request is one line ending in "\n" (a "\r"
// before it is dropped); an answer is written back as the text followed by "\n". Each
// accepted client gets the next socket number, from 1, never reused while the helper
// runs. A line longer than 1 MiB closes its client.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

namespace TarvikHelper {

class SocketServer {
  public:
    using RequestHandler = std::function<void(uint32_t socketNumber, const std::string& line)>;
    static constexpr std::size_t kMaxLine = 1 << 20;

    explicit SocketServer(RequestHandler onRequest);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Binds the listener if it is not bound yet; its port, 0 when binding fails.
    uint16_t open();
    // Starts accepting clients (binding first if needed); false when it cannot listen.
    bool start();
    // Queues `text` + "\n" for the client; false when no such client is connected.
    bool send(uint32_t socketNumber, const std::string& text);
    // Closes the listener and every client.
    void shutdown();
    std::size_t clients();

  private:
    struct Client;
    // Runs `work` on the server's thread and returns its result.
    template <class Work>
    auto onServerThread(Work work);
    uint16_t bind();
    void accept();
    void read(const std::shared_ptr<Client>& client);
    void write(const std::shared_ptr<Client>& client);
    void drop(uint32_t socketNumber);

    RequestHandler onRequest_;
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    // Touched only on the server's thread.
    std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor_;
    bool accepting_ = false;
    uint32_t lastNumber_ = 0;
    std::map<uint32_t, std::shared_ptr<Client>> clients_;
    std::thread thread_;
};

}  // namespace TarvikHelper
