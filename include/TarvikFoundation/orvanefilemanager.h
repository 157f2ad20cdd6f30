#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// One entry of a directory listing. Type is 0 for a file and 1 for anything else.
struct TARVIK_API OrvaneDirectoryListingItem {
    Platform::hstring Path;
    int32_t Type = 1;
};

/// Files outside the sandbox through the helper: a file's access token, three folder
/// operations numbered by their command codes, and directory listings.
class TARVIK_API OrvaneFileManagerInterface {
  public:
    virtual ~OrvaneFileManagerInterface() = default;
    virtual Platform::IAsyncOperation<Platform::hstring> GetFileTokenAsync(
        const Platform::hstring& path, int32_t mode, bool createDirectory) = 0;
    virtual Platform::IAsyncOperation<Platform::hstring> GetFileTokenAsync(
        const Platform::hstring& path, int32_t mode) = 0;
    virtual Platform::IAsyncOperation<bool> FolderOperation1Async(
        const Platform::hstring& path) = 0;
    virtual Platform::IAsyncOperation<bool> FolderOperation2Async(
        const Platform::hstring& path) = 0;
    virtual Platform::IAsyncOperation<bool> FolderOperation3Async(
        const Platform::hstring& path) = 0;
    virtual Platform::IAsyncOperation<std::vector<OrvaneDirectoryListingItem>>
    ListFilesFromPathAsync(const Platform::hstring& path, bool recursive) = 0;
};

/// The process's file manager; reached through GetInstance or activation.
class TARVIK_API OrvaneFileManager : public OrvaneFileManagerInterface,
                                     public std::enable_shared_from_this<OrvaneFileManager>,
                                     private Platform::ModuleObject {
  public:
    static std::shared_ptr<OrvaneFileManager> GetInstance();

    Platform::IAsyncOperation<Platform::hstring> GetFileTokenAsync(const Platform::hstring& path,
                                                                   int32_t mode,
                                                                   bool createDirectory) override;
    Platform::IAsyncOperation<Platform::hstring> GetFileTokenAsync(const Platform::hstring& path,
                                                                   int32_t mode) override;
    Platform::IAsyncOperation<bool> FolderOperation1Async(const Platform::hstring& path) override;
    Platform::IAsyncOperation<bool> FolderOperation2Async(const Platform::hstring& path) override;
    Platform::IAsyncOperation<bool> FolderOperation3Async(const Platform::hstring& path) override;
    Platform::IAsyncOperation<std::vector<OrvaneDirectoryListingItem>> ListFilesFromPathAsync(
        const Platform::hstring& path, bool recursive) override;

    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneFileManager(Key);

  private:
    Platform::IAsyncOperation<bool> folderOperation(int32_t command, const Platform::hstring& path);
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
