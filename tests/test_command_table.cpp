// The command table: its own consistency, and that the library's managers send and the
// helper answers exactly the keys and types it lists.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem.hpp>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <TarvikFoundation/orvaneanalyticsmanager.h>
#include <TarvikFoundation/orvaneappxpermissionmanager.h>
#include <TarvikFoundation/orvaneauthmanager.h>
#include <TarvikFoundation/orvanecarvomanager.h>
#include <TarvikFoundation/orvanecasocketserver.h>
#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/orvanekaldercontrollermanager.h>
#include <TarvikFoundation/orvanemessagehandler.h>
#include <TarvikFoundation/orvaneprocessmonitor.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/orvanewin32apimanager.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "asyncwait.h"
#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/commandtable.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "common/tetherbox.h"
#include "fakehelper.h"
#include "helper/helpercommands.h"
#include "helper/servicecommands.h"
#include "scriptedpeer.h"
#include "testsupport.h"

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
    // The channel's own constants name the same keys.
    using View = std::wstring_view;
    EXPECT_EQ(View(Tarvik::Keys::kCommand), View(Tarvik::CommandKeys::kCommand));
    EXPECT_EQ(View(Tarvik::Keys::kCommandId), View(Tarvik::CommandKeys::kCommandId));
    EXPECT_EQ(View(Tarvik::Keys::kRetry), View(Tarvik::CommandKeys::kRetry));
    EXPECT_EQ(View(Tarvik::Keys::kAckCounts), View(Tarvik::CommandKeys::kAckCounts));
    EXPECT_EQ(View(Tarvik::Keys::kResponse), View(Tarvik::CommandKeys::kResponse));
    EXPECT_EQ(View(Tarvik::Keys::kResult), View(Tarvik::CommandKeys::kResult));
    EXPECT_EQ(View(Tarvik::Keys::kErrorCode), View(Tarvik::CommandKeys::kErrorCode));
}

namespace {

using Platform::hstring;
using Platform::PropertyType;
using Platform::PropertyValue;
using Platform::ValueSet;
namespace Codes = Tarvik::Commands;
namespace Keys = Tarvik::CommandKeys;

PropertyType wireType(ValueType type) {
    switch (type) {
        case ValueType::Int32:
            return PropertyType::Int32;
        case ValueType::UInt32:
            return PropertyType::UInt32;
        case ValueType::Int64:
            return PropertyType::Int64;
        case ValueType::UInt64:
            return PropertyType::UInt64;
        case ValueType::Boolean:
            return PropertyType::Boolean;
        case ValueType::String:
            return PropertyType::String;
    }
    return PropertyType::Empty;
}

std::string_view typeText(PropertyType type) {
    for (const auto each : {ValueType::Int32, ValueType::UInt32, ValueType::Int64,
                            ValueType::UInt64, ValueType::Boolean, ValueType::String})
        if (wireType(each) == type) return Table::typeName(each);
    return "Empty";
}

std::string narrow(std::wstring_view key) {
    std::string out;
    for (const wchar_t c : key) out += static_cast<char>(c);
    return out;
}

// Every listed key that `required` demands is there, every key there is listed (or
// belongs to the envelope), and each holds the listed type.
void expectKeysAsListed(const ValueSet& message, std::span<const KeySpec> keys, bool required) {
    for (const KeySpec& key : keys) {
        if (key.required && required) {
            EXPECT_TRUE(message.HasKey(key.name)) << "missing " << narrow(key.name);
        }
    }
    message.ForEach([&](const hstring& name, const PropertyValue& value) {
        if (Table::isEnvelopeKey(name.wstr())) return;
        const auto listed = std::find_if(
            keys.begin(), keys.end(), [&](const KeySpec& key) { return name.wstr() == key.name; });
        if (listed == keys.end()) {
            ADD_FAILURE() << "key not in the table: " << name.to_utf8();
            return;
        }
        EXPECT_EQ(value.Type(), wireType(listed->type))
            << name.to_utf8() << " should be " << Table::typeName(listed->type) << ", is "
            << typeText(value.Type());
    });
}

void expectRequestAsListed(const ValueSet& request) {
    const auto code = TestSupport::commandOf(request);
    ASSERT_TRUE(code);
    const CommandSpec* entry = Table::find(*code);
    ASSERT_NE(entry, nullptr) << *code;
    SCOPED_TRACE(entry->name);
    expectKeysAsListed(request, entry->request, true);
}

void expectAnswerAsListed(int32_t code, const ValueSet& answer) {
    const CommandSpec* entry = Table::find(code);
    ASSERT_NE(entry, nullptr) << code;
    SCOPED_TRACE(entry->name);
    ASSERT_TRUE(answer);
    const auto response = answer.TryLookupAs<int32_t>(Keys::kResponse);
    ASSERT_TRUE(response);
    EXPECT_TRUE(std::ranges::find(entry->outcomes, *response) != entry->outcomes.end())
        << "response " << *response;
    expectKeysAsListed(answer, entry->answer, *response == Tarvik::kResponseSuccess);
}

constexpr const wchar_t* kUserXml =
    L"<UserData><UserID>U-7</UserID><Email>ann@example.org</Email>"
    L"<ACSProfile>{\"userId\":\"U-7\",\"email\":\"ann@example.org\"}</ACSProfile></UserData>";
constexpr const wchar_t* kSignInEnvelope =
    L"<TetherboxEnvelope><response><WSKLibResponse>3</WSKLibResponse></response>"
    L"</TetherboxEnvelope>";

// A value of the listed type that the reading manager can use.
PropertyValue sampleOf(const KeySpec& key) {
    const std::wstring_view name = key.name;
    switch (key.type) {
        case ValueType::Int32:
            return int32_t{0};
        case ValueType::UInt32:
            return uint32_t{7};
        case ValueType::Int64:
            return int64_t{7};
        case ValueType::UInt64:
            return uint64_t{7};
        case ValueType::Boolean:
            return true;
        case ValueType::String:
            break;
    }
    if (name == Keys::kUserData) return hstring(kUserXml);
    if (name == Keys::kInOutBuffer) return hstring(kSignInEnvelope);
    if (name == Keys::kDirectoryListing || name == Keys::kKalderSpecifiers ||
        name == Keys::kProcessList)
        return hstring(L"[]");
    return hstring(L"text");
}

// A request or answer holding every key the table lists, each of its type.
ValueSet fullAnswer(const ValueSet& request) {
    ValueSet answer = Tarvik::createResponse(true);
    const auto code = TestSupport::commandOf(request);
    if (const CommandSpec* entry = code ? Table::find(*code) : nullptr)
        for (const KeySpec& key : entry->answer) answer.Insert(hstring(key.name), sampleOf(key));
    return answer;
}

template <class Op>
void finish(const Op& op) {
    ASSERT_TRUE(TestSupport::endsWithin(op));
    EXPECT_NO_THROW(op.get());
}

}  // namespace

using namespace TarvikFoundation;

namespace {

// Every manager connected to one scripted helper that answers each command with all
// the keys the table lists.
class ManagersAgainstTheTable : public ::testing::Test {
  protected:
    void SetUp() override {
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("test.log")));
        for (const auto& channel : channels()) channel->setAppServiceConnection(app(), false);
        messages->setAppServiceConnection(app(), false);
    }
    void TearDown() override {
        for (const auto& channel : channels()) channel->setAppServiceConnection(nullptr, false);
        messages->setAppServiceConnection(nullptr, false);
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("after.log")));
        Tarvik::CloseLogFile();
    }
    const Platform::AppServiceConnection& app() { return helper.peer.appSide(); }
    std::vector<std::shared_ptr<Tarvik::TarvikAppServiceConnection>> channels() {
        return {files->connection(),   auth->connection(),  analytics->connection(),
                sockets->connection(), tests->connection(), win32->connection(),
                kalder->connection(),  appx->connection(),  processes->connection(),
                carvo->connection()};
    }

    TestSupport::TempDir dir;
    TestSupport::FakeHelper helper{fullAnswer};
    std::shared_ptr<OrvaneFileManager> files = OrvaneFileManager::GetInstance();
    std::shared_ptr<OrvaneAuthManager> auth = OrvaneAuthManager::GetInstance();
    std::shared_ptr<OrvaneAnalyticsManager> analytics = OrvaneAnalyticsManager::GetInstance();
    std::shared_ptr<OrvaneCASocketServer> sockets = OrvaneCASocketServer::GetInstance();
    std::shared_ptr<OrvaneInternal::OrvaneMessageHandler> messages =
        OrvaneInternal::OrvaneMessageHandler::GetInstance();
    std::shared_ptr<OrvaneInternal::OrvaneTestManager> tests =
        OrvaneInternal::OrvaneTestManager::GetInstance();
    std::shared_ptr<OrvaneWin32ApiManager> win32 = OrvaneWin32ApiManager::GetInstance();
    std::shared_ptr<OrvaneKalderControllerManager> kalder =
        OrvaneKalderControllerManager::GetInstance();
    std::shared_ptr<OrvaneAppXPermissionManager> appx = OrvaneAppXPermissionManager::GetInstance();
    std::shared_ptr<OrvaneProcessMonitor> processes = OrvaneProcessMonitor::GetInstance();
    std::shared_ptr<OrvaneCarvoManager> carvo = OrvaneCarvoManager::GetInstance();
};

}  // namespace

TEST_F(ManagersAgainstTheTable, EveryRequestCarriesTheListedKeysAndReadsTheListedAnswer) {
    auth->SetClientData(L"client-1");
    auth->Initialize(L"secret-1", L"openid", false);
    const std::vector<std::pair<int32_t, std::function<void()>>> calls = {
        {Codes::kGetFileToken, [&] { finish(files->GetFileTokenAsync(L"/d/a.txt", 1, true)); }},
        {Codes::kFolderOperation1, [&] { finish(files->FolderOperation1Async(L"/d")); }},
        {Codes::kFolderOperation2, [&] { finish(files->FolderOperation2Async(L"/d")); }},
        {Codes::kFolderOperation3, [&] { finish(files->FolderOperation3Async(L"/d")); }},
        {Codes::kListFilesFromPath, [&] { finish(files->ListFilesFromPathAsync(L"/d", true)); }},
        {Codes::kPassiveSignIn,
         [&] {
             // Nobody signed in yet: the sign-in envelope goes out.
             helper.on(Codes::kFetchDefaultUserInfo, [](const ValueSet&) {
                 ValueSet answer = Tarvik::createResponse(true);
                 answer.Insert(L"result", int32_t{73});
                 return answer;
             });
             EXPECT_TRUE(auth->SignIn());
             helper.on(Codes::kFetchDefaultUserInfo, fullAnswer);
         }},
        {Codes::kAnalyticsInitializeCache, [&] { finish(analytics->InitializeCacheAsync()); }},
        {Codes::kAnalyticsInitialize,
         [&] { finish(analytics->InitializeAsync(true, L"user", L"password", L"person")); }},
        {Codes::kAnalyticsStartSession,
         [&] { finish(analytics->StartSessionAsync(L"family", L"app", L"build", L"1.2")); }},
        {Codes::kAnalyticsSetSerializationState,
         [&] { finish(analytics->SetSerializationState(1)); }},
        {Codes::kAnalyticsCloseSession, [&] { finish(analytics->CloseSession(7)); }},
        {Codes::kAnalyticsNewDataGroup,
         [&] {
             finish(analytics->NewDataGroupAsync(7, L"c", L"s", L"g", L"doc"));
             finish(analytics->NewDataGroupAsync(7, L"c", L"s", L"g"));
         }},
        {Codes::kAnalyticsAddToGroup, [&] { finish(analytics->AddToGroup(7, 1, L"k", L"v")); }},
        {Codes::kAnalyticsLogEvent,
         [&] {
             finish(analytics->LogEvent(7, L"c", L"s", L"e", 0, L"doc"));
             finish(analytics->LogEvent(7, L"c", L"s", L"e"));
         }},
        {Codes::kAnalyticsLogIdleTime, [&] { finish(analytics->LogIdleTime(7)); }},
        {Codes::kFetchDefaultUserInfo,
         [&] { finish(auth->FetchDefaultUserInfoForClientIdAsync(L"client-1")); }},
        {Codes::kPassiveSignout, [&] { EXPECT_TRUE(auth->SignOut()); }},
        {Codes::kFetchAccessToken,
         [&] { finish(auth->FetchAccessTokenAsync(L"c", L"s", L"u", L"sa", L"scope")); }},
        {Codes::kSocketServerInitialize, [&] { finish(sockets->Initialize()); }},
        {Codes::kSocketServerStartListening, [&] { sockets->StartListening(); }},
        {Codes::kSocketServerSendResponse, [&] { finish(sockets->SendResponse(3, L"line")); }},
        {Codes::kSocketServerShutdown, [&] { finish(sockets->Shutdown()); }},
        {Codes::kSocketServerLaunchClient,
         [&] { finish(sockets->LaunchClient(L"client", L"--a")); }},
        {Codes::kMessageRegister, [&] { EXPECT_TRUE(messages->EnsureRegistered()); }},
        {Codes::kMessageSend,
         [&] {
             finish(messages->SendMessage(
                 std::make_shared<OrvaneInternal::KalderMessage>(L"type", L"payload")));
         }},
        {Codes::kTestDelayMessage,
         [&] {
             finish(tests->TestDelayApi(0));
             finish(tests->TestDelayApiExt(0, 9));
         }},
        {Codes::kTestAppExit, [&] { tests->TestAppExitApi(); }},
        {Codes::kTestKalder, [&] { tests->TestKalderApi(2); }},
        {Codes::kKeyCodeMapping, [&] { finish(win32->MapVirtualKeyAsync(65, 0)); }},
        {Codes::kGetEnvironmentVariable,
         [&] { finish(win32->GetEnvironmentVariableAsync(L"NAME")); }},
        {Codes::kSetEnvironmentVariable,
         [&] { finish(win32->SetEnvironmentVariableAsync(L"NAME", L"value")); }},
        {Codes::kGetKeyboardLayout, [&] { finish(win32->GetKeyboardLayoutAsync(1)); }},
        {Codes::kIsAppInstalled, [&] { finish(kalder->IsAppInstalled(L"Other.App_1")); }},
        {Codes::kIsAppAvailable, [&] { finish(kalder->IsAppAvailable(L"Other.App_1")); }},
        {Codes::kLaunchApp, [&] { finish(kalder->LaunchApp(L"Other.App_1", true, L"--x")); }},
        {Codes::kGetSpecifiers, [&] { finish(kalder->GetSpecifiers()); }},
        {Codes::kQueryFolderPermission, [&] { finish(appx->FolderHasAppxPermissions(L"/d")); }},
        {Codes::kSetFolderPermission, [&] { finish(appx->SetFolderPermissions(L"/d")); }},
        {Codes::kGetProcessList, [&] { finish(processes->GetProcessList()); }},
        {Codes::kWatchProcess, [&] { processes->MonitorProcessExit(4321, [](uint32_t) {}); }},
        {Codes::kCartInvokeClient,
         [&] { finish(carvo->OrvaneCVInvokeClient(L"id", L"1.0", L"scope", L"/opt/client")); }},
    };

    std::set<int32_t> covered;
    for (const auto& [code, call] : calls) {
        SCOPED_TRACE(Table::find(code)->name);
        call();
        EXPECT_TRUE(TestSupport::eventually([&] { return !helper.sent(code).empty(); }));
        covered.insert(code);
    }
    // What every manager sent on the way, side requests included.
    for (std::size_t i = 0; i < helper.peer.count(); ++i)
        expectRequestAsListed(helper.peer.request(i));

    std::set<int32_t> toHelper;
    for (const auto& command : Table::all())
        if (command.direction == Table::Direction::AppToHelper) toHelper.insert(command.code);
    EXPECT_EQ(covered, toHelper);
}

TEST_F(ManagersAgainstTheTable, HandlersTakeTheListedRequestAndRefuseItWithoutARequiredKey) {
    for (const auto code :
         {Codes::kSocketServerRequest, Codes::kMessageReceive, Codes::kProcessExited}) {
        const CommandSpec* entry = Table::find(code);
        SCOPED_TRACE(entry->name);
        ValueSet request = Tarvik::createRequest(code);
        for (const KeySpec& key : entry->request) request.Insert(hstring(key.name), sampleOf(key));
        expectAnswerAsListed(code, helper.fromHelper(request));
        EXPECT_EQ(helper.fromHelper(request).LookupAs<int32_t>(Keys::kResponse), 0);
        for (const KeySpec& key : entry->request) {
            if (!key.required) continue;
            const ValueSet without = request.Clone();
            without.Remove(key.name);
            EXPECT_EQ(helper.fromHelper(without).LookupOr<int32_t>(Keys::kResponse, -1), 1)
                << "without " << narrow(key.name);
        }
    }
}

namespace {

// The reference helper's command handlers in-process, on one end of an in-memory
// connection whose other end plays the application.
class HelperAgainstTheTable : public ::testing::Test {
  protected:
    HelperAgainstTheTable() {
        for (const char* name : {"home", "config", "data", "run"})
            boost::filesystem::create_directories(dir.file(name));
        ::setenv("HOME", dir.file("home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("test.log")));
        services = std::make_unique<TarvikHelper::HelperServices>("Test.Table_1");
    }
    void SetUp() override {
        commands.registerAll();
        using namespace TarvikHelper;
        for (auto* add :
             {registerMessageCommands, registerAccountCommands, registerAnalyticsCommands,
              registerFileCommands, registerSystemCommands, registerProcessCommands,
              registerPermissionCommands, registerSocketCommands, registerCartCommands})
            add(commands, *services);
        channel->setAppServiceConnection(application.appSide(), false);
    }
    void TearDown() override {
        channel->setAppServiceConnection(nullptr, false);
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("after.log")));
        Tarvik::CloseLogFile();
    }

    // Sends one request with these entries and checks the answer against the table.
    ValueSet ask(int32_t code,
                 std::initializer_list<std::pair<const wchar_t*, PropertyValue>> entries = {}) {
        ValueSet request = Tarvik::createRequest(code);
        request.Insert(Tarvik::Keys::kCommandId, Tarvik::nextRequestId());
        for (const auto& [key, value] : entries) request.Insert(hstring(key), value);
        expectRequestAsListed(request);
        auto op = application.peerSide().SendMessageAsync(request);
        if (!TestSupport::endsWithin(op)) {
            ADD_FAILURE() << "no answer to " << code;
            return TestSupport::responseWith(-1);
        }
        const ValueSet answer = op.get().Message();
        expectAnswerAsListed(code, answer);
        answered.insert(code);
        return answer;
    }

    // The first request of this command that the helper sent the application.
    std::optional<ValueSet> sentToApplication(int32_t code) {
        for (std::size_t i = 0; i < application.count(); ++i)
            if (TestSupport::commandOf(application.request(i)) == code)
                return application.request(i);
        return std::nullopt;
    }

    TestSupport::TempDir dir;
    // Answers what the helper sends the application.
    TestSupport::ScriptedPeer application{[](const ValueSet&, int) -> std::optional<ValueSet> {
        return Tarvik::createResponse(true);
    }};
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> channel =
        Tarvik::TarvikAppServiceConnection::create("Helper");
    TarvikHelper::HelperCommands commands{channel};
    std::unique_ptr<TarvikHelper::HelperServices> services;
    std::set<int32_t> answered;
};

int32_t responseOf(const ValueSet& answer) {
    return answer.LookupOr<int32_t>(Keys::kResponse, -1);
}

}  // namespace

TEST_F(HelperAgainstTheTable, EveryAnswerCarriesTheListedKeys) {
    const std::string home = dir.file("home");
    boost::filesystem::create_directories(home + "/docs/inner");
    const auto path = [&](const char* rest) {
        return PropertyValue(hstring::from_utf8(home + rest));
    };

    EXPECT_EQ(
        responseOf(ask(Codes::kGetFileToken, {{Keys::kFilePath, path("/docs/a.txt")},
                                              {Keys::kFileMode, hstring(L"write")},
                                              {Keys::kFileCreateDirectory, hstring(L"true")}})),
        0);
    EXPECT_EQ(responseOf(ask(Codes::kFolderOperation1, {{Keys::kFilePath, path("/docs")}})), 0);
    EXPECT_EQ(responseOf(ask(Codes::kFolderOperation2, {{Keys::kFilePath, path("/made")}})), 0);
    EXPECT_EQ(responseOf(ask(Codes::kFolderOperation3, {{Keys::kFilePath, path("/made")}})), 0);
    EXPECT_EQ(
        responseOf(ask(Codes::kListFilesFromPath, {{Keys::kFilePath, path("/docs")},
                                                   {Keys::kDoRecursiveListing, hstring(L"true")}})),
        0);
    // A refusal carries the file error's keys, as listed.
    EXPECT_EQ(responseOf(ask(Codes::kFolderOperation1, {{Keys::kFilePath, hstring(L"/etc")}})), 1);

    EXPECT_EQ(responseOf(ask(
                  Codes::kPassiveSignIn,
                  {{Keys::kInOutBuffer, hstring::from_utf8(Tarvik::Tetherbox::signInRequest())}})),
              0);
    const hstring client = L"client-1", secret = L"secret-1", user = L"U-1";
    EXPECT_EQ(responseOf(ask(Codes::kFetchDefaultUserInfo, {{Keys::kClientId, client}})), 0);
    EXPECT_EQ(responseOf(ask(Codes::kPassiveSignout, {{Keys::kUserAccountGuid, user},
                                                      {Keys::kClientId, client},
                                                      {Keys::kClientSecret, secret}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kFetchAccessToken, {{Keys::kClientId, client},
                                                        {Keys::kClientSecret, secret},
                                                        {Keys::kUserAccountGuid, user},
                                                        {Keys::kServiceAccountGuid, user},
                                                        {Keys::kScope, hstring(L"openid")}})),
              0);

    EXPECT_EQ(responseOf(ask(Codes::kAnalyticsInitializeCache)), 0);
    EXPECT_EQ(responseOf(ask(Codes::kAnalyticsInitialize, {{Keys::kPersonGuid, hstring(L"person")},
                                                           {Keys::kEnableCrashDetection, true},
                                                           {Keys::kProxyUsername, hstring()},
                                                           {Keys::kProxyPassword, hstring()}})),
              0);
    const ValueSet session =
        ask(Codes::kAnalyticsStartSession, {{Keys::kAppFamily, hstring(L"family")},
                                            {Keys::kAppName, hstring(L"app")},
                                            {Keys::kAppVersion, hstring(L"1.2")},
                                            {Keys::kAppLanguage, hstring(L"en-US")},
                                            {Keys::kAppBuild, hstring(L"7")}});
    ASSERT_EQ(responseOf(session), 0);
    const auto handle = session.LookupAs<uint64_t>(Keys::kLogSessionHandle);
    EXPECT_EQ(responseOf(ask(Codes::kAnalyticsSetSerializationState, {{Keys::kState, int32_t{1}}})),
              0);
    const ValueSet group =
        ask(Codes::kAnalyticsNewDataGroup, {{Keys::kLogSessionHandle, handle},
                                            {Keys::kCategory, hstring(L"c")},
                                            {Keys::kSubCategory, hstring(L"s")},
                                            {Keys::kGroupName, hstring(L"g")},
                                            {Keys::kDocIdBuffer, hstring(L"doc")}});
    ASSERT_EQ(responseOf(group), 0);
    EXPECT_EQ(responseOf(ask(Codes::kAnalyticsAddToGroup,
                             {{Keys::kLogSessionHandle, handle},
                              {Keys::kGroupId, group.LookupAs<int32_t>(Keys::kGroupId)},
                              {Keys::kKey, hstring(L"k")},
                              {Keys::kValue, hstring(L"v")}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kAnalyticsLogEvent, {{Keys::kLogSessionHandle, handle},
                                                         {Keys::kCategory, hstring(L"c")},
                                                         {Keys::kSubCategory, hstring(L"s")},
                                                         {Keys::kEventName, hstring(L"e")}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kAnalyticsLogIdleTime, {{Keys::kLogSessionHandle, handle}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kAnalyticsCloseSession, {{Keys::kLogSessionHandle, handle}})),
              0);

    // A client's line reaches the application as a request, and the answer goes back.
    const ValueSet opened = ask(Codes::kSocketServerInitialize);
    ASSERT_EQ(responseOf(opened), 0);
    EXPECT_EQ(responseOf(ask(Codes::kSocketServerStartListening)), 0);
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socketClient(io);
    socketClient.connect(
        {boost::asio::ip::address_v4::loopback(),
         static_cast<uint16_t>(opened.LookupAs<uint32_t>(Keys::kSocketServerPort))});
    boost::asio::write(socketClient, boost::asio::buffer(std::string("hello\n")));
    ASSERT_TRUE(TestSupport::eventually(
        [&] { return sentToApplication(Codes::kSocketServerRequest).has_value(); }));
    const auto socketNumber =
        sentToApplication(Codes::kSocketServerRequest)->LookupAs<uint32_t>(Keys::kSocketNumber);
    EXPECT_EQ(responseOf(ask(Codes::kSocketServerSendResponse,
                             {{Keys::kSocketNumber, socketNumber},
                              {Keys::kResponseString, hstring(L"line")}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kSocketServerShutdown)), 0);
    ask(Codes::kSocketServerLaunchClient,
        {{Keys::kFilePathString, hstring(L"client")}, {Keys::kParametersString, hstring()}});

    EXPECT_EQ(responseOf(ask(Codes::kMessageRegister, {{Keys::kAppVersion, hstring(L"1.2")}})), 0);
    EXPECT_EQ(responseOf(ask(Codes::kMessageSend, {{Keys::kMessage, hstring(L"type")},
                                                   {Keys::kPayload, hstring(L"payload")}})),
              0);

    EXPECT_EQ(responseOf(ask(Codes::kTestDelayMessage,
                             {{Keys::kTestDelay, uint64_t{0}}, {Keys::kValue, uint64_t{9}}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kTestAppExit)), 0);
    EXPECT_EQ(responseOf(ask(Codes::kTestKalder, {{Keys::kTestIterations, int32_t{2}}})), 0);

    EXPECT_EQ(responseOf(ask(Codes::kKeyCodeMapping,
                             {{Keys::kKeyCode, uint32_t{65}}, {Keys::kKeyMapType, uint32_t{0}}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kSetEnvironmentVariable,
                             {{Keys::kEnvVariableName, hstring(L"TABLE_NAME")},
                              {Keys::kEnvVariableValue, hstring(L"value")}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kGetEnvironmentVariable,
                             {{Keys::kEnvVariableName, hstring(L"TABLE_NAME")}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kGetKeyboardLayout, {{Keys::kThreadId, uint64_t{1}}})), 0);

    const hstring target = L"Test.Table_1";
    EXPECT_EQ(responseOf(ask(Codes::kIsAppInstalled, {{Keys::kTargetSpecifier, target}})), 0);
    EXPECT_EQ(responseOf(ask(Codes::kIsAppAvailable, {{Keys::kTargetSpecifier, target}})), 0);
    EXPECT_EQ(responseOf(ask(Codes::kLaunchApp, {{Keys::kTargetSpecifier, hstring(L"No.Such_1")},
                                                 {Keys::kFocus, true},
                                                 {Keys::kCommandLineArguments, hstring()}})),
              0);
    EXPECT_EQ(responseOf(ask(Codes::kGetSpecifiers)), 0);

    EXPECT_EQ(
        responseOf(ask(Codes::kQueryFolderPermission, {{Keys::kAppXFolderName, path("/docs")}})),
        0);
    EXPECT_EQ(
        responseOf(ask(Codes::kSetFolderPermission, {{Keys::kAppXFolderName, path("/docs")}})), 0);

    EXPECT_EQ(responseOf(ask(Codes::kGetProcessList)), 0);
    // A watched process that ends is told to the application.
    const pid_t child = TestSupport::spawnSleeper("30");
    ASSERT_GT(child, 0);
    EXPECT_EQ(
        responseOf(ask(Codes::kWatchProcess, {{Keys::kProcessId, static_cast<uint32_t>(child)}})),
        0);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(TestSupport::eventually(
        [&] { return sentToApplication(Codes::kProcessExited).has_value(); }));
    ask(Codes::kCartInvokeClient, {{Keys::kCartAppId, hstring(L"id")},
                                   {Keys::kCartAppVersion, hstring(L"1.0")},
                                   {Keys::kCartAppProfileScope, hstring(L"scope")},
                                   {Keys::kCartAppPath, hstring(L"/no/such/client")}});

    // What the helper sent the application on the way: the socket line, the exit
    // notice and the messages of the test command.
    EXPECT_TRUE(TestSupport::eventually(
        [&] { return sentToApplication(Codes::kMessageReceive).has_value(); }));
    for (std::size_t i = 0; i < application.count(); ++i)
        expectRequestAsListed(application.request(i));

    std::set<int32_t> toHelper;
    for (const auto& command : Table::all())
        if (command.direction == Table::Direction::AppToHelper) toHelper.insert(command.code);
    EXPECT_EQ(answered, toHelper);
}
