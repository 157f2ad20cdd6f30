// Sign-in and analytics managers against a scripted helper: the commands they send,
// how they read the answers, the status event and the length limits.
#include <gtest/gtest.h>

#include <cctype>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <TarvikFoundation/orvaneanalyticsmanager.h>
#include <TarvikFoundation/orvaneauthmanager.h>
#include <TarvikFoundation/orvanemessagehandler.h>

#include "common/logger.h"
#include "common/messageschema.h"
#include "fakehelper.h"
#include "lifecyclesupport.h"
#include "testsupport.h"

using namespace TarvikFoundation;
using Platform::hstring;
using Platform::ValueSet;
using TestSupport::eventually;

namespace {

constexpr const wchar_t* kUserXml =
    L"<UserData><UserID>U-42</UserID><Email>Ann@Example.ORG</Email>"
    L"<ACSProfile>{\"userId\":\"U-42\",\"displayName\":\"Ann\",\"first_name\":\"A\","
    L"\"last_name\":\"B\",\"email\":\"ann@example.org\",\"emailVerified\":\"true\","
    L"\"account_type\":\"type2\"}</ACSProfile></UserData>";

// The keys of a request besides its envelope (command, id and acknowledgements).
std::set<std::string> payloadKeys(const ValueSet& request) {
    std::set<std::string> keys;
    request.ForEach([&](const hstring& key, const Platform::PropertyValue&) {
        const std::string k = key.to_utf8();
        if (k == "command" || k == "commandId" || k == "ackCounts" ||
            (k.rfind("Ack", 0) == 0 && k.size() > 3 &&
             std::isdigit(static_cast<unsigned char>(k[3]))))
            return;
        keys.insert(k);
    });
    return keys;
}

ValueSet result(int32_t value) {
    ValueSet a = Tarvik::createResponse(true);
    a.Insert(L"result", value);
    return a;
}

// A helper with a signed-in user whose answers to single commands can be replaced.
struct FakeHelper : TestSupport::FakeHelper {
    FakeHelper()
        : TestSupport::FakeHelper([](const ValueSet& request) {
              ValueSet a = result(0);
              if (TestSupport::commandOf(request) == 26) a.Insert(L"userData", hstring(kUserXml));
              return a;
          }) {}
};

class Managers : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("LANG", "en_US.UTF-8", 1);
        ::setenv("LANGUAGE", "de_AT.UTF-8:fr", 1);
        Tarvik::ConfigureLogger(0, "UWP");
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("test.log")));
        Tarvik::CloseLogFile();  // a line logged while the fixture was built opened another
        auth->setAppServiceConnection(helper.peer.appSide(), false);
        analytics->setAppServiceConnection(helper.peer.appSide(), false);
        OrvaneInternal::OrvaneMessageHandler::GetInstance()->setAppServiceConnection(
            helper.peer.appSide(), false);
        auth->SetClientData(L"client-1");
        auth->Initialize(L"secret-1", L"openid profile", true);
        token = auth->StatusEvent([this](int32_t s) {
            std::lock_guard g(m);
            statuses.push_back(s);
        });
    }
    void TearDown() override {
        auth->StatusEvent(token);
        for (auto* c : {auth->connection().get(), analytics->connection().get()})
            c->setAppServiceConnection(nullptr, false);
        OrvaneInternal::OrvaneMessageHandler::GetInstance()->setAppServiceConnection(nullptr,
                                                                                     false);
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("after.log")));
        Tarvik::CloseLogFile();
    }
    std::vector<int32_t> seen() {
        std::lock_guard g(m);
        return statuses;
    }
    std::string log() { return TestSupport::readFile(dir.file("test.log")); }

    TestSupport::TestPackage package{"Test.Managers_1", false};
    TestSupport::TempDir dir;
    FakeHelper helper;
    std::shared_ptr<OrvaneAuthManager> auth = OrvaneAuthManager::GetInstance();
    std::shared_ptr<OrvaneAnalyticsManager> analytics = OrvaneAnalyticsManager::GetInstance();
    Platform::event_token token{};
    std::mutex m;
    std::vector<int32_t> statuses;
};

}  // namespace

TEST_F(Managers, ArgumentsAreChecked) {
    EXPECT_THROW(auth->Initialize(L"", L"scope", false), Platform::hresult_invalid_argument);
    EXPECT_THROW(auth->Initialize(L"secret", L"", false), Platform::hresult_invalid_argument);
    EXPECT_THROW(auth->SetClientData(L""), Platform::hresult_invalid_argument);
    EXPECT_NE(log().find("invalid args"), std::string::npos);
}

TEST_F(Managers, SignedInUserIsReadFromTheXmlWithTheEmailLowerCased) {
    hstring id;
    EXPECT_TRUE(auth->checkIfDefaultUserLoggedIn(id));
    EXPECT_EQ(id, hstring(L"U-42"));
    EXPECT_EQ(auth->signedInEmail(), "ann@example.org");
    EXPECT_TRUE(auth->IsUserSignedIn());
    EXPECT_EQ(helper.sent(26).back().LookupAs<hstring>(L"clientId"), hstring(L"client-1"));
    EXPECT_TRUE(auth->SignIn());  // already signed in: no envelope goes out
    EXPECT_TRUE(helper.sent(8).empty());
}

TEST_F(Managers, SignInSendsTheEnvelopeAndReadsWskLibResponse) {
    helper.on(26, [](const ValueSet&) { return result(73); });
    const auto answer = [&](const std::wstring& value) {
        helper.on(8, [value](const ValueSet&) {
            ValueSet a = result(0);
            a.Insert(L"inOutBuffer",
                     hstring(L"<TetherboxEnvelope><response><WSKLibResponse>" + value +
                             L"</WSKLibResponse></response></TetherboxEnvelope>"));
            return a;
        });
    };
    answer(L"3");
    EXPECT_TRUE(auth->SignIn());
    const std::string envelope = helper.sent(8).front().LookupAs<hstring>(L"inOutBuffer").to_utf8();
    EXPECT_EQ(envelope.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?><TetherboxEnvelope ", 0),
              0u);
    EXPECT_NE(envelope.find("xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""),
              std::string::npos);
    EXPECT_NE(envelope.find("xsi:noNamespaceSchemaLocation=\"WsklibTetherbox.xsd\"><request "
                            "id=\"2\" functionName=\"showZEL\"><arguments"),
              std::string::npos);
    answer(L"1");
    EXPECT_FALSE(auth->SignIn());
    answer(L"three");
    EXPECT_FALSE(auth->SignIn());
    helper.on(8, [](const ValueSet&) { return result(0); });  // no envelope back
    EXPECT_FALSE(auth->SignIn());
    EXPECT_NE(log().find("WSKTetherboxRequest FAILED : tetherbox response unavailable."),
              std::string::npos);
    // No "result" at all: the request failed, whatever else came back.
    helper.on(8, [](const ValueSet&) {
        ValueSet a = Tarvik::createResponse(true);
        a.Insert(L"inOutBuffer", hstring(L"<TetherboxEnvelope><response><WSKLibResponse>3"
                                         L"</WSKLibResponse></response></TetherboxEnvelope>"));
        return a;
    });
    EXPECT_FALSE(auth->SignIn());
    EXPECT_NE(log().find(" WSKTetherboxRequest FAILED\n"), std::string::npos);
}

TEST_F(Managers, NoUserDataMeansNotSignedIn) {
    helper.on(26, [](const ValueSet&) { return result(0); });  // success, but nobody
    EXPECT_FALSE(auth->IsUserSignedIn());
    helper.on(26, [](const ValueSet&) {
        ValueSet a = result(73);
        a.Insert(L"userData", hstring());
        return a;
    });
    EXPECT_FALSE(auth->IsUserSignedIn());
    // The result is not looked at: user data alone counts.
    helper.on(26, [](const ValueSet&) {
        ValueSet a = result(73);
        a.Insert(L"userData", hstring(kUserXml));
        return a;
    });
    EXPECT_TRUE(auth->IsUserSignedIn());
}

TEST_F(Managers, SignOutRefusedByTheServiceKeepsTheCachedUser) {
    helper.on(27, [](const ValueSet&) { return result(121); });
    EXPECT_FALSE(auth->SignOut());
    EXPECT_EQ(auth->signedInUserId(), "U-42");
    EXPECT_TRUE(seen().empty());
    EXPECT_NE(log().find("Revoke device token FAIL"), std::string::npos);

    helper.on(27, [](const ValueSet&) { return result(0); });
    EXPECT_TRUE(auth->SignOut());
    EXPECT_EQ(auth->signedInUserId(), "");
    EXPECT_EQ(seen(), std::vector<int32_t>{OrvaneAuthManager::kSignedOut});
    const ValueSet revoke = helper.sent(27).back();
    EXPECT_EQ(revoke.LookupAs<hstring>(L"userAccountGuid"), hstring(L"U-42"));
    EXPECT_EQ(revoke.LookupAs<hstring>(L"clientSecret"), hstring(L"secret-1"));
    // The notice to the other applications goes out without waiting for it.
    ASSERT_TRUE(eventually([&] { return !helper.sent(36).empty(); }));
    const ValueSet notice = helper.sent(36).back();
    EXPECT_EQ(notice.LookupAs<hstring>(L"message"),
              hstring(L"kalder.SuiteMessage.pxdc.localapps.panel.refresh.ssoevent"));
    EXPECT_EQ(notice.LookupAs<hstring>(L"payload"),
              hstring(L"<request><callerId>Diza</callerId><event_type>signout_success</"
                      L"event_type><event_subtype></event_subtype><payload></payload></request>"));
}

TEST_F(Managers, SignOutWithoutAUserSendsNoRevoke) {
    helper.on(26, [](const ValueSet&) { return result(73); });
    EXPECT_FALSE(auth->SignOut());
    EXPECT_TRUE(helper.sent(27).empty());
    EXPECT_NE(log().find("ACS ret 73"), std::string::npos);
}

TEST_F(Managers, FetchAccessTokenMapsServiceStatuses) {
    const auto fetch = [&] {
        return auth->FetchAccessTokenAsync(L"c", L"s", L"u", L"g", L"openid").get();
    };
    helper.on(28, [](const ValueSet&) { return Tarvik::createResponse(true); });  // no "result"
    try {
        fetch();
        FAIL() << "no error raised";
    } catch (const Platform::hresult_error& e) {
        EXPECT_EQ(static_cast<uint32_t>(e.code()), 0xE1010047u);
    }
    helper.on(28, [](const ValueSet&) { return result(82); });
    try {
        fetch();
        FAIL() << "no error raised";
    } catch (const Platform::hresult_error& e) {
        EXPECT_EQ(static_cast<uint32_t>(e.code()), 0xE101002Cu);
    }
    helper.on(28, [](const ValueSet&) { return TestSupport::responseWith(1); });
    EXPECT_EQ(fetch(), hstring());
    helper.on(28, [](const ValueSet&) {
        ValueSet a = result(0);
        a.Insert(L"userData", hstring(L"{\"access_token\":\"A\"}"));
        return a;
    });
    EXPECT_EQ(fetch(), hstring(L"{\"access_token\":\"A\"}"));
    EXPECT_NE(log().find("Received response for command=28,status=0,time="), std::string::npos);
}

TEST_F(Managers, TokenInfoSendsTheClientIdTwiceAndTheUserFromTheUserData) {
    helper.on(28, [](const ValueSet&) {
        ValueSet a = result(0);
        a.Insert(L"userData", hstring(L"{\"access_token\":\"A\",\"refresh_token\":\"R\","
                                      L"\"expires_in\":3599.9}"));
        return a;
    });
    const auto info = auth->GetTokenInfoAsync().get();
    EXPECT_EQ(info->AccessToken(), hstring(L"A"));
    EXPECT_EQ(info->RefreshToken(), hstring(L"R"));
    EXPECT_EQ(info->ExpiresIn(), 3599);
    const ValueSet request = helper.sent(28).back();
    EXPECT_EQ(request.LookupAs<hstring>(L"clientId"), hstring(L"client-1"));
    EXPECT_EQ(request.LookupAs<hstring>(L"ServiceAccountGuid"), hstring(L"client-1"));
    EXPECT_EQ(request.LookupAs<hstring>(L"userAccountGuid"), hstring(L"U-42"));
    EXPECT_EQ(request.LookupAs<hstring>(L"Scope"), hstring(L"openid profile"));

    const auto profile = auth->GetDefaultUserProfileAsync().get();
    EXPECT_EQ(profile->UserId(), hstring(L"U-42"));
    EXPECT_TRUE(profile->IsEmailVerified());
    EXPECT_TRUE(profile->IsNonType1Account());
}

TEST(AuthRecords, AccountTypeAndMissingMembers) {
    const auto with = [](const std::string& accountType) {
        return std::make_shared<OrvaneAuthUserProfile>(hstring::from_utf8(
            "{\"userId\":\"u\",\"displayName\":\"d\",\"first_name\":\"f\",\"last_name\":\"l\","
            "\"email\":\"e\",\"emailVerified\":\"false\"" +
            accountType + "}"));
    };
    EXPECT_FALSE(with(",\"account_type\":\"type1\"")->IsNonType1Account());
    EXPECT_TRUE(with(",\"account_type\":\"type3\"")->IsNonType1Account());
    const auto missing = with("");
    EXPECT_FALSE(missing->IsNonType1Account());
    EXPECT_FALSE(missing->IsEmailVerified());
    EXPECT_EQ(missing->Email(), hstring(L"e"));  // read before the parse failed
    EXPECT_EQ(OrvaneAuthUserProfile(L"").UserId(), hstring());
    EXPECT_EQ(OrvaneAuthTokenInfo(L"not json").ExpiresIn(), 0);
}

TEST_F(Managers, StatusMessagesFromOtherApplicationsRaiseTheStatusEvent) {
    auth->startSSOListening();
    auth->startSSOListening();  // only the first call subscribes
    ASSERT_TRUE(auth->waitForSSOListeners(std::chrono::seconds(10)));
    const auto ids = auth->listenerIds();
    ASSERT_EQ(ids.size(), 4u);
    const auto send = [&](const wchar_t* type, const wchar_t* payload) {
        ValueSet m = Tarvik::createRequest(37);
        m.Insert(L"messageType", hstring(type));
        m.Insert(L"payload", hstring(payload));
        helper.peer.peerSide().SendMessageAsync(m).get();
    };
    send(L"kalder.SuiteMessage.com.orvane.zel.ZELACSStatus",
         L"{\"error\":\"access_denied\",\"then\":\"USER_AUTH_SUCCESS\"}");
    send(L"kalder.SuiteMessage.com.orvane.zel.ZELSIGNOUTStatus", L"");
    send(L"kalder.SuiteMessage.pxdc.localapps.panel.refresh.ssoevent", L"signout_success");
    send(L"kalder.SuiteMessage.pxdc.localapps.panel.refresh.ssoevent", L"<x>signin_success</x>");
    send(L"kalder.SuiteMessage.any.pxdc.app.SignedIn", L"");
    ASSERT_TRUE(eventually([&] { return seen().size() == 5; }));
    EXPECT_EQ(seen(), (std::vector<int32_t>{2, 0, 1, 0, 0}));
}

TEST_F(Managers, LengthLimitsCountUtf16UnitsAndOnlyWarn) {
    std::wstring faces;
    for (int i = 0; i < 64; ++i) faces += L"\U0001F600";  // two UTF-16 units each
    const hstring exact(faces);
    ASSERT_EQ(exact.utf16_length(), 128u);
    const hstring over(exact.c_str() + std::wstring(L"x"));
    analytics->LogEvent(7, exact, L"sub", L"name").get();
    EXPECT_EQ(log().find("categoryhas more than"), std::string::npos);
    analytics->LogEvent(7, over, L"sub", L"name").get();
    EXPECT_NE(log().find("categoryhas more than 128 characters"), std::string::npos);
    EXPECT_EQ(helper.sent(24).back().LookupAs<hstring>(L"category"), over);  // sent whole

    const hstring value512(std::wstring(512, L'v'));
    analytics->AddToGroup(7, 3, L"k", value512).get();
    EXPECT_EQ(log().find("valuehas more than"), std::string::npos);
    analytics->AddToGroup(7, 3, L"k", hstring(std::wstring(513, L'v'))).get();
    EXPECT_NE(log().find("valuehas more than 512 characters"), std::string::npos);
}

TEST_F(Managers, AnalyticsRequestsAsTheHelperExpectsThem) {
    helper.on(22, [](const ValueSet&) {
        ValueSet a = Tarvik::createResponse(true);
        a.Insert(L"groupId", int32_t{9});
        return a;
    });
    EXPECT_EQ(analytics->NewDataGroupAsync(5, L"c", L"s", L"g", L"").get(), 9);
    EXPECT_FALSE(helper.sent(22).back().HasKey(L"docIdBuffer"));
    EXPECT_EQ(analytics->NewDataGroupAsync(5, L"c", L"s", L"g", L"doc").get(), 9);
    EXPECT_EQ(helper.sent(22).back().LookupAs<hstring>(L"docIdBuffer"), hstring(L"doc"));
    helper.on(22, [](const ValueSet&) { return TestSupport::responseWith(1); });
    EXPECT_EQ(analytics->NewDataGroupAsync(5, L"c", L"s", L"g").get(), 0);

    helper.on(19, [](const ValueSet&) {
        ValueSet a = Tarvik::createResponse(true);
        a.Insert(L"logSessionHandle", uint64_t{1} << 40);
        return a;
    });
    EXPECT_EQ(analytics->StartSessionAsync(L"fam", L"name", L"b7", L"").get(), uint64_t{1} << 40);
    const ValueSet start = helper.sent(19).back();
    EXPECT_EQ(start.LookupAs<hstring>(L"appVersion"), hstring(L"3.4.5"));
    EXPECT_EQ(start.LookupAs<hstring>(L"appBuild"), hstring(L"b7"));
    EXPECT_EQ(start.LookupAs<hstring>(L"appLanguage"), hstring(L"de-AT"));
    helper.on(19, [](const ValueSet&) { return Tarvik::createResponse(true); });
    EXPECT_EQ(analytics->StartSessionAsync(L"fam", L"name", L"b7", L"9.9").get(), 0u);
    EXPECT_EQ(helper.sent(19).back().LookupAs<hstring>(L"appVersion"), hstring(L"9.9"));
}

TEST_F(Managers, SessionCommandsCarryTheirOneKey) {
    helper.on(17, [](const ValueSet&) {
        ValueSet a = Tarvik::createResponse(true);
        a.Insert(L"logSessionHandle", uint64_t{77});
        return a;
    });
    EXPECT_EQ(analytics->InitializeCacheAsync().get(), 77u);
    EXPECT_EQ(payloadKeys(helper.sent(17).back()), std::set<std::string>{});
    analytics->SetSerializationState(-4).get();
    EXPECT_EQ(helper.sent(20).back().LookupAs<int32_t>(L"state"), -4);
    analytics->CloseSession(uint64_t{1} << 33).get();
    EXPECT_EQ(helper.sent(21).back().LookupAs<uint64_t>(L"logSessionHandle"), uint64_t{1} << 33);
    analytics->LogIdleTime(5).get();
    EXPECT_EQ(helper.sent(25).back().LookupAs<uint64_t>(L"logSessionHandle"), 5u);
    EXPECT_EQ(payloadKeys(helper.sent(20).back()), std::set<std::string>{"state"});
    for (int32_t command : {21, 25})
        EXPECT_EQ(payloadKeys(helper.sent(command).back()),
                  std::set<std::string>{"logSessionHandle"})
            << command;

    // The first form of LogEvent: the number goes nowhere, the document id only when given.
    analytics->LogEvent(6, L"cat", L"sub", L"event", 123456789, L"doc").get();
    ValueSet event = helper.sent(24).back();
    EXPECT_EQ(event.LookupAs<uint64_t>(L"logSessionHandle"), 6u);
    EXPECT_EQ(event.LookupAs<hstring>(L"category"), hstring(L"cat"));
    EXPECT_EQ(event.LookupAs<hstring>(L"subCategory"), hstring(L"sub"));
    EXPECT_EQ(event.LookupAs<hstring>(L"eventName"), hstring(L"event"));
    EXPECT_EQ(event.LookupAs<hstring>(L"docIdBuffer"), hstring(L"doc"));
    const std::set<std::string> eventKeys{"category", "eventName", "logSessionHandle",
                                          "subCategory"};
    std::set<std::string> withDocument = eventKeys;
    withDocument.insert("docIdBuffer");
    EXPECT_EQ(payloadKeys(event), withDocument);
    analytics->LogEvent(6, L"cat", L"sub", L"event", 1, L"").get();
    EXPECT_EQ(payloadKeys(helper.sent(24).back()), eventKeys);
}

TEST_F(Managers, InitializeTakesThePersonFromTheSignedInUserOrNone) {
    analytics->InitializeAsync(true, L"proxy", L"pw").get();
    EXPECT_EQ(helper.sent(18).back().LookupAs<hstring>(L"personGUID"), hstring(L"U-42"));
    EXPECT_TRUE(helper.sent(18).back().LookupAs<bool>(L"enableCrashDetection"));
    helper.on(26, [](const ValueSet&) { return result(73); });
    analytics->InitializeAsync(false, L"", L"").get();
    EXPECT_EQ(helper.sent(18).back().LookupAs<hstring>(L"personGUID"),
              hstring(L"NOPERSONGUID@OrvaneID"));
    EXPECT_NE(log().find("Failure to retrive user profile from GetUserProfileAsync"),
              std::string::npos);
    analytics->InitializeAsync(false, L"", L"", L"").get();
    EXPECT_EQ(helper.sent(18).back().LookupAs<hstring>(L"personGUID"),
              hstring(L"NOPERSONGUID@OrvaneID"));
}
