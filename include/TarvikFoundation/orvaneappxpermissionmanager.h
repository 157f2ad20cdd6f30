#pragma once
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// Whether a desktop folder grants the access packaged applications need, and granting
/// it; the sandbox can neither read nor change those rights itself.
class TARVIK_API OrvaneAppXPermissionManagerInterface {
  public:
    virtual ~OrvaneAppXPermissionManagerInterface() = default;
    /// Command 51: "AppXFolderName"; reads "FolderHasAppxPermissions".
    /// @param folderName the folder's absolute path, sent unchanged
    /// @return whether the package may read and write the whole tree; false also for a
    ///         failed exchange, a "response" of 1 or a folder the helper does not serve
    virtual Platform::IAsyncOperation<bool> FolderHasAppxPermissions(
        const Platform::hstring& folderName) = 0;
    /// Command 52: "AppXFolderName"; reads "SetFolderPermissions".
    /// @param folderName the folder's absolute path, sent unchanged
    /// @return whether the missing rights were granted; false also for every failure
    virtual Platform::IAsyncOperation<bool> SetFolderPermissions(
        const Platform::hstring& folderName) = 0;
};

/// The process's permission manager; reached through GetInstance or activation.
class TARVIK_API OrvaneAppXPermissionManager
    : public OrvaneAppXPermissionManagerInterface,
      public std::enable_shared_from_this<OrvaneAppXPermissionManager>,
      private Platform::ModuleObject {
  public:
    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneAppXPermissionManager> GetInstance();

    Platform::IAsyncOperation<bool> FolderHasAppxPermissions(
        const Platform::hstring& folderName) override;
    Platform::IAsyncOperation<bool> SetFolderPermissions(
        const Platform::hstring& folderName) override;

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
    explicit OrvaneAppXPermissionManager(Key);

  private:
    Platform::IAsyncOperation<bool> ask(int32_t command, const Platform::hstring& folderName,
                                        const wchar_t* key);
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
