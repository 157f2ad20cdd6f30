// The command table: one entry per assigned code, built from the key constants so that
// a key renamed in commandkeys.h is renamed here too.
#include "common/commandtable.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "common/commandcodes.h"
#include "common/commandkeys.h"

namespace Tarvik::CommandTable {

namespace {

namespace C = Tarvik::Commands;
namespace K = Tarvik::CommandKeys;
using enum ValueType;
using enum Direction;

constexpr bool kRequired = true;
constexpr bool kOptional = false;

// "response" values a handler answers. Every command may besides get 2 from a
// receiver that is running the same request and 3 from the relay.
constexpr std::array<int32_t, 2> kSuccessOrFailure{0, 1};
constexpr std::array<int32_t, 1> kSuccessOnly{0};

constexpr std::span<const KeySpec> kNone{};

// Files.
constexpr KeySpec kGetFileTokenRequest[] = {
    {K::kFilePath, String, kRequired, "path below one of the helper's file roots"},
    {K::kFileMode, String, kRequired, "\"read\" or \"write\""},
    {K::kFileCreateDirectory, String, kRequired,
     "\"true\" to create the missing folders of the path, else \"false\""},
};
constexpr KeySpec kGetFileTokenAnswer[] = {
    {K::kResult, Int32, kRequired, "0 when the token was issued, 1 when refused"},
    {K::kFileToken, String, kRequired, "token that redeems the opened file"},
    {K::kErrorCode, Int32, kOptional, "file error code of a refusal"},
    {K::kFileError, String, kOptional, "text of a refusal"},
};
constexpr KeySpec kFolderRequest[] = {
    {K::kFilePath, String, kRequired, "folder below one of the helper's file roots"},
};
constexpr KeySpec kFolderAnswer[] = {
    {K::kResult, Int32, kRequired, "0 when the operation held, 1 when it did not"},
    {K::kErrorCode, Int32, kOptional, "file error code of a refusal"},
    {K::kFileError, String, kOptional, "text of a refusal"},
};
constexpr KeySpec kListFilesRequest[] = {
    {K::kFilePath, String, kRequired, "folder below one of the helper's file roots"},
    {K::kDoRecursiveListing, String, kRequired, "\"true\" to list the subfolders too"},
};
constexpr KeySpec kListFilesAnswer[] = {
    {K::kResult, Int32, kRequired, "0 when listed"},
    {K::kDirectoryListing, String, kRequired,
     "JSON array of {\"path\", \"type\": \"file\" or \"folder\"}"},
    {K::kErrorCode, Int32, kOptional, "file error code of a refusal"},
    {K::kFileError, String, kOptional, "text of a refusal"},
};

// Accounts.
constexpr KeySpec kPassiveSignInRequest[] = {
    {K::kInOutBuffer, String, kRequired, "request envelope naming the function to call"},
};
constexpr KeySpec kPassiveSignInAnswer[] = {
    {K::kResult, Int32, kRequired, "service status, 0 on success"},
    {K::kInOutBuffer, String, kOptional, "response envelope, when the status is 0"},
};
constexpr KeySpec kClientIdRequest[] = {
    {K::kClientId, String, kRequired, "client id of the application"},
};
constexpr KeySpec kUserDataAnswer[] = {
    {K::kResult, Int32, kRequired, "service status, 0 on success"},
    {K::kUserData, String, kOptional, "the user's data, when the status is 0"},
};
constexpr KeySpec kPassiveSignoutRequest[] = {
    {K::kUserAccountGuid, String, kRequired, "account to sign out"},
    {K::kClientId, String, kRequired, "client id of the application"},
    {K::kClientSecret, String, kRequired, "client secret of the application"},
};
constexpr KeySpec kResultAnswer[] = {
    {K::kResult, Int32, kRequired, "status of the operation, 0 on success"},
};
constexpr KeySpec kFetchAccessTokenRequest[] = {
    {K::kClientId, String, kRequired, "client id of the application"},
    {K::kClientSecret, String, kRequired, "client secret of the application"},
    {K::kUserAccountGuid, String, kRequired, "account the token is for"},
    {K::kServiceAccountGuid, String, kRequired, "service account"},
    {K::kScope, String, kRequired, "scope of the token"},
};

// Analytics.
constexpr KeySpec kSessionHandleAnswer[] = {
    {K::kLogSessionHandle, UInt64, kRequired, "handle of the opened session"},
};
constexpr KeySpec kAnalyticsInitializeRequest[] = {
    {K::kPersonGuid, String, kRequired, "person the events belong to"},
    {K::kEnableCrashDetection, Boolean, kRequired, "whether crashes are recorded"},
    {K::kProxyUsername, String, kRequired, "proxy user, may be empty"},
    {K::kProxyPassword, String, kRequired, "proxy password, may be empty"},
};
constexpr KeySpec kStartSessionRequest[] = {
    {K::kAppFamily, String, kRequired, "application family"},
    {K::kAppName, String, kRequired, "application name"},
    {K::kAppVersion, String, kRequired, "application version"},
    {K::kAppLanguage, String, kRequired, "preferred language"},
    {K::kAppBuild, String, kRequired, "application build"},
};
constexpr KeySpec kSerializationStateRequest[] = {
    {K::kState, Int32, kRequired, "serialization state"},
};
constexpr KeySpec kSessionHandleRequest[] = {
    {K::kLogSessionHandle, UInt64, kRequired, "an open session"},
};
constexpr KeySpec kNewDataGroupRequest[] = {
    {K::kLogSessionHandle, UInt64, kRequired, "an open session"},
    {K::kCategory, String, kRequired, "category"},
    {K::kSubCategory, String, kRequired, "subcategory"},
    {K::kGroupName, String, kRequired, "name of the group"},
    {K::kDocIdBuffer, String, kOptional, "document id, sent only when not empty"},
};
constexpr KeySpec kNewDataGroupAnswer[] = {
    {K::kGroupId, Int32, kRequired, "id of the new group"},
};
constexpr KeySpec kAddToGroupRequest[] = {
    {K::kLogSessionHandle, UInt64, kRequired, "an open session"},
    {K::kGroupId, Int32, kRequired, "a group of that session"},
    {K::kKey, String, kRequired, "entry key"},
    {K::kValue, String, kRequired, "entry value"},
};
constexpr KeySpec kLogEventRequest[] = {
    {K::kLogSessionHandle, UInt64, kRequired, "an open session"},
    {K::kCategory, String, kRequired, "category"},
    {K::kSubCategory, String, kRequired, "subcategory"},
    {K::kEventName, String, kRequired, "name of the event"},
    {K::kDocIdBuffer, String, kOptional, "document id, sent only when not empty"},
};

// Socket server.
constexpr KeySpec kSocketServerInitializeAnswer[] = {
    {K::kSocketServerPort, UInt32, kRequired, "loopback port the server listens on"},
};
constexpr KeySpec kSocketServerRequestRequest[] = {
    {K::kRequestString, String, kRequired, "line a socket client sent"},
    {K::kSocketNumber, UInt32, kRequired, "socket to answer on"},
};
constexpr KeySpec kSocketServerSendResponseRequest[] = {
    {K::kSocketNumber, UInt32, kRequired, "socket to answer on"},
    {K::kResponseString, String, kRequired, "answer for the client"},
};
constexpr KeySpec kSocketServerLaunchClientRequest[] = {
    {K::kFilePathString, String, kRequired, "client program to start"},
    {K::kParametersString, String, kRequired, "its arguments, may be empty"},
};

// Messages between applications.
constexpr KeySpec kMessageRegisterRequest[] = {
    {K::kAppVersion, String, kRequired, "version of the registering application"},
};
constexpr KeySpec kMessageSendRequest[] = {
    {K::kMessage, String, kRequired, "message type"},
    {K::kPayload, String, kRequired, "message payload"},
};
constexpr KeySpec kMessageSendAnswer[] = {
    {K::kErrorCode, Int32, kRequired, "0 when delivered, else the bus's error"},
};
constexpr KeySpec kMessageReceiveRequest[] = {
    {K::kMessageType, String, kRequired, "message type"},
    {K::kPayload, String, kRequired, "message payload"},
};

// Test commands.
constexpr KeySpec kTestDelayRequest[] = {
    {K::kTestDelay, UInt64, kRequired, "milliseconds to wait before answering"},
    {K::kValue, UInt64, kOptional, "number echoed in the answer"},
};
constexpr KeySpec kTestDelayAnswer[] = {
    {K::kTestResponse, String, kRequired, "text naming the delay (and the value)"},
};
constexpr KeySpec kTestKalderRequest[] = {
    {K::kTestIterations, Int32, kRequired, "number of messages to send back"},
};

// System calls.
constexpr KeySpec kKeyCodeMappingRequest[] = {
    {K::kKeyCode, UInt32, kRequired, "key code to map"},
    {K::kKeyMapType, UInt32, kRequired, "kind of mapping"},
};
constexpr KeySpec kKeyCodeMappingAnswer[] = {
    {K::kKeyReturnCode, UInt32, kRequired, "mapped code, 0 when there is none"},
};
constexpr KeySpec kGetEnvironmentVariableRequest[] = {
    {K::kEnvVariableName, String, kRequired, "variable name"},
};
constexpr KeySpec kGetEnvironmentVariableAnswer[] = {
    {K::kEnvTableEntry, String, kRequired, "its value, empty when unset"},
};
constexpr KeySpec kSetEnvironmentVariableRequest[] = {
    {K::kEnvVariableName, String, kRequired, "variable name"},
    {K::kEnvVariableValue, String, kRequired, "new value"},
};
constexpr KeySpec kGetKeyboardLayoutRequest[] = {
    {K::kThreadId, UInt64, kRequired, "thread whose layout is asked for"},
};
constexpr KeySpec kGetKeyboardLayoutAnswer[] = {
    {K::kKeyBoardLayout, UInt64, kRequired, "keyboard layout id"},
};

// Installed applications.
constexpr KeySpec kTargetRequest[] = {
    {K::kTargetSpecifier, String, kRequired, "package family of the application"},
};
constexpr KeySpec kIsAppInstalledAnswer[] = {
    {K::kIsAppInstalled, Boolean, kRequired, "whether it is installed"},
};
constexpr KeySpec kIsAppAvailableAnswer[] = {
    {K::kIsAppAvailable, Boolean, kRequired, "whether it is running and registered"},
};
constexpr KeySpec kLaunchAppRequest[] = {
    {K::kTargetSpecifier, String, kRequired, "package family of the application"},
    {K::kFocus, Boolean, kRequired, "whether it comes to the front"},
    {K::kCommandLineArguments, String, kRequired, "its arguments, may be empty"},
};
constexpr KeySpec kLaunchAppAnswer[] = {
    {K::kSuccessfullyLaunched, Boolean, kRequired, "whether it was started or reached"},
};
constexpr KeySpec kGetSpecifiersAnswer[] = {
    {K::kKalderSpecifiers, String, kRequired, "JSON array of package families"},
};

// Folder permissions.
constexpr KeySpec kFolderPermissionRequest[] = {
    {K::kAppXFolderName, String, kRequired, "folder name"},
};
constexpr KeySpec kQueryFolderPermissionAnswer[] = {
    {K::kFolderHasAppxPermissions, Boolean, kRequired, "whether the folder is granted"},
};
constexpr KeySpec kSetFolderPermissionAnswer[] = {
    {K::kSetFolderPermissions, Boolean, kRequired, "whether the grant was made"},
};

// Processes.
constexpr KeySpec kGetProcessListAnswer[] = {
    {K::kProcessList, String, kRequired,
     "JSON array of {\"ProcID\": number, \"ProcName\": string}"},
};
constexpr KeySpec kProcessIdRequest[] = {
    {K::kProcessId, UInt32, kRequired, "process id"},
};

// Cart client.
constexpr KeySpec kCartInvokeClientRequest[] = {
    {K::kCartAppId, String, kRequired, "application id"},
    {K::kCartAppVersion, String, kRequired, "application version"},
    {K::kCartAppProfileScope, String, kRequired, "profile scope"},
    {K::kCartAppPath, String, kRequired, "path of the client"},
};
constexpr KeySpec kCartInvokeClientAnswer[] = {
    {K::kCartErrorCode, Int32, kRequired, "status of the client, 0 on success"},
};

constexpr CommandSpec kCommands[] = {
    {C::kGetFileToken, "GetFileToken", AppToHelper, "OrvaneFileManager::GetFileTokenAsync",
     kGetFileTokenRequest, kGetFileTokenAnswer, kSuccessOrFailure,
     "Opens a file below a file root and answers a token that redeems it."},
    {C::kFolderOperation1, "FolderOperation1", AppToHelper,
     "OrvaneFileManager::FolderOperation1Async", kFolderRequest, kFolderAnswer, kSuccessOrFailure,
     "Whether a folder exists."},
    {C::kFolderOperation2, "FolderOperation2", AppToHelper,
     "OrvaneFileManager::FolderOperation2Async", kFolderRequest, kFolderAnswer, kSuccessOrFailure,
     "Creates a folder."},
    {C::kFolderOperation3, "FolderOperation3", AppToHelper,
     "OrvaneFileManager::FolderOperation3Async", kFolderRequest, kFolderAnswer, kSuccessOrFailure,
     "Deletes a folder."},
    {C::kListFilesFromPath, "ListFilesFromPath", AppToHelper,
     "OrvaneFileManager::ListFilesFromPathAsync", kListFilesRequest, kListFilesAnswer,
     kSuccessOrFailure, "Lists a folder."},
    {C::kPassiveSignIn, "PassiveSignIn", AppToHelper, "OrvaneAuthManager::PassiveSignIn",
     kPassiveSignInRequest, kPassiveSignInAnswer, kSuccessOrFailure,
     "Asks the account service to show its sign-in."},
    {C::kAnalyticsInitializeCache, "AnalyticsInitializeCache", AppToHelper,
     "OrvaneAnalyticsManager::InitializeCacheAsync", kNone, kSessionHandleAnswer, kSuccessOrFailure,
     "Opens the cache session of the analytics store."},
    {C::kAnalyticsInitialize, "AnalyticsInitialize", AppToHelper,
     "OrvaneAnalyticsManager::InitializeAsync", kAnalyticsInitializeRequest, kNone,
     kSuccessOrFailure, "Sets up the analytics store."},
    {C::kAnalyticsStartSession, "AnalyticsStartSession", AppToHelper,
     "OrvaneAnalyticsManager::StartSessionAsync", kStartSessionRequest, kSessionHandleAnswer,
     kSuccessOrFailure, "Starts an analytics session."},
    {C::kAnalyticsSetSerializationState, "AnalyticsSetSerializationState", AppToHelper,
     "OrvaneAnalyticsManager::SetSerializationState", kSerializationStateRequest, kNone,
     kSuccessOrFailure, "Sets the serialization state."},
    {C::kAnalyticsCloseSession, "AnalyticsCloseSession", AppToHelper,
     "OrvaneAnalyticsManager::CloseSession", kSessionHandleRequest, kNone, kSuccessOrFailure,
     "Closes an analytics session."},
    {C::kAnalyticsNewDataGroup, "AnalyticsNewDataGroup", AppToHelper,
     "OrvaneAnalyticsManager::NewDataGroupAsync", kNewDataGroupRequest, kNewDataGroupAnswer,
     kSuccessOrFailure, "Opens a data group in a session."},
    {C::kAnalyticsAddToGroup, "AnalyticsAddToGroup", AppToHelper,
     "OrvaneAnalyticsManager::AddToGroup", kAddToGroupRequest, kNone, kSuccessOrFailure,
     "Adds an entry to a data group."},
    {C::kAnalyticsLogEvent, "AnalyticsLogEvent", AppToHelper, "OrvaneAnalyticsManager::LogEvent",
     kLogEventRequest, kNone, kSuccessOrFailure, "Records an event in a session."},
    {C::kAnalyticsLogIdleTime, "AnalyticsLogIdleTime", AppToHelper,
     "OrvaneAnalyticsManager::LogIdleTime", kSessionHandleRequest, kNone, kSuccessOrFailure,
     "Records idle time in a session."},
    {C::kFetchDefaultUserInfo, "FetchDefaultUserInfo", AppToHelper,
     "OrvaneAuthManager::FetchDefaultUserInfoForClientIdAsync", kClientIdRequest, kUserDataAnswer,
     kSuccessOrFailure, "The signed-in user of a client id."},
    {C::kPassiveSignout, "PassiveSignout", AppToHelper, "OrvaneAuthManager::PassiveSignout",
     kPassiveSignoutRequest, kResultAnswer, kSuccessOrFailure, "Signs a user out."},
    {C::kFetchAccessToken, "FetchAccessToken", AppToHelper,
     "OrvaneAuthManager::FetchAccessTokenAsync", kFetchAccessTokenRequest, kUserDataAnswer,
     kSuccessOrFailure, "An access token for a user and scope."},
    {C::kSocketServerInitialize, "SocketServerInitialize", AppToHelper,
     "OrvaneCASocketServer::Initialize", kNone, kSocketServerInitializeAnswer, kSuccessOrFailure,
     "Opens the loopback socket server."},
    {C::kSocketServerStartListening, "SocketServerStartListening", AppToHelper,
     "OrvaneCASocketServer::StartListening", kNone, kNone, kSuccessOrFailure,
     "Starts accepting socket clients."},
    {C::kSocketServerRequest, "SocketServerRequest", HelperToApp,
     "OrvaneCASocketServer::ProcessRequestCallback", kSocketServerRequestRequest, kNone,
     kSuccessOrFailure, "A line from a socket client."},
    {C::kSocketServerSendResponse, "SocketServerSendResponse", AppToHelper,
     "OrvaneCASocketServer::SendResponse", kSocketServerSendResponseRequest, kNone,
     kSuccessOrFailure, "Answers a socket client."},
    {C::kSocketServerShutdown, "SocketServerShutdown", AppToHelper,
     "OrvaneCASocketServer::Shutdown", kNone, kNone, kSuccessOrFailure,
     "Closes the socket server."},
    {C::kSocketServerLaunchClient, "SocketServerLaunchClient", AppToHelper,
     "OrvaneCASocketServer::LaunchClient", kSocketServerLaunchClientRequest, kNone,
     kSuccessOrFailure, "Starts a socket client program."},
    {C::kMessageRegister, "MessageRegister", AppToHelper, "OrvaneMessageHandler::EnsureRegistered",
     kMessageRegisterRequest, kResultAnswer, kSuccessOrFailure,
     "Registers the application on the message bus."},
    {C::kMessageSend, "MessageSend", AppToHelper, "OrvaneMessageHandler::SendMessage",
     kMessageSendRequest, kMessageSendAnswer, kSuccessOrFailure,
     "Sends a message to the other applications."},
    {C::kMessageReceive, "MessageReceive", HelperToApp, "OrvaneMessageHandler::ReceiveMessage",
     kMessageReceiveRequest, kNone, kSuccessOrFailure, "A message from another application."},
    {C::kTestDelayMessage, "TestDelayMessage", AppToHelper,
     "OrvaneTestManager::TestDelayApi, TestDelayApiExt", kTestDelayRequest, kTestDelayAnswer,
     kSuccessOrFailure, "Answers after a delay."},
    {C::kTestAppExit, "TestAppExit", AppToHelper, "OrvaneTestManager::TestAppExitApi", kNone, kNone,
     kSuccessOrFailure, "Asks the helper to exit."},
    {C::kTestKalder, "TestKalder", AppToHelper, "OrvaneTestManager::TestKalderApi",
     kTestKalderRequest, kNone, kSuccessOrFailure,
     "Asks the helper to send that many messages back."},
    {C::kWin32Reconnected, "Win32Reconnected", HelperToApp, "OrvaneAppHelper (reconnected)", kNone,
     kNone, kSuccessOnly, "The helper has connected again."},
    {C::kWin32Exited, "Win32Exited", HelperToApp,
     "OrvaneTRVKAppServiceTask sends, OrvaneAppHelper handles", kNone, kNone, kSuccessOnly,
     "The helper has exited."},
    {C::kKeyCodeMapping, "KeyCodeMapping", AppToHelper, "OrvaneWin32ApiManager::MapVirtualKeyAsync",
     kKeyCodeMappingRequest, kKeyCodeMappingAnswer, kSuccessOrFailure, "Maps a key code."},
    {C::kGetEnvironmentVariable, "GetEnvironmentVariable", AppToHelper,
     "OrvaneWin32ApiManager::GetEnvironmentVariableAsync", kGetEnvironmentVariableRequest,
     kGetEnvironmentVariableAnswer, kSuccessOrFailure, "Reads an environment variable."},
    {C::kSetEnvironmentVariable, "SetEnvironmentVariable", AppToHelper,
     "OrvaneWin32ApiManager::SetEnvironmentVariableAsync", kSetEnvironmentVariableRequest, kNone,
     kSuccessOrFailure, "Sets an environment variable."},
    {C::kGetKeyboardLayout, "GetKeyboardLayout", AppToHelper,
     "OrvaneWin32ApiManager::GetKeyboardLayoutAsync", kGetKeyboardLayoutRequest,
     kGetKeyboardLayoutAnswer, kSuccessOrFailure, "The keyboard layout of a thread."},
    {C::kIsAppInstalled, "IsAppInstalled", AppToHelper,
     "OrvaneKalderControllerManager::IsAppInstalled", kTargetRequest, kIsAppInstalledAnswer,
     kSuccessOrFailure, "Whether an application is installed."},
    {C::kIsAppAvailable, "IsAppAvailable", AppToHelper,
     "OrvaneKalderControllerManager::IsAppAvailable", kTargetRequest, kIsAppAvailableAnswer,
     kSuccessOrFailure, "Whether an application is running and registered."},
    {C::kLaunchApp, "LaunchApp", AppToHelper, "OrvaneKalderControllerManager::LaunchApp",
     kLaunchAppRequest, kLaunchAppAnswer, kSuccessOrFailure,
     "Starts an application or brings it forward."},
    {C::kGetSpecifiers, "GetSpecifiers", AppToHelper,
     "OrvaneKalderControllerManager::GetSpecifiers", kNone, kGetSpecifiersAnswer, kSuccessOrFailure,
     "The package families of the installed applications."},
    {C::kQueryFolderPermission, "QueryFolderPermission", AppToHelper,
     "OrvaneAppXPermissionManager::FolderHasAppxPermissions", kFolderPermissionRequest,
     kQueryFolderPermissionAnswer, kSuccessOrFailure, "Whether a folder is granted."},
    {C::kSetFolderPermission, "SetFolderPermission", AppToHelper,
     "OrvaneAppXPermissionManager::SetFolderPermissions", kFolderPermissionRequest,
     kSetFolderPermissionAnswer, kSuccessOrFailure, "Grants a folder."},
    {C::kGetProcessList, "GetProcessList", AppToHelper, "OrvaneProcessMonitor::GetProcessList",
     kNone, kGetProcessListAnswer, kSuccessOrFailure, "The running processes."},
    {C::kWatchProcess, "WatchProcess", AppToHelper, "OrvaneProcessMonitor::MonitorProcessExit",
     kProcessIdRequest, kNone, kSuccessOrFailure, "Asks to be told when a process exits."},
    {C::kProcessExited, "ProcessExited", HelperToApp, "OrvaneProcessMonitor::ProcessExitCallback",
     kProcessIdRequest, kNone, kSuccessOrFailure, "A watched process has exited."},
    {C::kCartInvokeClient, "CartInvokeClient", AppToHelper,
     "OrvaneCarvoManager::OrvaneCVInvokeClient", kCartInvokeClientRequest, kCartInvokeClientAnswer,
     kSuccessOrFailure, "Starts the cart client."},
};

constexpr KeySpec kRequestEnvelope[] = {
    {K::kCommand, Int32, kRequired, "command code"},
    {K::kCommandId, UInt64, kRequired, "request id, the same on every resend"},
    {K::kRetry, Boolean, kOptional, "true on every resend of a request"},
    {K::kAckCounts, Int32, kRequired, "number of acknowledgement entries that follow, 0 to 25"},
    {L"Ack1..Ack25", UInt64, kOptional, "ids of requests whose answers the sender has"},
};
constexpr KeySpec kAnswerEnvelope[] = {
    {K::kResponse, Int32, kRequired, "outcome, see the response values"},
    {K::kReason, String, kOptional, "why the helper refused the request; any failed answer"},
};
constexpr ResponseSpec kResponseValues[] = {
    {0, "kResponseSuccess", "success"},
    {1, "kResponseFailure", "failure: the call fails"},
    {2, "kResponseInProgress", "a request with this id is running now: send again"},
    {3, "kConnectionRestablishmentInProgress",
     "the relay is connecting to the helper again: send again"},
};
constexpr int kAckEntries = 25;

bool equalIgnoringCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

constexpr std::string_view kTypeNames[] = {"Int32",  "UInt32",  "Int64",
                                           "UInt64", "Boolean", "String"};

}  // namespace

std::span<const KeySpec> requestEnvelope() noexcept {
    return kRequestEnvelope;
}
std::span<const KeySpec> answerEnvelope() noexcept {
    return kAnswerEnvelope;
}
std::span<const ResponseSpec> responseValues() noexcept {
    return kResponseValues;
}

bool isEnvelopeKey(std::wstring_view key) noexcept {
    for (const wchar_t* name :
         {K::kCommand, K::kCommandId, K::kRetry, K::kAckCounts, K::kResponse, K::kReason})
        if (key == name) return true;
    const std::wstring_view prefix = K::kAckPrefix;
    if (!key.starts_with(prefix)) return false;
    const std::wstring_view digits = key.substr(prefix.size());
    if (digits.empty() || digits.size() > 2 || digits.front() == L'0') return false;
    int n = 0;
    for (const wchar_t c : digits) {
        if (c < L'0' || c > L'9') return false;
        n = n * 10 + (c - L'0');
    }
    return n <= kAckEntries;
}

std::span<const CommandSpec> all() noexcept {
    return kCommands;
}

const CommandSpec* find(int32_t code) noexcept {
    const auto* it = std::lower_bound(std::begin(kCommands), std::end(kCommands), code,
                                      [](const CommandSpec& c, int32_t v) { return c.code < v; });
    return it != std::end(kCommands) && it->code == code ? it : nullptr;
}

const CommandSpec* findByName(std::string_view name) noexcept {
    for (const auto& command : kCommands)
        if (equalIgnoringCase(command.name, name)) return &command;
    return nullptr;
}

std::string_view typeName(ValueType type) noexcept {
    return kTypeNames[static_cast<std::size_t>(type)];
}

std::optional<ValueType> typeFromName(std::string_view name) noexcept {
    for (std::size_t i = 0; i < std::size(kTypeNames); ++i)
        if (equalIgnoringCase(kTypeNames[i], name)) return static_cast<ValueType>(i);
    return std::nullopt;
}

}  // namespace Tarvik::CommandTable
