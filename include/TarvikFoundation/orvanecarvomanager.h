#pragma once
#include <cstdint>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// Values other than kExchangeFailed belong to the helper and the cart client.
enum class OrvaneCVInvocationStatus : int32_t {
    kStarted = 0,
    kExchangeFailed = 5,
};

/// Starts the desktop cart client for the calling application and reports the status
/// the helper returned.
class TARVIK_API OrvaneCarvoInterface {
  public:
    virtual ~OrvaneCarvoInterface() = default;
    virtual Platform::IAsyncOperation<OrvaneCVInvocationStatus> OrvaneCVInvokeClient(
        const Platform::hstring& appId, const Platform::hstring& appVersion,
        const Platform::hstring& appProfileScope, const Platform::hstring& appPath) = 0;
};

/// The process's cart manager; reached through GetInstance or activation.
class TARVIK_API OrvaneCarvoManager : public OrvaneCarvoInterface,
                                      public std::enable_shared_from_this<OrvaneCarvoManager>,
                                      private Platform::ModuleObject {
  public:
    static std::shared_ptr<OrvaneCarvoManager> GetInstance();

    Platform::IAsyncOperation<OrvaneCVInvocationStatus> OrvaneCVInvokeClient(
        const Platform::hstring& appId, const Platform::hstring& appVersion,
        const Platform::hstring& appProfileScope, const Platform::hstring& appPath) override;

    void SetAppServiceConnection(const Platform::AppServiceConnection& connection);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneCarvoManager(Key);

  private:
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
