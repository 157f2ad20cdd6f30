#include <algorithm>
#include <cctype>
#include <thread>

#include <TarvikFoundation/orvaneauthmanager.h>
#include <TarvikFoundation/orvanemessagehandler.h>
#include <TarvikFoundation/platform/immortal.h>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "common/tetherbox.h"
#include "tarvikfoundation/errortable.h"

namespace CommandKeys = Tarvik::CommandKeys;
using Tarvik::keyOf;

namespace TarvikFoundation {

using Platform::hstring;
using Platform::ValueSet;

namespace {

constexpr const char* kSignedInType = "kalder.SuiteMessage.any.pxdc.app.SignedIn";
constexpr const char* kSignOutStatusType = "kalder.SuiteMessage.com.orvane.zel.ZELSIGNOUTStatus";
constexpr const char* kAcsStatusType = "kalder.SuiteMessage.com.orvane.zel.ZELACSStatus";
constexpr const char* kSsoEventType = "kalder.SuiteMessage.pxdc.localapps.panel.refresh.ssoevent";
constexpr const wchar_t* kSignoutPayload =
    L"<request><callerId>Diza</callerId><event_type>signout_success</event_type>"
    L"<event_subtype></event_subtype><payload></payload></request>";

// The helper's "userData" (or any string key), empty when absent or not a string.
hstring stringOf(const ValueSet& message, const wchar_t* key) {
    if (!message) return {};
    const auto value = message.TryLookup(key);
    if (!value || !value->holds<hstring>()) return {};
    return Platform::unbox_value<hstring>(*value);
}

int32_t resultOf(const ValueSet& message) {
    if (!message) return -1;
    const auto value = message.TryLookup(Tarvik::Keys::kResult);
    if (!value || !value->holds<int32_t>()) return -1;
    return Platform::unbox_value<int32_t>(*value);
}

bool transportFailed(const Platform::AppServiceResponse& response, const ValueSet& message) {
    if (!response || !message) return true;
    const auto status = message.TryLookup(Tarvik::Keys::kResponse);
    return status && status->holds<int32_t>() && Platform::unbox_value<int32_t>(*status) == 1;
}

}  // namespace

OrvaneAuthManager::OrvaneAuthManager(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create("AuthMgr")) {}

std::shared_ptr<OrvaneAuthManager> OrvaneAuthManager::GetInstance() {
    static std::mutex m;
    static Platform::Immortal<std::shared_ptr<OrvaneAuthManager>> instance;
    std::lock_guard g(m);
    if (!*instance) *instance = std::make_shared<OrvaneAuthManager>(Key{});
    return *instance;
}

void OrvaneAuthManager::setAppServiceConnection(const Platform::AppServiceConnection& connection,
                                                bool uwpExited) {
    connection_->setAppServiceConnection(connection, uwpExited);
}

Platform::event_token OrvaneAuthManager::StatusEvent(AuthManagerStatusEventDelegate handler) {
    return statusEvent_.add(std::move(handler));
}

void OrvaneAuthManager::StatusEvent(Platform::event_token token) {
    statusEvent_.remove(token);
}

void OrvaneAuthManager::raiseStatus(int32_t status) {
    statusEvent_(status);
}

void OrvaneAuthManager::Initialize(const hstring& clientSecret, const hstring& scope, bool signIn) {
    if (clientSecret.empty() || scope.empty()) {
        TLOG("CRT", "invalid args");
        throw Platform::hresult_invalid_argument(L"invalid args");
    }
    std::lock_guard g(fieldsMutex_);
    clientSecret_ = clientSecret;
    scope_ = scope;
    signInFlag_ = signIn;
}

void OrvaneAuthManager::SetClientData(const hstring& clientId) {
    if (clientId.empty()) {
        TLOG("CRT", "invalid args");
        throw Platform::hresult_invalid_argument(L"invalid args");
    }
    std::lock_guard g(fieldsMutex_);
    clientId_ = clientId;
}

hstring OrvaneAuthManager::clientIdCopy() {
    std::lock_guard g(fieldsMutex_);
    return clientId_;
}

bool OrvaneAuthManager::SignIn() {
    return PassiveSignIn();
}

bool OrvaneAuthManager::SignOut() {
    return PassiveSignout();
}

bool OrvaneAuthManager::IsUserSignedIn() {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kFetchDefaultUserInfo);
    request.Insert(keyOf(CommandKeys::kClientId), clientIdCopy());
    ValueSet message(nullptr);
    int32_t result = -1;
    connection_->sendCommandInt(request, message, result);
    return !stringOf(message, CommandKeys::kUserData).empty();
}

bool OrvaneAuthManager::checkIfDefaultUserLoggedIn(hstring& userId) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kFetchDefaultUserInfo);
    request.Insert(keyOf(CommandKeys::kClientId), clientIdCopy());
    ValueSet message(nullptr);
    int32_t result = -1;
    connection_->sendCommandInt(request, message, result);
    if (result != 0) {
        TLOG("WRN", "ACS ret %d", result);
        return false;
    }
    const hstring userData = stringOf(message, CommandKeys::kUserData);
    if (userData.empty()) {
        TLOG("CRT", "FetchDefaultUserInfoForClientId FAIL : userInfo empty");
        return false;
    }
    const std::string xml = userData.to_utf8();
    const std::string id = Tarvik::Tetherbox::textAt(xml, "/UserData/UserID");
    std::string email = Tarvik::Tetherbox::textAt(xml, "/UserData/Email");
    if (id.empty()) return false;
    std::transform(email.begin(), email.end(), email.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    {
        std::lock_guard g(fieldsMutex_);
        userId_ = id;
        email_ = email;
    }
    userId = hstring::from_utf8(id);
    return true;
}

bool OrvaneAuthManager::PassiveSignIn() {
    hstring userId;
    if (checkIfDefaultUserLoggedIn(userId)) {
        TLOG("INF", "default user logged in.");
        return true;
    }
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kPassiveSignIn);
    request.Insert(keyOf(CommandKeys::kInOutBuffer),
                   hstring::from_utf8(Tarvik::Tetherbox::signInRequest()));
    ValueSet message(nullptr);
    int32_t result = -1;
    connection_->sendCommandInt(request, message, result);
    if (result == -1) {
        TLOG("CRT", "WSKTetherboxRequest FAILED");
        return false;
    }
    const hstring envelope = stringOf(message, CommandKeys::kInOutBuffer);
    if (envelope.empty()) {
        TLOG("CRT", "WSKTetherboxRequest FAILED : tetherbox response unavailable.");
        return false;
    }
    const auto answer = Tarvik::Tetherbox::readResponse(envelope.to_utf8());
    using Status = Tarvik::Tetherbox::Answer::Status;
    if (answer.status == Status::Unreadable) {
        TLOG("CRT", "WSKTetherboxRequest FAILED : tetherbox response unavailable.");
        return false;
    }
    if (answer.status == Status::NoValue) return false;
    if (answer.status == Status::NotANumber) {
        TLOG("CRT", "WSKLibResponse is not a number: %s", answer.text.c_str());
        return false;
    }
    const int value = answer.value;
    TLOG("INF", "WSKLibResponse %d", value);
    return value == 3;
}

bool OrvaneAuthManager::PassiveSignout() {
    hstring userId;
    checkIfDefaultUserLoggedIn(userId);
    if (userId.empty()) {
        TLOG("WRN", "no user to signout");
        return false;
    }
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kPassiveSignout);
    {
        std::lock_guard g(fieldsMutex_);
        request.Insert(keyOf(CommandKeys::kUserAccountGuid), userId);
        request.Insert(keyOf(CommandKeys::kClientId), clientId_);
        request.Insert(keyOf(CommandKeys::kClientSecret), clientSecret_);
    }
    ValueSet message(nullptr);
    int32_t result = -1;
    connection_->sendCommandInt(request, message, result);
    if (result != 0) {
        TLOG("CRT", "Revoke device token FAIL");
        return false;
    }
    {
        std::lock_guard g(fieldsMutex_);
        userId_.clear();
        email_.clear();
    }
    try {
        OrvaneInternal::OrvaneMessageHandler::GetInstance()->SendMessageAndListen(
            hstring::from_utf8(kSsoEventType), hstring(), hstring(kSignoutPayload), nullptr, true);
    } catch (const std::exception& e) {
        // The sign-out happened; other applications only miss the notice.
        TLOG("WRN", "sign-out notice not sent: %s", e.what());
    }
    raiseStatus(kSignedOut);
    return true;
}

Platform::IAsyncOperation<hstring> OrvaneAuthManager::FetchAccessTokenAsync(
    const hstring& clientId, const hstring& clientSecret, const hstring& userAccountGuid,
    const hstring& serviceAccountGuid, const hstring& scope) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kFetchAccessToken);
    request.Insert(keyOf(CommandKeys::kClientId), clientId);
    request.Insert(keyOf(CommandKeys::kClientSecret), clientSecret);
    request.Insert(keyOf(CommandKeys::kUserAccountGuid), userAccountGuid);
    request.Insert(keyOf(CommandKeys::kServiceAccountGuid), serviceAccountGuid);
    request.Insert(keyOf(CommandKeys::kScope), scope);
    auto self = shared_from_this();
    return Platform::IAsyncOperation<hstring>::from_task(
        connection_->sendCommandAsync(request).then(
            [self](Platform::AppServiceResponse response) -> hstring {
                const ValueSet message = response ? response.Message() : ValueSet(nullptr);
                const auto status =
                    response ? response.Status() : Platform::AppServiceResponseStatus::Failure;
                TLOG("INF", "Received response for command=%d,status=%d,time=%s",
                     Tarvik::Commands::kFetchAccessToken, static_cast<int>(status),
                     Tarvik::GetTimeStamp().c_str());
                if (transportFailed(response, message)) return hstring();
                const int32_t result = resultOf(message);
                if (result != 0) throw Platform::hresult_error(ErrorCodeFromServiceStatus(result));
                return stringOf(message, CommandKeys::kUserData);
            }));
}

Platform::IAsyncOperation<hstring> OrvaneAuthManager::fetchUserData(const hstring& clientId,
                                                                    const char* xpath) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kFetchDefaultUserInfo);
    request.Insert(keyOf(CommandKeys::kClientId), clientId);
    auto self = shared_from_this();
    return Platform::IAsyncOperation<hstring>::from_task(
        connection_->sendCommandAsync(request).then(
            [self, xpath](Platform::AppServiceResponse response) -> hstring {
                const ValueSet message = response ? response.Message() : ValueSet(nullptr);
                const auto status =
                    response ? response.Status() : Platform::AppServiceResponseStatus::Failure;
                TLOG("DBG", "Response for FetchDefaultUserInfo %S",
                     Platform::response_status_wname(status));
                if (transportFailed(response, message)) return hstring();
                const int32_t result = resultOf(message);
                if (result != 0) throw Platform::hresult_error(ErrorCodeFromServiceStatus(result));
                return hstring::from_utf8(Tarvik::Tetherbox::textAt(
                    stringOf(message, CommandKeys::kUserData).to_utf8(), xpath));
            }));
}

Platform::IAsyncOperation<hstring> OrvaneAuthManager::FetchDefaultUserInfoForClientIdAsync(
    const hstring& clientId) {
    return fetchUserData(clientId, "/UserData/ACSProfile");
}

Platform::IAsyncOperation<hstring> OrvaneAuthManager::FetchDefaultUserGuidForClientIdAsync(
    const hstring& clientId) {
    return fetchUserData(clientId, "/UserData/UserID");
}

Platform::IAsyncOperation<std::shared_ptr<OrvaneAuthUserProfile>>
OrvaneAuthManager::GetDefaultUserProfileAsync() {
    auto profile = FetchDefaultUserInfoForClientIdAsync(clientIdCopy());
    return Platform::IAsyncOperation<std::shared_ptr<OrvaneAuthUserProfile>>::from_task(
        profile.as_task().then(
            [](hstring text) { return std::make_shared<OrvaneAuthUserProfile>(text); }));
}

Platform::IAsyncOperation<std::shared_ptr<OrvaneAuthTokenInfo>>
OrvaneAuthManager::GetTokenInfoAsync() {
    auto self = shared_from_this();
    const hstring clientId = clientIdCopy();
    auto guid = FetchDefaultUserGuidForClientIdAsync(clientId);
    return Platform::IAsyncOperation<std::shared_ptr<OrvaneAuthTokenInfo>>::from_task(
        guid.as_task()
            .then([self, clientId](hstring userId) {
                hstring secret, scope;
                {
                    std::lock_guard g(self->fieldsMutex_);
                    secret = self->clientSecret_;
                    scope = self->scope_;
                }
                return self->FetchAccessTokenAsync(clientId, secret, userId, clientId, scope)
                    .as_task();
            })
            .then([](hstring token) { return std::make_shared<OrvaneAuthTokenInfo>(token); }));
}

void OrvaneAuthManager::startSSOListening() {
    bool expected = false;
    if (!listening_.compare_exchange_strong(expected, true)) return;
    std::weak_ptr<OrvaneAuthManager> weak = weak_from_this();
    // Registering waits for the helper (command 35); the caller is handing out a
    // connection and must not wait for that.
    std::thread([weak] {
        if (auto self = weak.lock()) self->registerSSOListeners();
    }).detach();
}

void OrvaneAuthManager::registerSSOListeners() {
    std::weak_ptr<OrvaneAuthManager> weak = weak_from_this();
    const auto bind = [weak](void (OrvaneAuthManager::*method)(const hstring&)) {
        return [weak, method](const hstring& payload) {
            if (auto self = weak.lock()) (self.get()->*method)(payload);
        };
    };
    const auto statusOf = [weak](int32_t status) {
        return [weak, status](const hstring&) {
            if (auto self = weak.lock()) self->raiseStatus(status);
        };
    };
    std::map<std::string, uint32_t> ids;
    try {
        auto handler = OrvaneInternal::OrvaneMessageHandler::GetInstance();
        ids[kSignedInType] =
            handler->AddListener(hstring::from_utf8(kSignedInType), statusOf(kSignedIn), false);
        ids[kSignOutStatusType] = handler->AddListener(hstring::from_utf8(kSignOutStatusType),
                                                       statusOf(kSignedOut), false);
        ids[kAcsStatusType] = handler->AddListener(
            hstring::from_utf8(kAcsStatusType), bind(&OrvaneAuthManager::handleACSStatus), false);
        ids[kSsoEventType] = handler->AddListener(hstring::from_utf8(kSsoEventType),
                                                  bind(&OrvaneAuthManager::handleSSOEvent), false);
    } catch (const std::exception& e) {
        TLOG("CRT", "SSO listeners not registered: %s", e.what());
    }
    std::lock_guard g(listenersMutex_);
    listenerIds_.insert(ids.begin(), ids.end());
    listenersDone_ = true;
    listenersReady_.notify_all();
}

bool OrvaneAuthManager::waitForSSOListeners(std::chrono::milliseconds limit) {
    std::unique_lock g(listenersMutex_);
    return listenersReady_.wait_for(g, limit, [this] { return listenersDone_; });
}

std::map<std::string, uint32_t> OrvaneAuthManager::listenerIds() {
    std::lock_guard g(listenersMutex_);
    return listenerIds_;
}

std::string OrvaneAuthManager::signedInUserId() {
    std::lock_guard g(fieldsMutex_);
    return userId_;
}

std::string OrvaneAuthManager::signedInEmail() {
    std::lock_guard g(fieldsMutex_);
    return email_;
}

void OrvaneAuthManager::handleACSStatus(const hstring& payload) {
    const std::string text = payload.to_utf8();
    if (text.find("access_denied") != std::string::npos) raiseStatus(kAccessDenied);
    if (text.find("USER_AUTH_SUCCESS") != std::string::npos) raiseStatus(kSignedIn);
}

void OrvaneAuthManager::handleSSOEvent(const hstring& payload) {
    if (payload.to_utf8().find("signin_success") != std::string::npos) {
        TLOG("DBG", "Sign-in_Success SSOEvent!");
        raiseStatus(kSignedIn);
    }
}

}  // namespace TarvikFoundation
