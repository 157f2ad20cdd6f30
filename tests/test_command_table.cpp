// The command table: its own consistency, and that the library's managers send and the
// helper answers exactly the keys and types it lists.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/commandtable.h"

namespace Table = Tarvik::CommandTable;
using Table::CommandSpec;
using Table::KeySpec;
using Table::ValueType;

namespace {

struct NamedCode {
    int32_t code;
    const char* name;
};
#define TARVIK_CODE(n)             \
    NamedCode {                    \
        Tarvik::Commands::k##n, #n \
    }
// Every constant of commandcodes.h with its name.
constexpr NamedCode kAllCodes[] = {
    TARVIK_CODE(GetFileToken),
    TARVIK_CODE(FolderOperation1),
    TARVIK_CODE(FolderOperation2),
    TARVIK_CODE(FolderOperation3),
    TARVIK_CODE(ListFilesFromPath),
    TARVIK_CODE(PassiveSignIn),
    TARVIK_CODE(AnalyticsInitializeCache),
    TARVIK_CODE(AnalyticsInitialize),
    TARVIK_CODE(AnalyticsStartSession),
    TARVIK_CODE(AnalyticsSetSerializationState),
    TARVIK_CODE(AnalyticsCloseSession),
    TARVIK_CODE(AnalyticsNewDataGroup),
    TARVIK_CODE(AnalyticsAddToGroup),
    TARVIK_CODE(AnalyticsLogEvent),
    TARVIK_CODE(AnalyticsLogIdleTime),
    TARVIK_CODE(FetchDefaultUserInfo),
    TARVIK_CODE(PassiveSignout),
    TARVIK_CODE(FetchAccessToken),
    TARVIK_CODE(SocketServerInitialize),
    TARVIK_CODE(SocketServerStartListening),
    TARVIK_CODE(SocketServerRequest),
    TARVIK_CODE(SocketServerSendResponse),
    TARVIK_CODE(SocketServerShutdown),
    TARVIK_CODE(SocketServerLaunchClient),
    TARVIK_CODE(MessageRegister),
    TARVIK_CODE(MessageSend),
    TARVIK_CODE(MessageReceive),
    TARVIK_CODE(TestDelayMessage),
    TARVIK_CODE(TestAppExit),
    TARVIK_CODE(TestKalder),
    TARVIK_CODE(Win32Reconnected),
    TARVIK_CODE(Win32Exited),
    TARVIK_CODE(KeyCodeMapping),
    TARVIK_CODE(GetEnvironmentVariable),
    TARVIK_CODE(SetEnvironmentVariable),
    TARVIK_CODE(GetKeyboardLayout),
    TARVIK_CODE(IsAppInstalled),
    TARVIK_CODE(IsAppAvailable),
    TARVIK_CODE(LaunchApp),
    TARVIK_CODE(GetSpecifiers),
    TARVIK_CODE(QueryFolderPermission),
    TARVIK_CODE(SetFolderPermission),
    TARVIK_CODE(GetProcessList),
    TARVIK_CODE(WatchProcess),
    TARVIK_CODE(ProcessExited),
    TARVIK_CODE(CartInvokeClient),
};
#undef TARVIK_CODE

}  // namespace

TEST(CommandTable, HoldsEveryCodeOnceInOrderUnderItsConstantsName) {
    const auto all = Table::all();
    ASSERT_EQ(all.size(), std::size(kAllCodes));
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1].code, all[i].code);
    for (const auto& [code, name] : kAllCodes) {
        const CommandSpec* byCode = Table::find(code);
        ASSERT_NE(byCode, nullptr) << name;
        EXPECT_STREQ(byCode->name, name);
        EXPECT_EQ(Table::findByName(name), byCode);
    }
    for (int32_t code = -1; code <= 70; ++code) {
        const bool assigned = code >= 0 && code <= 56 && !Tarvik::Commands::isReserved(code);
        EXPECT_EQ(Table::find(code) != nullptr, assigned) << code;
    }
}

TEST(CommandTable, NamesAndTypesAreFoundWithoutRegardToCase) {
    EXPECT_EQ(Table::findByName("testdelaymessage"), Table::find(38));
    EXPECT_EQ(Table::findByName("WIN32RECONNECTED"), Table::find(41));
    EXPECT_EQ(Table::findByName("TestDelay"), nullptr);
    EXPECT_EQ(Table::findByName(""), nullptr);
    for (const auto type : {ValueType::Int32, ValueType::UInt32, ValueType::Int64,
                            ValueType::UInt64, ValueType::Boolean, ValueType::String}) {
        std::string name(Table::typeName(type));
        EXPECT_EQ(Table::typeFromName(name), type);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(Table::typeFromName(name), type);
    }
    EXPECT_EQ(Table::typeFromName("Double"), std::nullopt);
}

TEST(CommandTable, EachCommandsKeysAreItsOwnAndDescribed) {
    for (const auto& command : Table::all()) {
        SCOPED_TRACE(command.name);
        EXPECT_TRUE(*command.issuer && *command.summary);
        ASSERT_FALSE(command.outcomes.empty());
        for (const int32_t outcome : command.outcomes) {
            EXPECT_TRUE(outcome == 0 || outcome == 1);  // 2 and 3 belong to the channel
        }
        for (const auto keys : {command.request, command.answer}) {
            std::set<std::wstring> seen;
            for (const KeySpec& key : keys) {
                EXPECT_TRUE(seen.insert(key.name).second) << "repeated key";
                EXPECT_FALSE(Table::isEnvelopeKey(key.name)) << "an envelope key";
                EXPECT_TRUE(*key.meaning);
            }
        }
    }
}

TEST(CommandTable, EnvelopeKeysAreTheChannelsOnly) {
    for (const wchar_t* key : {L"command", L"commandId", L"retry", L"ackCounts", L"Ack1", L"Ack9",
                               L"Ack25", L"response", L"reason"})
        EXPECT_TRUE(Table::isEnvelopeKey(key)) << Tarvik::CommandKeys::kAckPrefix << key;
    for (const wchar_t* key :
         {L"Ack", L"Ack0", L"Ack26", L"Ack01", L"Ack1x", L"result", L"errorCode", L"Command", L""})
        EXPECT_FALSE(Table::isEnvelopeKey(key));
}
