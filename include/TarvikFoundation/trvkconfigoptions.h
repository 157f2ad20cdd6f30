#pragma once
#include <cstdint>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/platform/hstring.h>

/// The runtime classes a host uses: the app helper, its options and the managers.
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
    /// Lowest level written to the logs of all three processes (default 2: INF and
    /// above; 0 writes everything, 4 only errors).
    uint32_t LogLevel() const { return logLevel_; }
    /// Sets LogLevel.
    void LogLevel(uint32_t v) { logLevel_ = v; }
    /// true (default): the application connects to its app service hosted by
    /// tarvik-apphost, which relays to the helper. false: the application hosts the
    /// service in-process and forwards activations to OrvaneAppHelper.
    bool AppServiceInBackground() const { return appServiceInBackground_; }
    /// Sets AppServiceInBackground.
    void AppServiceInBackground(bool v) { appServiceInBackground_ = v; }
    /// Passes --enableLocalhost to the helper (default false).
    bool EnableLocalhost() const { return enableLocalhost_; }
    /// Sets EnableLocalhost.
    void EnableLocalhost(bool v) { enableLocalhost_ = v; }
    /// Also sends log lines to TCP 127.0.0.1:4545, in every process (default false).
    bool EnableNetworkLogging() const { return enableNetworkLogging_; }
    /// Sets EnableNetworkLogging.
    void EnableNetworkLogging(bool v) { enableNetworkLogging_ = v; }
    /// Required: the URI scheme that starts the helper (launch methods 1 and 2); the
    /// package manifest's "uriSchemes" maps it to a program.
    const Platform::hstring& Win32Uri() const { return win32Uri_; }
    /// Sets Win32Uri.
    void Win32Uri(Platform::hstring v) { win32Uri_ = std::move(v); }
    /// Required: the app service both sides connect to, one of the manifest's
    /// "appServices".
    const Platform::hstring& AppServiceName() const { return appServiceName_; }
    /// Sets AppServiceName.
    void AppServiceName(Platform::hstring v) { appServiceName_ = std::move(v); }
    /// Required: the account-service client id of the host, also passed to the helper.
    const Platform::hstring& ClientId() const { return clientId_; }
    /// Sets ClientId.
    void ClientId(Platform::hstring v) { clientId_ = std::move(v); }
    /// Whether ClientId is Base64 of UTF-8 text, decoded before use (default false).
    bool IsClientIdBase64Encoded() const { return isClientIdBase64Encoded_; }
    /// Sets IsClientIdBase64Encoded.
    void IsClientIdBase64Encoded(bool v) { isClientIdBase64Encoded_ = v; }
    /// How the helper is started: 0 the manifest's "fullTrustProgram", 1 (default) the
    /// program of the Win32Uri scheme, 2 the host's Win32HelperLauncher, falling back
    /// to 1 when it fails; any other value starts nothing.
    uint32_t LaunchMethod() const { return launchMethod_; }
    /// Sets LaunchMethod.
    void LaunchMethod(uint32_t v) { launchMethod_ = v; }
    /// The host's launcher for LaunchMethod 2 (default null).
    const std::shared_ptr<TarvikFoundation::Win32HelperLauncher>& Win32HelperLauncher() const {
        return launcher_;
    }
    /// Sets Win32HelperLauncher.
    void Win32HelperLauncher(std::shared_ptr<TarvikFoundation::Win32HelperLauncher> v) {
        launcher_ = std::move(v);
    }
    /// Seconds the helper waits before reconnecting after losing its connection
    /// (default 20).
    uint32_t ReconnectInterval() const { return reconnectInterval_; }
    /// Stored as at least 1.
    void ReconnectInterval(uint32_t v) { reconnectInterval_ = v < 1 ? 1 : v; }
    /// false (default): a request that waited 15 s for a connection in vain fails with
    /// 0xE101000E; true: it goes on without one.
    bool SuppressConnectionTimeoutError() const { return suppressConnectionTimeoutError_; }
    /// Sets SuppressConnectionTimeoutError.
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
