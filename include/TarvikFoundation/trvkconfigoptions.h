#pragma once
#include <cstdint>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/platform/hstring.h>

namespace TarvikFoundation {

/// A launcher the host provides for launch method 2.
class TARVIK_API Win32HelperLauncher {
  public:
    virtual ~Win32HelperLauncher() = default;
    /// Starts the helper with the given launch text; true when it was started.
    virtual Platform::IAsyncOperation<bool> LaunchAsync(const Platform::hstring& launchText) = 0;
};

/// The host's configuration of the library, read once by OrvaneAppHelper.
class TARVIK_API TRVKConfigOptions : private Platform::ModuleObject {
  public:
    uint32_t LogLevel() const { return logLevel_; }
    void LogLevel(uint32_t v) { logLevel_ = v; }
    bool AppServiceInBackground() const { return appServiceInBackground_; }
    void AppServiceInBackground(bool v) { appServiceInBackground_ = v; }
    bool EnableLocalhost() const { return enableLocalhost_; }
    void EnableLocalhost(bool v) { enableLocalhost_ = v; }
    bool EnableNetworkLogging() const { return enableNetworkLogging_; }
    void EnableNetworkLogging(bool v) { enableNetworkLogging_ = v; }
    const Platform::hstring& Win32Uri() const { return win32Uri_; }
    void Win32Uri(Platform::hstring v) { win32Uri_ = std::move(v); }
    const Platform::hstring& AppServiceName() const { return appServiceName_; }
    void AppServiceName(Platform::hstring v) { appServiceName_ = std::move(v); }
    const Platform::hstring& ClientId() const { return clientId_; }
    void ClientId(Platform::hstring v) { clientId_ = std::move(v); }
    bool IsClientIdBase64Encoded() const { return isClientIdBase64Encoded_; }
    void IsClientIdBase64Encoded(bool v) { isClientIdBase64Encoded_ = v; }
    uint32_t LaunchMethod() const { return launchMethod_; }
    void LaunchMethod(uint32_t v) { launchMethod_ = v; }
    const std::shared_ptr<TarvikFoundation::Win32HelperLauncher>& Win32HelperLauncher() const {
        return launcher_;
    }
    void Win32HelperLauncher(std::shared_ptr<TarvikFoundation::Win32HelperLauncher> v) {
        launcher_ = std::move(v);
    }
    uint32_t ReconnectInterval() const { return reconnectInterval_; }
    /// Stored as at least 1.
    void ReconnectInterval(uint32_t v) { reconnectInterval_ = v < 1 ? 1 : v; }
    bool SuppressConnectionTimeoutError() const { return suppressConnectionTimeoutError_; }
    void SuppressConnectionTimeoutError(bool v) { suppressConnectionTimeoutError_ = v; }

  private:
    uint32_t logLevel_ = 2;
    bool appServiceInBackground_ = true;
    bool enableLocalhost_ = false;
    bool enableNetworkLogging_ = false;
    Platform::hstring win32Uri_;
    Platform::hstring appServiceName_;
    Platform::hstring clientId_;
    bool isClientIdBase64Encoded_ = false;
    uint32_t launchMethod_ = 1;
    std::shared_ptr<TarvikFoundation::Win32HelperLauncher> launcher_;
    uint32_t reconnectInterval_ = 20;
    bool suppressConnectionTimeoutError_ = false;
};

}  // namespace TarvikFoundation
