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
    /// The entry's path as the helper reports it ("path").
    Platform::hstring Path;
    /// 0 when the helper's "type" is exactly "file", 1 for anything else (a folder).
    int32_t Type = 1;
};

/// Files outside the sandbox through the helper: a file's access token, three folder
/// operations numbered by their command codes, and directory listings.
///
/// Paths are absolute. The reference helper serves only the folders its user allows
/// (the user's home folder by default) and refuses any other path with 0xE1010009.
/// When the helper reports a failure ("response" 1, or none) the operation fails with
/// the helper's "errorCode" as its code, 0xE1010001 when that is 0 or there is no
/// answer at all. The helper's codes: 0xE1010002/0xE1010003 no file or folder name,
/// 0xE1010004 cannot open, 0xE1010005 cannot check, 0xE1010006 not found, 0xE1010007
/// cannot delete, 0xE1010008 cannot create, 0xE1010009 path not allowed, 0xE101000A a
/// folder where a file is wanted, 0xE101000F cannot list, 0xE1010010 not a folder.
class TARVIK_API OrvaneFileManagerInterface {
  public:
    virtual ~OrvaneFileManagerInterface() = default;
    /// Command 0: an access token for a file. Sends "filePath", "filemode" and
    /// "fileCreateDirectory"; reads "result" and "fileToken".
    /// @param path the file's absolute path
    /// @param mode 1 sends "write" (the helper creates the file empty if it is missing,
    ///        never truncating it); every other value sends "read" (the file must exist)
    /// @param createDirectory sent as "true" or "false": with "write", whether a missing
    ///        parent folder is created
    /// @return the token, an opaque string; empty when "result" is missing or not 0 or
    ///         the token is empty
    virtual Platform::IAsyncOperation<Platform::hstring> GetFileTokenAsync(
        const Platform::hstring& path, int32_t mode, bool createDirectory) = 0;
    /// Command 0 as the other overload, with "fileCreateDirectory" "false".
    virtual Platform::IAsyncOperation<Platform::hstring> GetFileTokenAsync(
        const Platform::hstring& path, int32_t mode) = 0;
    /// Command 1, "filePath": whether the folder exists.
    /// @return true when the answer's "result" is 0 (it exists), false otherwise; a
    ///         failure ("response" 1) is raised with its "errorCode" and its "fileError"
    ///         text is logged
    virtual Platform::IAsyncOperation<bool> FolderOperation1Async(
        const Platform::hstring& path) = 0;
    /// Command 2, "filePath": creates the folder with its missing parents.
    /// @return true when "result" is 0; failures as FolderOperation1Async
    virtual Platform::IAsyncOperation<bool> FolderOperation2Async(
        const Platform::hstring& path) = 0;
    /// Command 3, "filePath": deletes the folder with its contents (a served folder
    /// itself is never deleted).
    /// @return true when "result" is 0; failures as FolderOperation1Async
    virtual Platform::IAsyncOperation<bool> FolderOperation3Async(
        const Platform::hstring& path) = 0;
    /// Command 4: lists a folder. Sends "filePath" and "doRecursiveListing" ("true" or
    /// "false"); reads "result" and "directoryListing" (a JSON array of
    /// {"path", "type"}).
    /// @param path the folder's absolute path
    /// @param recursive whether the listing descends into sub-folders
    /// @return the entries in the helper's order (sorted by path); empty when
    ///         "result" is missing or not 0
    virtual Platform::IAsyncOperation<std::vector<OrvaneDirectoryListingItem>>
    ListFilesFromPathAsync(const Platform::hstring& path, bool recursive) = 0;
};

/// The process's file manager; reached through GetInstance or activation.
class TARVIK_API OrvaneFileManager : public OrvaneFileManagerInterface,
                                     public std::enable_shared_from_this<OrvaneFileManager>,
                                     private Platform::ModuleObject {
  public:
    /// The process-wide instance, created on first use; the one the app helper connects.
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
    explicit OrvaneFileManager(Key);

  private:
    Platform::IAsyncOperation<bool> folderOperation(int32_t command, const Platform::hstring& path);
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
};

}  // namespace TarvikFoundation
