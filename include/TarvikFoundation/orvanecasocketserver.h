#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/platform/event.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// Receives a client's request line and the socket number to answer it on.
using ProcessRequestHandler =
    std::function<void(uint32_t socketNumber, const Platform::hstring& request)>;

/// A socket server by proxy: the helper listens on the desktop side, and the
/// application sees each client request as an event and answers it by socket number.
class TARVIK_API OrvaneCASocketServerInterface {
  public:
    virtual ~OrvaneCASocketServerInterface() = default;
    /// Command 29, no arguments: the helper opens its listener (TCP on 127.0.0.1, a port
    /// of the system's choice, the same one until Shutdown).
    /// @return "SocketServerPort" of the answer, 0 when it is missing ("response" is not
    ///         examined)
    virtual Platform::IAsyncOperation<uint32_t> Initialize() = 0;
    /// Command 30, sent without waiting: the helper starts accepting clients. A second
    /// call before Shutdown has completed sends nothing and logs a warning.
    virtual void StartListening() = 0;
    /// Subscribes to client requests (command 31 from the helper). Handlers run on
    /// thread-pool threads, possibly for several clients at once.
    virtual Platform::event_token RequestReceived(ProcessRequestHandler handler) = 0;
    /// Unsubscribes a handler.
    virtual void RequestReceived(Platform::event_token token) = 0;
    /// Command 32: "SocketNumber", "ResponseString"; the helper writes the text and a
    /// line end to that client. The answer is not examined.
    virtual Platform::IAsyncAction SendResponse(uint32_t socketNumber,
                                                const Platform::hstring& response) = 0;
    /// Command 33, no arguments: the helper closes the listener and every client; then
    /// StartListening may send command 30 again.
    virtual Platform::IAsyncAction Shutdown() = 0;
    /// Command 34: "FilePathString", "ParametersString". The reference helper starts only
    /// the client programs the package manifest names, with the parameters split at
    /// blanks (double quotes keep parts together).
    /// @return true when the answer's "response" is 0
    virtual Platform::IAsyncOperation<bool> LaunchClient(const Platform::hstring& filePath,
                                                         const Platform::hstring& parameters) = 0;
};

/// The process's socket server. Derive from it and override ProcessRequest to answer
/// clients yourself; the default raises the request event.
class TARVIK_API OrvaneCASocketServer : public OrvaneCASocketServerInterface,
                                        public std::enable_shared_from_this<OrvaneCASocketServer>,
                                        private Platform::ModuleObject {
  public:
    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneCASocketServer> GetInstance();
    /// Installs a derived server as the process's instance; fails once one exists.
    static bool SetInstance(std::shared_ptr<OrvaneCASocketServer> server);

    Platform::IAsyncOperation<uint32_t> Initialize() override;
    void StartListening() override;
    Platform::event_token RequestReceived(ProcessRequestHandler handler) override;
    void RequestReceived(Platform::event_token token) override;
    Platform::IAsyncAction SendResponse(uint32_t socketNumber,
                                        const Platform::hstring& response) override;
    Platform::IAsyncAction Shutdown() override;
    Platform::IAsyncOperation<bool> LaunchClient(const Platform::hstring& filePath,
                                                 const Platform::hstring& parameters) override;

    /// Hands the server the connection to the helper (null to detach); `uwpExited` fails
    /// the requests that wait for one. Called by OrvaneAppHelper.
    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    /// The server's channel to the helper.
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    /// For a derived server, installed with SetInstance; registers the handler of
    /// command 31.
    OrvaneCASocketServer();
    ~OrvaneCASocketServer() override = default;
    OrvaneCASocketServer(const OrvaneCASocketServer&) = delete;
    OrvaneCASocketServer& operator=(const OrvaneCASocketServer&) = delete;

  protected:
    /// Runs on a thread-pool thread, possibly for several clients at once. The default
    /// raises RequestReceived synchronously.
    virtual void ProcessRequest(uint32_t socketNumber, const Platform::hstring& request);

  private:
    Platform::ValueSet ProcessRequestCallback(const Platform::ValueSet& request);

    Platform::event<uint32_t, const Platform::hstring&> requestReceived_;
    std::atomic<uint32_t> listening_{0};
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
