#include <mutex>

#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/jsonarray.h>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/errorcodes.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "tarvikfoundation/errortable.h"

namespace CommandKeys = Tarvik::CommandKeys;
using Tarvik::keyOf;

namespace TarvikFoundation {

using Platform::hstring;
using Platform::ValueSet;

namespace {

ValueSet messageOf(const Platform::AppServiceResponse& response) {
    return response ? response.Message() : ValueSet(nullptr);
}

// The helper's error code as the operation's error, the code alone; 0 stands for the
// general failure.
[[noreturn]] void raise(int32_t code) {
    throw Platform::hresult_error(code == 0 ? Tarvik::Errors::kUnknown : code);
}

int32_t errorCodeOf(const ValueSet& message) {
    return message.LookupAs<int32_t>(Tarvik::Keys::kErrorCode);
}

bool failed(const ValueSet& message) {
    const auto status = message.TryLookupAs<int32_t>(Tarvik::Keys::kResponse);
    return !status || *status == Tarvik::kResponseFailure;
}

void logReceived(int32_t command) {
    TLOG("DBG", "Received response for command=%d", command);
}

}  // namespace

OrvaneFileManager::OrvaneFileManager(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create("FileMgr")) {}

std::shared_ptr<OrvaneFileManager> OrvaneFileManager::GetInstance() {
    static std::mutex m;
    static Platform::Immortal<std::shared_ptr<OrvaneFileManager>> instance;
    std::lock_guard g(m);
    if (!*instance) *instance = std::make_shared<OrvaneFileManager>(Key{});
    return *instance;
}

void OrvaneFileManager::setAppServiceConnection(const Platform::AppServiceConnection& connection,
                                                bool uwpExited) {
    connection_->setAppServiceConnection(connection, uwpExited);
}

Platform::IAsyncOperation<hstring> OrvaneFileManager::GetFileTokenAsync(const hstring& path,
                                                                        int32_t mode,
                                                                        bool createDirectory) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kGetFileToken);
    request.Insert(keyOf(CommandKeys::kFilePath), path);
    request.Insert(keyOf(CommandKeys::kFileMode), hstring(mode == 1 ? L"write" : L"read"));
    request.Insert(keyOf(CommandKeys::kFileCreateDirectory),
                   hstring(createDirectory ? L"true" : L"false"));
    auto self = shared_from_this();
    return Platform::IAsyncOperation<hstring>::from_task(
        connection_->sendCommandAsync(request).then(
            [self](Platform::AppServiceResponse response) -> hstring {
                logReceived(Tarvik::Commands::kGetFileToken);
                const ValueSet message = messageOf(response);
                if (!message || !message.HasKey(Tarvik::Keys::kResponse))
                    raise(Tarvik::Errors::kUnknown);
                if (message.LookupAs<int32_t>(Tarvik::Keys::kResponse) == Tarvik::kResponseFailure)
                    raise(errorCodeOf(message));
                const auto result = message.TryLookupAs<int32_t>(Tarvik::Keys::kResult);
                if (!result) {
                    TLOG("CRT", "File present but cannot get File token.");
                    return hstring();
                }
                if (*result != 0) return hstring();
                const hstring token =
                    message.TryLookupAs<hstring>(CommandKeys::kFileToken).value_or(hstring());
                if (token.empty()) TLOG("CRT", "File present but cannot get File token.");
                return token;
            }));
}

Platform::IAsyncOperation<hstring> OrvaneFileManager::GetFileTokenAsync(const hstring& path,
                                                                        int32_t mode) {
    return GetFileTokenAsync(path, mode, false);
}

Platform::IAsyncOperation<bool> OrvaneFileManager::folderOperation(int32_t command,
                                                                   const hstring& path) {
    ValueSet request = Tarvik::createRequest(command);
    request.Insert(keyOf(CommandKeys::kFilePath), path);
    auto self = shared_from_this();
    return Platform::IAsyncOperation<bool>::from_task(connection_->sendCommandAsync(request).then(
        [self, command](Platform::AppServiceResponse response) {
            logReceived(command);
            const ValueSet message = messageOf(response);
            if (!message) raise(Tarvik::Errors::kUnknown);
            if (failed(message)) {
                const hstring text = message.LookupAs<hstring>(CommandKeys::kFileError);
                const int32_t code = errorCodeOf(message);
                // The helper's text goes out as it is, percent signs and all.
                TLOGW("CRT", L"%s", text.c_str());
                raise(code);
            }
            const auto result = message.TryLookupAs<int32_t>(Tarvik::Keys::kResult);
            return result && *result == 0;
        }));
}

Platform::IAsyncOperation<bool> OrvaneFileManager::FolderOperation1Async(const hstring& path) {
    return folderOperation(Tarvik::Commands::kFolderOperation1, path);
}

Platform::IAsyncOperation<bool> OrvaneFileManager::FolderOperation2Async(const hstring& path) {
    return folderOperation(Tarvik::Commands::kFolderOperation2, path);
}

Platform::IAsyncOperation<bool> OrvaneFileManager::FolderOperation3Async(const hstring& path) {
    return folderOperation(Tarvik::Commands::kFolderOperation3, path);
}

Platform::IAsyncOperation<std::vector<OrvaneDirectoryListingItem>>
OrvaneFileManager::ListFilesFromPathAsync(const hstring& path, bool recursive) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kListFilesFromPath);
    request.Insert(keyOf(CommandKeys::kFilePath), path);
    request.Insert(keyOf(CommandKeys::kDoRecursiveListing),
                   hstring(recursive ? L"true" : L"false"));
    auto self = shared_from_this();
    return Platform::IAsyncOperation<std::vector<OrvaneDirectoryListingItem>>::from_task(
        connection_->sendCommandAsync(request).then([self](Platform::AppServiceResponse response) {
            logReceived(Tarvik::Commands::kListFilesFromPath);
            std::vector<OrvaneDirectoryListingItem> items;
            const ValueSet message = messageOf(response);
            if (!message) raise(Tarvik::Errors::kUnknown);
            if (failed(message)) raise(errorCodeOf(message));
            const auto result = message.TryLookupAs<int32_t>(Tarvik::Keys::kResult);
            if (!result || *result != 0) {
                TLOG("CRT", "UKNOWN ERROR OCCURED");
                return items;
            }
            const auto array = Platform::JsonArray::Parse(
                message.LookupAs<hstring>(CommandKeys::kDirectoryListing));
            items.reserve(array.Size());
            for (uint32_t i = 0; i < array.Size(); ++i) {
                const auto entry = array.GetObjectAt(i);
                OrvaneDirectoryListingItem item;
                item.Path = entry.GetNamedString(L"path");
                item.Type = entry.GetNamedString(L"type") == hstring(L"file") ? 0 : 1;
                items.push_back(std::move(item));
            }
            return items;
        }));
}

}  // namespace TarvikFoundation
