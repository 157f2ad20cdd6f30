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
    virtual Platform::IAsyncOperation<bool> FolderHasAppxPermissions(
        const Platform::hstring& folderName) = 0;
    virtual Platform::IAsyncOperation<bool> SetFolderPermissions(
        const Platform::hstring& folderName) = 0;
};

/// The process's permission manager; reached through GetInstance or activation.
class TARVIK_API OrvaneAppXPermissionManager
    : public OrvaneAppXPermissionManagerInterface,
      public std::enable_shared_from_this<OrvaneAppXPermissionManager>,
      private Platform::ModuleObject {
  public:
    static std::shared_ptr<OrvaneAppXPermissionManager> GetInstance();

    // False for a folder without the rights and for every failed exchange alike.
    Platform::IAsyncOperation<bool> FolderHasAppxPermissions(
        const Platform::hstring& folderName) override;
    Platform::IAsyncOperation<bool> SetFolderPermissions(
        const Platform::hstring& folderName) override;

    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneAppXPermissionManager(Key);

  private:
    Platform::IAsyncOperation<bool> ask(int32_t command, const Platform::hstring& folderName,
                                        const wchar_t* key);
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
