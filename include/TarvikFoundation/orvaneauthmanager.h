#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/orvaneauthtokeninfo.h>
#include <TarvikFoundation/orvaneauthuserprofile.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/platform/event.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikFoundation {

using AuthManagerStatusEventDelegate = std::function<void(int32_t status)>;

/// The machine's signed-in account, through the helper: sign-in state, sign-in and
/// sign-out, the user's profile and access tokens, and a status event when the state
/// changes elsewhere on the machine.
class TARVIK_API OrvaneAuthManager : public std::enable_shared_from_this<OrvaneAuthManager>,
                                     private Platform::ModuleObject {
  public:
    static constexpr int32_t kSignedIn = 0;
    static constexpr int32_t kSignedOut = 1;
    static constexpr int32_t kAccessDenied = 2;

    static std::shared_ptr<OrvaneAuthManager> GetInstance();

    Platform::event_token StatusEvent(AuthManagerStatusEventDelegate handler);
    void StatusEvent(Platform::event_token token);
    void Initialize(const Platform::hstring& clientSecret, const Platform::hstring& scope,
                    bool signIn);
    bool SignIn();
    bool SignOut();
    bool IsUserSignedIn();
    Platform::IAsyncOperation<std::shared_ptr<OrvaneAuthUserProfile>> GetDefaultUserProfileAsync();
    Platform::IAsyncOperation<std::shared_ptr<OrvaneAuthTokenInfo>> GetTokenInfoAsync();
    Platform::IAsyncOperation<Platform::hstring> FetchAccessTokenAsync(
        const Platform::hstring& clientId, const Platform::hstring& clientSecret,
        const Platform::hstring& userAccountGuid, const Platform::hstring& serviceAccountGuid,
        const Platform::hstring& scope);

    /// Internal operations, used by the app helper, the analytics manager and tests.
    void SetClientData(const Platform::hstring& clientId);
    Platform::IAsyncOperation<Platform::hstring> FetchDefaultUserInfoForClientIdAsync(
        const Platform::hstring& clientId);
    Platform::IAsyncOperation<Platform::hstring> FetchDefaultUserGuidForClientIdAsync(
        const Platform::hstring& clientId);
    bool checkIfDefaultUserLoggedIn(Platform::hstring& userId);
    void startSSOListening();
    /// Blocks until the listeners of startSSOListening are registered (or failed).
    bool waitForSSOListeners(std::chrono::milliseconds limit);
    std::map<std::string, uint32_t> listenerIds();
    std::string signedInUserId();
    std::string signedInEmail();

    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    struct Key {
        explicit Key() = default;
    };
    explicit OrvaneAuthManager(Key);

  private:
    bool PassiveSignIn();
    bool PassiveSignout();
    void raiseStatus(int32_t status);
    void handleSSOEvent(const Platform::hstring& payload);
    void handleACSStatus(const Platform::hstring& payload);
    void registerSSOListeners();
    Platform::IAsyncOperation<Platform::hstring> fetchUserData(const Platform::hstring& clientId,
                                                               const char* xpath);
    Platform::hstring clientIdCopy();

    Platform::event<int32_t> statusEvent_;
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> connection_;
    std::mutex fieldsMutex_;  // the client data and the cached user
    Platform::hstring clientId_;
    Platform::hstring clientSecret_;
    Platform::hstring scope_;
    bool signInFlag_ = false;
    std::string userId_;
    std::string email_;
    std::atomic<bool> listening_{false};
    std::mutex listenersMutex_;
    std::condition_variable listenersReady_;
    bool listenersDone_ = false;
    std::map<std::string, uint32_t> listenerIds_;
};

}  // namespace TarvikFoundation
