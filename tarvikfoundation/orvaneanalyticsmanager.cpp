#include <mutex>
#include <string>

#include <TarvikFoundation/orvaneanalyticsmanager.h>
#include <TarvikFoundation/orvaneauthmanager.h>
#include <TarvikFoundation/platform/immortal.h>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "platform/globalization.h"
#include "platform/package.h"
#include "tarvikfoundation/orvanetemplateutils.h"

namespace CommandKeys = Tarvik::CommandKeys;
using Tarvik::keyOf;

namespace TarvikFoundation {

using Platform::hstring;
using Platform::ValueSet;

namespace {

// Too long only warns: the helper decides what to keep.
void checkLength(const hstring& text, const char* name, int32_t limit) {
    if (text.empty()) return;
    if (text.utf16_length() > static_cast<std::size_t>(limit))
        TLOG("WRN", "%shas more than %d characters", name, limit);
}

hstring packageVersion() {
    const auto& v = Platform::Package::Current()->Version();
    return hstring::from_utf8(std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." +
                              std::to_string(v.Build));
}

hstring preferredLanguage() {
    const auto languages = Platform::GlobalizationPreferences::Languages();
    return languages.empty() ? hstring() : languages.front();
}

uint64_t handleOf(const Platform::AppServiceResponse& response) {
    const ValueSet message = response ? response.Message() : ValueSet(nullptr);
    if (!message) return 0;
    const auto value = message.TryLookup(CommandKeys::kLogSessionHandle);
    if (!value || !value->holds<uint64_t>()) return 0;
    return Platform::unbox_value<uint64_t>(*value);
}

}  // namespace

OrvaneAnalyticsManager::OrvaneAnalyticsManager(Key)
    : connection_(Tarvik::TarvikAppServiceConnection::create("AnalyticsMgr")) {}

std::shared_ptr<OrvaneAnalyticsManager> OrvaneAnalyticsManager::GetInstance() {
    static std::mutex m;
    static Platform::Immortal<std::shared_ptr<OrvaneAnalyticsManager>> instance;
    std::lock_guard g(m);
    if (!*instance) *instance = std::make_shared<OrvaneAnalyticsManager>(Key{});
    return *instance;
}

void OrvaneAnalyticsManager::setAppServiceConnection(
    const Platform::AppServiceConnection& connection, bool uwpExited) {
    connection_->setAppServiceConnection(connection, uwpExited);
}

Platform::IAsyncAction OrvaneAnalyticsManager::sendInitialize(const hstring& personGuid,
                                                              bool firstForm) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kAnalyticsInitialize);
    request.Insert(keyOf(CommandKeys::kPersonGuid), personGuid);
    request.Insert(keyOf(CommandKeys::kEnableCrashDetection), enableCrashDetection_);
    request.Insert(keyOf(CommandKeys::kProxyUsername), proxyUsername_);
    request.Insert(keyOf(CommandKeys::kProxyPassword), proxyPassword_);
    if (firstForm) TLOG("INF", "sending command=%d", Tarvik::Commands::kAnalyticsInitialize);
    auto self = shared_from_this();
    return Platform::IAsyncAction::from_task(connection_->sendCommandAsync(request).then(
        [self, firstForm](Platform::AppServiceResponse) {
            if (firstForm)
                TLOG("INF", "Received response for command=%d",
                     Tarvik::Commands::kAnalyticsInitialize);
            else
                TLOG("DBG", "Received response for command=%d",
                     Tarvik::Commands::kAnalyticsInitialize);
        }));
}

Platform::IAsyncAction OrvaneAnalyticsManager::InitializeAsync(bool enableCrashDetection,
                                                               const hstring& proxyUsername,
                                                               const hstring& proxyPassword,
                                                               const hstring& personGuid) {
    enableCrashDetection_ = enableCrashDetection;
    proxyUsername_ = proxyUsername;
    proxyPassword_ = proxyPassword;
    return sendInitialize(personGuid.empty() ? hstring(kNoPersonGuid) : personGuid, true);
}

Platform::IAsyncAction OrvaneAnalyticsManager::InitializeAsync(bool enableCrashDetection,
                                                               const hstring& proxyUsername,
                                                               const hstring& proxyPassword) {
    enableCrashDetection_ = enableCrashDetection;
    proxyUsername_ = proxyUsername;
    proxyPassword_ = proxyPassword;
    auto self = shared_from_this();
    auto profile = OrvaneAuthManager::GetInstance()->GetDefaultUserProfileAsync();
    return Platform::IAsyncAction::from_task(
        profile.as_task()
            .then([](Platform::task<std::shared_ptr<OrvaneAuthUserProfile>> fetched) {
                std::shared_ptr<OrvaneAuthUserProfile> user;
                try {
                    user = fetched.get();
                } catch (...) {
                    TLOG("CRT", "Failure to retrive user profile from GetUserProfileAsync");
                }
                return user && !user->UserId().empty() ? user->UserId() : hstring(kNoPersonGuid);
            })
            .then([self](hstring guid) { return self->sendInitialize(guid, false).as_task(); }));
}

Platform::IAsyncOperation<uint64_t> OrvaneAnalyticsManager::sendForHandle(ValueSet request,
                                                                          int32_t command) {
    TLOG("INF", "sending command=%d", command);
    auto self = shared_from_this();
    return Platform::IAsyncOperation<uint64_t>::from_task(
        connection_->sendCommandAsync(request).then(
            [self, command](Platform::AppServiceResponse response) -> uint64_t {
                TLOG("DBG", "received response for command=%d", command);
                const uint64_t handle = handleOf(response);
                if (handle == 0) return 0;
                if (command == Tarvik::Commands::kAnalyticsStartSession)
                    TLOG("INF", "received response for command=%d with session handle = %d",
                         command, static_cast<int>(handle));
                else
                    TLOG("INF", "received response for command=%d with session handle = %lld",
                         command, static_cast<long long>(handle));
                return handle;
            }));
}

Platform::IAsyncOperation<uint64_t> OrvaneAnalyticsManager::InitializeCacheAsync() {
    return sendForHandle(Tarvik::createRequest(Tarvik::Commands::kAnalyticsInitializeCache),
                         Tarvik::Commands::kAnalyticsInitializeCache);
}

Platform::IAsyncOperation<uint64_t> OrvaneAnalyticsManager::StartSessionAsync(
    const hstring& appFamily, const hstring& appName, const hstring& appBuild,
    const hstring& appVersion) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kAnalyticsStartSession);
    request.Insert(keyOf(CommandKeys::kAppFamily), appFamily);
    request.Insert(keyOf(CommandKeys::kAppName), appName);
    request.Insert(keyOf(CommandKeys::kAppVersion),
                   appVersion.empty() ? packageVersion() : appVersion);
    request.Insert(keyOf(CommandKeys::kAppLanguage), preferredLanguage());
    request.Insert(keyOf(CommandKeys::kAppBuild), appBuild);
    return sendForHandle(request, Tarvik::Commands::kAnalyticsStartSession);
}

Platform::IAsyncAction OrvaneAnalyticsManager::sendAction(ValueSet request, int32_t command,
                                                          const char* receivedMessage) {
    auto self = shared_from_this();
    return Platform::IAsyncAction::from_task(connection_->sendCommandAsync(request).then(
        [self, command, receivedMessage](Platform::AppServiceResponse) {
            Tarvik::LogMessage("DBG", __FILE__, "OrvaneAnalyticsManager::sendAction", __LINE__,
                               receivedMessage, command);
        }));
}

Platform::IAsyncAction OrvaneAnalyticsManager::SetSerializationState(int32_t state) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kAnalyticsSetSerializationState);
    request.Insert(keyOf(CommandKeys::kState), state);
    return sendAction(request, Tarvik::Commands::kAnalyticsSetSerializationState,
                      "Received response for command=%d");
}

Platform::IAsyncAction OrvaneAnalyticsManager::CloseSession(uint64_t handle) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kAnalyticsCloseSession);
    request.Insert(keyOf(CommandKeys::kLogSessionHandle), handle);
    return sendAction(request, Tarvik::Commands::kAnalyticsCloseSession,
                      "received response for command=%d");
}

Platform::IAsyncAction OrvaneAnalyticsManager::LogIdleTime(uint64_t handle) {
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kAnalyticsLogIdleTime);
    request.Insert(keyOf(CommandKeys::kLogSessionHandle), handle);
    return sendAction(request, Tarvik::Commands::kAnalyticsLogIdleTime,
                      "Received response for command=%d");
}

Platform::IAsyncOperation<int32_t> OrvaneAnalyticsManager::newDataGroup(uint64_t handle,
                                                                        const hstring& category,
                                                                        const hstring& subCategory,
                                                                        const hstring& groupName,
                                                                        const hstring& docId) {
    checkLength(category, "category", kNameLimit);
    checkLength(subCategory, "subCategory", kNameLimit);
    checkLength(groupName, "groupName", kNameLimit);
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kAnalyticsNewDataGroup);
    request.Insert(keyOf(CommandKeys::kLogSessionHandle), handle);
    request.Insert(keyOf(CommandKeys::kCategory), category);
    request.Insert(keyOf(CommandKeys::kSubCategory), subCategory);
    request.Insert(keyOf(CommandKeys::kGroupName), groupName);
    if (!docId.empty()) request.Insert(keyOf(CommandKeys::kDocIdBuffer), docId);
    return OrvaneTemplateUtils::sendForResult<int32_t>(
        connection_, request, Tarvik::Commands::kAnalyticsNewDataGroup, CommandKeys::kGroupId);
}

Platform::IAsyncOperation<int32_t> OrvaneAnalyticsManager::NewDataGroupAsync(
    uint64_t handle, const hstring& category, const hstring& subCategory, const hstring& groupName,
    const hstring& docId) {
    return newDataGroup(handle, category, subCategory, groupName, docId);
}

Platform::IAsyncOperation<int32_t> OrvaneAnalyticsManager::NewDataGroupAsync(
    uint64_t handle, const hstring& category, const hstring& subCategory,
    const hstring& groupName) {
    return newDataGroup(handle, category, subCategory, groupName, hstring());
}

Platform::IAsyncAction OrvaneAnalyticsManager::AddToGroup(uint64_t handle, int32_t groupId,
                                                          const hstring& key,
                                                          const hstring& value) {
    checkLength(key, "key", kNameLimit);
    checkLength(value, "value", kValueLimit);
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kAnalyticsAddToGroup);
    request.Insert(keyOf(CommandKeys::kLogSessionHandle), handle);
    request.Insert(keyOf(CommandKeys::kGroupId), groupId);
    request.Insert(keyOf(CommandKeys::kKey), key);
    request.Insert(keyOf(CommandKeys::kValue), value);
    return sendAction(request, Tarvik::Commands::kAnalyticsAddToGroup,
                      "received response for command=%d");
}

Platform::IAsyncAction OrvaneAnalyticsManager::logEvent(uint64_t handle, const hstring& category,
                                                        const hstring& subCategory,
                                                        const hstring& eventName,
                                                        const hstring& docId, bool firstForm) {
    checkLength(category, "category", kNameLimit);
    checkLength(subCategory, "subCategory", kNameLimit);
    checkLength(eventName, "eventName", kNameLimit);
    ValueSet request = Tarvik::createRequest(Tarvik::Commands::kAnalyticsLogEvent);
    request.Insert(keyOf(CommandKeys::kLogSessionHandle), handle);
    request.Insert(keyOf(CommandKeys::kCategory), category);
    request.Insert(keyOf(CommandKeys::kSubCategory), subCategory);
    request.Insert(keyOf(CommandKeys::kEventName), eventName);
    if (!docId.empty()) request.Insert(keyOf(CommandKeys::kDocIdBuffer), docId);
    return sendAction(
        request, Tarvik::Commands::kAnalyticsLogEvent,
        firstForm ? "received response for command=%d" : "Received response for command=%d");
}

Platform::IAsyncAction OrvaneAnalyticsManager::LogEvent(uint64_t handle, const hstring& category,
                                                        const hstring& subCategory,
                                                        const hstring& eventName, int64_t,
                                                        const hstring& docId) {
    return logEvent(handle, category, subCategory, eventName, docId, true);
}

Platform::IAsyncAction OrvaneAnalyticsManager::LogEvent(uint64_t handle, const hstring& category,
                                                        const hstring& subCategory,
                                                        const hstring& eventName) {
    return logEvent(handle, category, subCategory, eventName, hstring(), false);
}

}  // namespace TarvikFoundation
