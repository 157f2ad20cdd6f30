#pragma once
/// @file
/// Command codes carried under "command". Codes 5-7, 9-16 and 57-68 are reserved.
#include <cstdint>

namespace Tarvik::Commands {

inline constexpr int32_t kGetFileToken = 0;
inline constexpr int32_t kFolderOperation1 = 1;
inline constexpr int32_t kFolderOperation2 = 2;
inline constexpr int32_t kFolderOperation3 = 3;
inline constexpr int32_t kListFilesFromPath = 4;
inline constexpr int32_t kPassiveSignIn = 8;
inline constexpr int32_t kAnalyticsInitializeCache = 17;
inline constexpr int32_t kAnalyticsInitialize = 18;
inline constexpr int32_t kAnalyticsStartSession = 19;
inline constexpr int32_t kAnalyticsSetSerializationState = 20;
inline constexpr int32_t kAnalyticsCloseSession = 21;
inline constexpr int32_t kAnalyticsNewDataGroup = 22;
inline constexpr int32_t kAnalyticsAddToGroup = 23;
inline constexpr int32_t kAnalyticsLogEvent = 24;
inline constexpr int32_t kAnalyticsLogIdleTime = 25;
inline constexpr int32_t kFetchDefaultUserInfo = 26;
inline constexpr int32_t kPassiveSignout = 27;
inline constexpr int32_t kFetchAccessToken = 28;
inline constexpr int32_t kSocketServerInitialize = 29;
inline constexpr int32_t kSocketServerStartListening = 30;
inline constexpr int32_t kSocketServerRequest = 31;
inline constexpr int32_t kSocketServerSendResponse = 32;
inline constexpr int32_t kSocketServerShutdown = 33;
inline constexpr int32_t kSocketServerLaunchClient = 34;
inline constexpr int32_t kMessageRegister = 35;
inline constexpr int32_t kMessageSend = 36;
inline constexpr int32_t kMessageReceive = 37;
inline constexpr int32_t kTestDelayMessage = 38;
inline constexpr int32_t kTestAppExit = 39;
inline constexpr int32_t kTestKalder = 40;
inline constexpr int32_t kWin32Reconnected = 41;
inline constexpr int32_t kWin32Exited = 42;
inline constexpr int32_t kKeyCodeMapping = 43;
inline constexpr int32_t kGetEnvironmentVariable = 44;
inline constexpr int32_t kSetEnvironmentVariable = 45;
inline constexpr int32_t kGetKeyboardLayout = 46;
inline constexpr int32_t kIsAppInstalled = 47;
inline constexpr int32_t kIsAppAvailable = 48;
inline constexpr int32_t kLaunchApp = 49;
inline constexpr int32_t kGetSpecifiers = 50;
inline constexpr int32_t kQueryFolderPermission = 51;
inline constexpr int32_t kSetFolderPermission = 52;
inline constexpr int32_t kGetProcessList = 53;
inline constexpr int32_t kWatchProcess = 54;
inline constexpr int32_t kProcessExited = 55;
inline constexpr int32_t kCartInvokeClient = 56;

/// True for the numbers that the schema leaves unassigned.
constexpr bool isReserved(int32_t code) {
    return (code >= 5 && code <= 7) || (code >= 9 && code <= 16) || (code >= 57 && code <= 68);
}

}  // namespace Tarvik::Commands
