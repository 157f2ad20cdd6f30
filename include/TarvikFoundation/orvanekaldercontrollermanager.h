#pragma once
#include <memory>
#include <vector>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// Questions about other applications on the bus: installed, available, launch, and
/// the list of known specifiers.
class TARVIK_API OrvaneKalderControllerManagerInterface {
  public:
    virtual ~OrvaneKalderControllerManagerInterface() = default;
    /// Command 47: "TargetSpecifier" (a package family name for the reference helper);
    /// reads "IsAppInstalled". False also when the exchange failed.
    virtual Platform::IAsyncOperation<bool> IsAppInstalled(
        const Platform::hstring& targetSpecifier) = 0;
    /// Command 48: "TargetSpecifier"; reads "IsAppAvailable" (whether that application is
    /// running on the bus). False also when the exchange failed.
    virtual Platform::IAsyncOperation<bool> IsAppAvailable(
        const Platform::hstring& targetSpecifier) = 0;
    /// Command 49: "TargetSpecifier", "Focus" (Boolean), "CommandLineArguments"; reads
    /// "SuccessfullyLaunched". A running application is asked to activate, one that is
    /// not running is started. False also when the exchange failed.
    virtual Platform::IAsyncOperation<bool> LaunchApp(
        const Platform::hstring& targetSpecifier, bool focus,
        const Platform::hstring& commandLineArguments) = 0;
    /// Command 50, no arguments; reads "KalderSpecifiers", a JSON array of strings.
    /// @return the specifiers; as far as they were read when the exchange or the parse
    ///         failed (logged)
    virtual Platform::IAsyncOperation<std::vector<Platform::hstring>> GetSpecifiers() = 0;
};

/// The process's manager of the other applications on the bus; reached through
/// GetInstance or activation.
class TARVIK_API OrvaneKalderControllerManager
    : public OrvaneKalderControllerManagerInterface,
      public std::enable_shared_from_this<OrvaneKalderControllerManager>,
      private Platform::ModuleObject {
  public:
    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneKalderControllerManager> GetInstance();

    Platform::IAsyncOperation<bool> IsAppInstalled(
        const Platform::hstring& targetSpecifier) override;
    Platform::IAsyncOperation<bool> IsAppAvailable(
        const Platform::hstring& targetSpecifier) override;
    Platform::IAsyncOperation<bool> LaunchApp(
        const Platform::hstring& targetSpecifier, bool focus,
        const Platform::hstring& commandLineArguments) override;
    Platform::IAsyncOperation<std::vector<Platform::hstring>> GetSpecifiers() override;

    /// Hands this manager the connection to the helper (null to detach); `uwpExited`
    /// fails the requests that wait for one. Called by OrvaneAppHelper.
    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    /// This manager's channel to the helper; hasConnection() on it tells whether the
    /// manager can reach the helper now.
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    /// Restricts construction to GetInstance.
    struct Key {
        explicit Key() = default;
    };
    /// Use GetInstance; the key keeps other callers out.
    explicit OrvaneKalderControllerManager(Key);

  private:
    Platform::IAsyncOperation<bool> askBoolean(Platform::ValueSet request, int32_t command,
                                               const wchar_t* key);
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
