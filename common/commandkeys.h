#pragma once
/// @file
/// The key names of every command's request and answer. Plain wide arrays: they pass
/// as `const wchar_t*` to the helper's readers and become allocation-free message keys
/// through `Tarvik::keyOf`. The command table (commandtable.cpp) lists which command
/// carries which key with which type.
#include <cstddef>

#include <TarvikFoundation/platform/hstring.h>

namespace Tarvik {

/// A key of CommandKeys as a message key that refers to the literal instead of copying it.
template <std::size_t N>
Platform::hstring keyOf(const wchar_t (&name)[N]) noexcept {
    return Platform::hstring(Platform::hstring::literal, name);
}

}  // namespace Tarvik

namespace Tarvik::CommandKeys {

// Envelope: written and read by the channel for every command.
inline constexpr wchar_t kCommand[] = L"command";
inline constexpr wchar_t kCommandId[] = L"commandId";
inline constexpr wchar_t kRetry[] = L"retry";
inline constexpr wchar_t kAckCounts[] = L"ackCounts";
/// Followed by the decimal 1 to 25.
inline constexpr wchar_t kAckPrefix[] = L"Ack";
inline constexpr wchar_t kResponse[] = L"response";
/// Why the helper refused a request; any failed answer may carry it.
inline constexpr wchar_t kReason[] = L"reason";

// Answer keys that several commands share.
inline constexpr wchar_t kResult[] = L"result";
inline constexpr wchar_t kErrorCode[] = L"errorCode";

// Files.
inline constexpr wchar_t kFilePath[] = L"filePath";
inline constexpr wchar_t kFileMode[] = L"filemode";
inline constexpr wchar_t kFileCreateDirectory[] = L"fileCreateDirectory";
inline constexpr wchar_t kFileToken[] = L"fileToken";
inline constexpr wchar_t kFileError[] = L"fileError";
inline constexpr wchar_t kDoRecursiveListing[] = L"doRecursiveListing";
inline constexpr wchar_t kDirectoryListing[] = L"directoryListing";

// Accounts.
inline constexpr wchar_t kInOutBuffer[] = L"inOutBuffer";
inline constexpr wchar_t kClientId[] = L"clientId";
inline constexpr wchar_t kClientSecret[] = L"clientSecret";
inline constexpr wchar_t kUserAccountGuid[] = L"userAccountGuid";
inline constexpr wchar_t kServiceAccountGuid[] = L"ServiceAccountGuid";
inline constexpr wchar_t kScope[] = L"Scope";
inline constexpr wchar_t kUserData[] = L"userData";

// Analytics.
inline constexpr wchar_t kLogSessionHandle[] = L"logSessionHandle";
inline constexpr wchar_t kPersonGuid[] = L"personGUID";
inline constexpr wchar_t kEnableCrashDetection[] = L"enableCrashDetection";
inline constexpr wchar_t kProxyUsername[] = L"ProxyUsername";
inline constexpr wchar_t kProxyPassword[] = L"ProxyPassword";
inline constexpr wchar_t kAppFamily[] = L"appFamily";
inline constexpr wchar_t kAppName[] = L"appName";
/// Also the version that registers an application on the message bus.
inline constexpr wchar_t kAppVersion[] = L"appVersion";
inline constexpr wchar_t kAppLanguage[] = L"appLanguage";
inline constexpr wchar_t kAppBuild[] = L"appBuild";
inline constexpr wchar_t kState[] = L"state";
inline constexpr wchar_t kCategory[] = L"category";
inline constexpr wchar_t kSubCategory[] = L"subCategory";
inline constexpr wchar_t kGroupName[] = L"groupName";
inline constexpr wchar_t kDocIdBuffer[] = L"docIdBuffer";
inline constexpr wchar_t kGroupId[] = L"groupId";
inline constexpr wchar_t kKey[] = L"key";
/// A data group's value, and the extra number of a delayed test request.
inline constexpr wchar_t kValue[] = L"value";
inline constexpr wchar_t kEventName[] = L"eventName";

// Socket server.
inline constexpr wchar_t kSocketServerPort[] = L"SocketServerPort";
inline constexpr wchar_t kRequestString[] = L"RequestString";
inline constexpr wchar_t kSocketNumber[] = L"SocketNumber";
inline constexpr wchar_t kResponseString[] = L"ResponseString";
inline constexpr wchar_t kFilePathString[] = L"FilePathString";
inline constexpr wchar_t kParametersString[] = L"ParametersString";

// Messages between applications.
inline constexpr wchar_t kMessage[] = L"message";
inline constexpr wchar_t kMessageType[] = L"messageType";
inline constexpr wchar_t kPayload[] = L"payload";

// Test commands. "TestReponse" is spelt as the wire has it.
inline constexpr wchar_t kTestDelay[] = L"TestDelay";
inline constexpr wchar_t kTestResponse[] = L"TestReponse";
inline constexpr wchar_t kTestIterations[] = L"TestIterations";

// System calls.
inline constexpr wchar_t kKeyCode[] = L"KeyCode";
inline constexpr wchar_t kKeyMapType[] = L"KeyMapType";
inline constexpr wchar_t kKeyReturnCode[] = L"KeyReturnCode";
inline constexpr wchar_t kEnvVariableName[] = L"EnvVariableName";
inline constexpr wchar_t kEnvVariableValue[] = L"EnvVariableValue";
inline constexpr wchar_t kEnvTableEntry[] = L"EnvTableEntry";
inline constexpr wchar_t kThreadId[] = L"ThreadId";
inline constexpr wchar_t kKeyBoardLayout[] = L"KeyBoardLayout";

// Installed applications.
inline constexpr wchar_t kTargetSpecifier[] = L"TargetSpecifier";
inline constexpr wchar_t kIsAppInstalled[] = L"IsAppInstalled";
inline constexpr wchar_t kIsAppAvailable[] = L"IsAppAvailable";
inline constexpr wchar_t kFocus[] = L"Focus";
inline constexpr wchar_t kCommandLineArguments[] = L"CommandLineArguments";
inline constexpr wchar_t kSuccessfullyLaunched[] = L"SuccessfullyLaunched";
inline constexpr wchar_t kKalderSpecifiers[] = L"KalderSpecifiers";

// Folder permissions.
inline constexpr wchar_t kAppXFolderName[] = L"AppXFolderName";
inline constexpr wchar_t kFolderHasAppxPermissions[] = L"FolderHasAppxPermissions";
inline constexpr wchar_t kSetFolderPermissions[] = L"SetFolderPermissions";

// Processes.
inline constexpr wchar_t kProcessList[] = L"ProcessList";
inline constexpr wchar_t kProcessId[] = L"ProcessID";

// Cart client.
inline constexpr wchar_t kCartAppId[] = L"kAppId";
inline constexpr wchar_t kCartAppVersion[] = L"kAppVersion";
inline constexpr wchar_t kCartAppProfileScope[] = L"kAppProfileScope";
inline constexpr wchar_t kCartAppPath[] = L"kAppPath";
inline constexpr wchar_t kCartErrorCode[] = L"kCVErrCode";

}  // namespace Tarvik::CommandKeys
