#pragma once
// The local socket server that the helper runs for the application: TCP on 127.0.0.1
// with a port the system picks. A client's request is one line ending in "\n" (a "\r"
// before it is dropped); an answer is written back as the text followed by "\n". Each
// accepted client gets the next socket number, from 1, never reused while the helper
// runs. A line longer than 1 MiB closes its client.
//
// Any local user can connect, so nothing a client does may grow without bound: the
// clients are capped, a client with too many unanswered requests is not read until
// answers drain, answers queued for a client that does not read are capped, some
// descriptors are always left for the helper's own work, and an accept that fails for
// want of descriptors pauses instead of spinning. Repeated refusals are logged once
// per interval, with a count.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <TarvikFoundation/platform/clock.h>

#include "platform/ratelimitedwarning.h"

namespace TarvikHelper {

class SocketServer {
  public:
    // `answered` is to be called once the request has been dealt with; until then it
    // counts against its client's unanswered requests.
    using RequestHandler = std::function<void(uint32_t socketNumber, const std::string& line,
                                              std::function<void()> answered)>;
    static constexpr std::size_t kMaxLine = 1 << 20;

    struct Limits {
        std::size_t clients = 64;
        std::size_t unansweredPerClient = 8;
        std::size_t queuedAnswerBytes = 4u << 20;
        // Descriptors kept free for the helper's files, stores and connections.
        int reservedDescriptors = 64;
        std::chrono::milliseconds acceptBackOff{200};
    };

    explicit SocketServer(RequestHandler onRequest)
        : SocketServer(std::move(onRequest), Limits{}) {}
    SocketServer(RequestHandler onRequest, Limits limits);
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
    void admit(boost::asio::ip::tcp::socket socket);
    void acceptFailed(const boost::system::error_code& ec);
    void read(const std::shared_ptr<Client>& client);
    void answered(const std::shared_ptr<Client>& client);
    void write(const std::shared_ptr<Client>& client);
    void drop(uint32_t socketNumber);

    // Lets a clock timer reach the server only while it exists.
    struct Lifeline {
        std::mutex mutex;
        SocketServer* server = nullptr;
    };

    RequestHandler onRequest_;
    const Limits limits_;
    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    // Touched only on the server's thread.
    std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor_;
    bool accepting_ = false;
    uint32_t lastNumber_ = 0;
    std::map<uint32_t, std::shared_ptr<Client>> clients_;
    Platform::RateLimitedWarning refusedWarning_, acceptWarning_, pausedWarning_;
    std::shared_ptr<Lifeline> lifeline_;
    std::thread thread_;
};

}  // namespace TarvikHelper
