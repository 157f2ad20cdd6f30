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

/// Handler of OrvaneAuthManager::StatusEvent; `status` is OrvaneAuthManager::kSignedIn,
/// kSignedOut or kAccessDenied.
using AuthManagerStatusEventDelegate = std::function<void(int32_t status)>;

/// The machine's signed-in account, through the helper: sign-in state, sign-in and
/// sign-out, the user's profile and access tokens, and a status event when the state
/// changes elsewhere on the machine.
///
/// Commands: 26 default user information ("clientId"; reads "result" and "userData", an
/// XML `UserData` with `UserID`, `Email`, `ACSProfile`), 27 sign-out, 28 access token,
/// 8 sign-in prompt. A non-zero service status in "result" of an asynchronous fetch is
/// raised as the error code mapped from it (0xE1010011 to 0xE1010046, 0xE1010047 for a
/// status without a code of its own); a transport failure or "response" 1 gives an
/// empty result instead. The blocking methods raise 0xE101000E when the exchange throws.
class TARVIK_API OrvaneAuthManager : public std::enable_shared_from_this<OrvaneAuthManager>,
                                     private Platform::ModuleObject {
  public:
    /// Status: a user signed in (a signed-in message, a sign-in success event, or a
    /// status message holding "USER_AUTH_SUCCESS").
    static constexpr int32_t kSignedIn = 0;
    /// Status: the user signed out (a sign-out message, or a successful SignOut).
    static constexpr int32_t kSignedOut = 1;
    /// Status: a status message holding "access_denied".
    static constexpr int32_t kAccessDenied = 2;

    /// The process-wide instance, created on first use; the one the app helper connects.
    static std::shared_ptr<OrvaneAuthManager> GetInstance();

    /// Adds a handler of the sign-in status; it may be called on any thread.
    Platform::event_token StatusEvent(AuthManagerStatusEventDelegate handler);
    /// Removes a handler added with the other overload.
    void StatusEvent(Platform::event_token token);
    /// Stores the client secret and scope sent with token and sign-out requests.
    /// @param clientSecret the account-service client secret; must not be empty
    /// @param scope the scope of token requests; must not be empty
    /// @param signIn stored with them, not acted on
    /// @throws Platform::hresult_invalid_argument for an empty secret or scope
    void Initialize(const Platform::hstring& clientSecret, const Platform::hstring& scope,
                    bool signIn);
    /// Signs the default user in; blocks until the helper answers.
    /// @return true at once when a default user is already signed in (command 26);
    ///         otherwise sends command 8 with a "showZEL" request envelope under
    ///         "inOutBuffer" and returns true when the answer's "WSKLibResponse" is 3
    bool SignIn();
    /// Signs the default user out (command 27 with "userAccountGuid", "clientId",
    /// "clientSecret"); blocks until the helper answers. On success raises kSignedOut
    /// and tells the other applications.
    /// @return false when nobody is signed in or the service status is not 0
    bool SignOut();
    /// Whether a default user is signed in: command 26 answered with a non-empty
    /// "userData" ("result" is not looked at). Blocks until the helper answers.
    bool IsUserSignedIn();
    /// The default user's profile: command 26, then the JSON under `ACSProfile`.
    /// Fails with the error code of a non-zero service status.
    Platform::IAsyncOperation<std::shared_ptr<OrvaneAuthUserProfile>> GetDefaultUserProfileAsync();
    /// The default user's access token: command 26 for the user id, then command 28 with
    /// the stored client id (also as the service account), secret and scope.
    /// Fails with the error code of a non-zero service status.
    Platform::IAsyncOperation<std::shared_ptr<OrvaneAuthTokenInfo>> GetTokenInfoAsync();
    /// Command 28: an access token as the helper's JSON text ("userData").
    /// @param clientId sent as "clientId"
    /// @param clientSecret sent as "clientSecret"
    /// @param userAccountGuid sent as "userAccountGuid"
    /// @param serviceAccountGuid sent as "ServiceAccountGuid"
    /// @param scope sent as "Scope"
    /// @return the token JSON; empty when the exchange failed or "response" was 1.
    ///         A non-zero "result" fails the operation with its mapped error code
    ///         (0xE1010047 when "result" is missing).
    Platform::IAsyncOperation<Platform::hstring> FetchAccessTokenAsync(
        const Platform::hstring& clientId, const Platform::hstring& clientSecret,
        const Platform::hstring& userAccountGuid, const Platform::hstring& serviceAccountGuid,
        const Platform::hstring& scope);

    /// @name Internal operations, used by the app helper, the analytics manager and tests
    /// @{

    /// Stores the client id of the host (the app helper passes its options' ClientId).
    /// @throws Platform::hresult_invalid_argument for an empty id
    void SetClientData(const Platform::hstring& clientId);
    /// Command 26: the default user's profile JSON (`/UserData/ACSProfile`), empty when
    /// the exchange failed; a non-zero "result" fails with its mapped error code.
    Platform::IAsyncOperation<Platform::hstring> FetchDefaultUserInfoForClientIdAsync(
        const Platform::hstring& clientId);
    /// Command 26: the default user's id (`/UserData/UserID`), otherwise as
    /// FetchDefaultUserInfoForClientIdAsync.
    Platform::IAsyncOperation<Platform::hstring> FetchDefaultUserGuidForClientIdAsync(
        const Platform::hstring& clientId);
    /// Command 26, blocking: true with `userId` set (and the user id and lower-cased
    /// e-mail cached) when "result" is 0 and the answer names a user.
    bool checkIfDefaultUserLoggedIn(Platform::hstring& userId);
    /// Subscribes to the four sign-in messages of other applications; only the first
    /// call does anything.
    void startSSOListening();
    /// Blocks until the listeners of startSSOListening are registered (or failed).
    bool waitForSSOListeners(std::chrono::milliseconds limit);
    /// The listener id of each subscribed message type.
    std::map<std::string, uint32_t> listenerIds();
    /// The cached user id of the last successful checkIfDefaultUserLoggedIn.
    std::string signedInUserId();
    /// The cached, lower-cased e-mail of the last successful checkIfDefaultUserLoggedIn.
    std::string signedInEmail();

    /// Hands this manager the connection to the helper (null to detach); `uwpExited`
    /// fails what waits for one.
    void setAppServiceConnection(const Platform::AppServiceConnection& connection, bool uwpExited);
    /// This manager's channel to the helper.
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection() const {
        return connection_;
    }

    /// Restricts construction to GetInstance.
    struct Key {
        explicit Key() = default;
    };
    /// Use GetInstance; the key keeps other callers out.
    explicit OrvaneAuthManager(Key);
    /// @}

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
