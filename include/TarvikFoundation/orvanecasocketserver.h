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

using ProcessRequestHandler =
    std::function<void(uint32_t socketNumber, const Platform::hstring& request)>;

/// A socket server by proxy: the helper listens on the desktop side, and the
/// application sees each client request as an event and answers it by socket number.
class TARVIK_API OrvaneCASocketServerInterface {
  public:
    virtual ~OrvaneCASocketServerInterface() = default;
    virtual Platform::IAsyncOperation<uint32_t> Initialize() = 0;
    virtual void StartListening() = 0;
    virtual Platform::event_token RequestReceived(ProcessRequestHandler handler) = 0;
    virtual void RequestReceived(Platform::event_token token) = 0;
    virtual Platform::IAsyncAction SendResponse(uint32_t socketNumber,
                                                const Platform::hstring& response) = 0;
    virtual Platform::IAsyncAction Shutdown() = 0;
    virtual Platform::IAsyncOperation<bool> LaunchClient(const Platform::hstring& filePath,
                                                         const Platform::hstring& parameters) = 0;
};

/// The process's socket server. Derive from it and override ProcessRequest to answer
/// clients yourself; the default raises the request event.
class TARVIK_API OrvaneCASocketServer : public OrvaneCASocketServerInterface,
                                        public std::enable_shared_from_this<OrvaneCASocketServer>,
                                        private Platform::ModuleObject {
  public:
    static std::shared_ptr<OrvaneCASocketServer> GetInstance();
    /// Installs a derived server as the process's instance; fails once one exists.
    static bool SetInstance(std::shared_ptr<OrvaneCASocketServer> server);

    // The port the helper listens on, 0 when it did not say.
    Platform::IAsyncOperation<uint32_t> Initialize() override;
    void StartListening() override;
    Platform::event_token RequestReceived(ProcessRequestHandler handler) override;
    void RequestReceived(Platform::event_token token) override;
    Platform::IAsyncAction SendResponse(uint32_t socketNumber,
                                        const Platform::hstring& response) override;
    Platform::IAsyncAction Shutdown() override;
    Platform::IAsyncOperation<bool> LaunchClient(const Platform::hstring& filePath,
                                                 const Platform::hstring& parameters) override;

    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

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
