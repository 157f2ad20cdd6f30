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
///
/// Commands 17 to 25. No method raises an error code of its own: a failed exchange
/// gives handle 0 or group id 0, and the actions complete whatever the answer holds.
/// Names longer than kNameLimit and values longer than kValueLimit (UTF-16 units) are
/// logged as a warning and sent whole.
class TARVIK_API OrvaneAnalyticsManager
    : public std::enable_shared_from_this<OrvaneAnalyticsManager>,
      private Platform::ModuleObject {
  public:
    /// The person GUID sent when no user is known.
    static constexpr const wchar_t* kNoPersonGuid = L"NOPERSONGUID@OrvaneID";
    /// Length above which a category, sub-category, group, event name or key is warned of.
    static constexpr int32_t kNameLimit = 128;
    /// Length above which a group value is warned of.
    static constexpr int32_t kValueLimit = 512;

    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneAnalyticsManager> GetInstance();

    /// Command 18: "personGUID", "enableCrashDetection", "ProxyUsername", "ProxyPassword".
    /// The answer is not examined.
    /// @param enableCrashDetection sent as "enableCrashDetection"
    /// @param proxyUsername sent as "ProxyUsername"
    /// @param proxyPassword sent as "ProxyPassword"
    /// @param personGuid sent as "personGUID"; kNoPersonGuid when empty
    Platform::IAsyncAction InitializeAsync(bool enableCrashDetection,
                                           const Platform::hstring& proxyUsername,
                                           const Platform::hstring& proxyPassword,
                                           const Platform::hstring& personGuid);
    /// Command 18 as the other overload, with the signed-in user's id as "personGUID"
    /// (OrvaneAuthManager::GetDefaultUserProfileAsync; kNoPersonGuid without a user).
    Platform::IAsyncAction InitializeAsync(bool enableCrashDetection,
                                           const Platform::hstring& proxyUsername,
                                           const Platform::hstring& proxyPassword);
    /// Command 17, no arguments.
    /// @return "logSessionHandle" of the answer, 0 when there is none
    Platform::IAsyncOperation<uint64_t> InitializeCacheAsync();
    /// Command 19: "appFamily", "appName", "appVersion", "appLanguage" (the user's first
    /// preferred language), "appBuild".
    /// @param appFamily sent as "appFamily"
    /// @param appName sent as "appName"
    /// @param appBuild sent as "appBuild"
    /// @param appVersion sent as "appVersion"; when empty, the package's
    ///        major.minor.build
    /// @return "logSessionHandle" of the answer, 0 when there is none
    Platform::IAsyncOperation<uint64_t> StartSessionAsync(const Platform::hstring& appFamily,
                                                          const Platform::hstring& appName,
                                                          const Platform::hstring& appBuild,
                                                          const Platform::hstring& appVersion);
    /// Command 20: "state", a value the helper interprets.
    Platform::IAsyncAction SetSerializationState(int32_t state);
    /// Command 22: "logSessionHandle", "category", "subCategory", "groupName" and, when
    /// not empty, "docIdBuffer".
    /// @param handle a handle from StartSessionAsync or InitializeCacheAsync
    /// @param category sent as "category"
    /// @param subCategory sent as "subCategory"
    /// @param groupName sent as "groupName"
    /// @param docId sent as "docIdBuffer" unless empty
    /// @return "groupId" of the answer; 0 when the exchange failed or "response" was 1
    Platform::IAsyncOperation<int32_t> NewDataGroupAsync(uint64_t handle,
                                                         const Platform::hstring& category,
                                                         const Platform::hstring& subCategory,
                                                         const Platform::hstring& groupName,
                                                         const Platform::hstring& docId);
    /// Command 22 without "docIdBuffer"; otherwise as the other overload.
    Platform::IAsyncOperation<int32_t> NewDataGroupAsync(uint64_t handle,
                                                         const Platform::hstring& category,
                                                         const Platform::hstring& subCategory,
                                                         const Platform::hstring& groupName);
    /// Command 23: "logSessionHandle", "groupId", "key", "value".
    Platform::IAsyncAction AddToGroup(uint64_t handle, int32_t groupId,
                                      const Platform::hstring& key, const Platform::hstring& value);
    /// Command 24: "logSessionHandle", "category", "subCategory", "eventName" and, when
    /// `docId` is not empty, "docIdBuffer". `number` is accepted for the host's
    /// convenience; no command carries it.
    Platform::IAsyncAction LogEvent(uint64_t handle, const Platform::hstring& category,
                                    const Platform::hstring& subCategory,
                                    const Platform::hstring& eventName, int64_t number,
                                    const Platform::hstring& docId);
    /// Command 24 without "docIdBuffer".
    Platform::IAsyncAction LogEvent(uint64_t handle, const Platform::hstring& category,
                                    const Platform::hstring& subCategory,
                                    const Platform::hstring& eventName);
    /// Command 25: "logSessionHandle".
    Platform::IAsyncAction LogIdleTime(uint64_t handle);
    /// Command 21: "logSessionHandle".
    Platform::IAsyncAction CloseSession(uint64_t handle);

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
