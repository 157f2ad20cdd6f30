#pragma once
#include <cstdint>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

/// Usage analytics through the helper, which owns the store: log sessions identified by
/// a 64-bit handle, events inside them, and data groups of key/value pairs.
class TARVIK_API OrvaneAnalyticsManager
    : public std::enable_shared_from_this<OrvaneAnalyticsManager>,
      private Platform::ModuleObject {
  public:
    static constexpr const wchar_t* kNoPersonGuid = L"NOPERSONGUID@OrvaneID";
    static constexpr int32_t kNameLimit = 128;
    static constexpr int32_t kValueLimit = 512;

    static std::shared_ptr<OrvaneAnalyticsManager> GetInstance();

    Platform::IAsyncAction InitializeAsync(bool enableCrashDetection,
                                           const Platform::hstring& proxyUsername,
                                           const Platform::hstring& proxyPassword,
                                           const Platform::hstring& personGuid);
    Platform::IAsyncAction InitializeAsync(bool enableCrashDetection,
                                           const Platform::hstring& proxyUsername,
                                           const Platform::hstring& proxyPassword);
    Platform::IAsyncOperation<uint64_t> InitializeCacheAsync();
    Platform::IAsyncOperation<uint64_t> StartSessionAsync(const Platform::hstring& appFamily,
                                                          const Platform::hstring& appName,
                                                          const Platform::hstring& appBuild,
                                                          const Platform::hstring& appVersion);
    Platform::IAsyncAction SetSerializationState(int32_t state);
    Platform::IAsyncOperation<int32_t> NewDataGroupAsync(uint64_t handle,
                                                         const Platform::hstring& category,
                                                         const Platform::hstring& subCategory,
                                                         const Platform::hstring& groupName,
                                                         const Platform::hstring& docId);
    Platform::IAsyncOperation<int32_t> NewDataGroupAsync(uint64_t handle,
                                                         const Platform::hstring& category,
                                                         const Platform::hstring& subCategory,
                                                         const Platform::hstring& groupName);
    Platform::IAsyncAction AddToGroup(uint64_t handle, int32_t groupId,
                                      const Platform::hstring& key, const Platform::hstring& value);
    /// The 64-bit number is accepted for the host's convenience; no command carries it.
    Platform::IAsyncAction LogEvent(uint64_t handle, const Platform::hstring& category,
                                    const Platform::hstring& subCategory,
                                    const Platform::hstring& eventName, int64_t number,
                                    const Platform::hstring& docId);
    Platform::IAsyncAction LogEvent(uint64_t handle, const Platform::hstring& category,
                                    const Platform::hstring& subCategory,
                                    const Platform::hstring& eventName);
    Platform::IAsyncAction LogIdleTime(uint64_t handle);
    Platform::IAsyncAction CloseSession(uint64_t handle);

    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneAnalyticsManager(Key);

  private:
    Platform::IAsyncAction sendInitialize(const Platform::hstring& personGuid, bool firstForm);
    Platform::IAsyncOperation<uint64_t> sendForHandle(Platform::ValueSet request, int32_t command);
    Platform::IAsyncAction sendAction(Platform::ValueSet request, int32_t command,
                                      const char* receivedMessage);
    Platform::IAsyncAction logEvent(uint64_t handle, const Platform::hstring& category,
                                    const Platform::hstring& subCategory,
                                    const Platform::hstring& eventName,
                                    const Platform::hstring& docId, bool firstForm);
    Platform::IAsyncOperation<int32_t> newDataGroup(uint64_t handle,
                                                    const Platform::hstring& category,
                                                    const Platform::hstring& subCategory,
                                                    const Platform::hstring& groupName,
                                                    const Platform::hstring& docId);

    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
    // Written once by InitializeAsync, before the other methods are used.
    bool enableCrashDetection_ = false;
    Platform::hstring proxyUsername_;
    Platform::hstring proxyPassword_;
};

}  // namespace TarvikFoundation
