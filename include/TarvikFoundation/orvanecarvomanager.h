#pragma once
#include <cstdint>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// Values other than kExchangeFailed belong to the helper and the cart client. The
/// reference helper answers 0 started, 1 no cart client in the manifest, 2 it could not
/// start, 3 an entry missing.
enum class OrvaneCVInvocationStatus : int32_t {
    kStarted = 0,         ///< The cart client was started.
    kExchangeFailed = 5,  ///< No answer, or an answer without "kCVErrCode".
};

/// Starts the desktop cart client for the calling application and reports the status
/// the helper returned.
class TARVIK_API OrvaneCarvoInterface {
  public:
    virtual ~OrvaneCarvoInterface() = default;
    /// Command 56: "kAppId", "kAppVersion", "kAppProfileScope", "kAppPath", sent unchanged
    /// (the reference helper passes them to the cart client as --app-id, --app-version,
    /// --profile-scope, --app-path).
    /// @return the answer's "kCVErrCode"; kExchangeFailed (logged) when the exchange
    ///         failed or the key is missing
    virtual Platform::IAsyncOperation<OrvaneCVInvocationStatus> OrvaneCVInvokeClient(
        const Platform::hstring& appId, const Platform::hstring& appVersion,
        const Platform::hstring& appProfileScope, const Platform::hstring& appPath) = 0;
};

/// The process's cart manager; reached through GetInstance or activation.
class TARVIK_API OrvaneCarvoManager : public OrvaneCarvoInterface,
                                      public std::enable_shared_from_this<OrvaneCarvoManager>,
                                      private Platform::ModuleObject {
  public:
    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneCarvoManager> GetInstance();

    Platform::IAsyncOperation<OrvaneCVInvocationStatus> OrvaneCVInvokeClient(
        const Platform::hstring& appId, const Platform::hstring& appVersion,
        const Platform::hstring& appProfileScope, const Platform::hstring& appPath) override;

    /// Hands the manager the connection to the helper. Called by OrvaneAppHelper.
    void SetAppServiceConnection(const Platform::AppServiceConnection& connection);
    /// The manager's channel to the helper.
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    /// Restricts construction to GetInstance.
    struct Key {
        explicit Key() = default;
    };
    /// Use GetInstance; the key keeps other callers out.
    explicit OrvaneCarvoManager(Key);

  private:
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
