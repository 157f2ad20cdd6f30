// Helpers of two applications on one bus, the account switch and the analytics store
// across a helper restart, each helper a real process over real sockets.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <future>
#include <mutex>

#include <TarvikFoundation/orvanekaldercontrollermanager.h>
#include <TarvikFoundation/orvanemessagehandler.h>

#include "common/messageschema.h"
#include "helper/analytics/analyticsstore.h"
#include "helperapp.h"
#include "testsupport.h"

using namespace Platform;
using namespace std::chrono_literals;
using TestSupport::eventually;

namespace {

using TestSupport::App;
using TestSupport::runToEnd;

class HelperServices : public TestSupport::HelperTest {};

}  // namespace

TEST_F(HelperServices, TwoApplicationsExchangeBusMessagesThroughTheirHelpers) {
    App a(dir, "App.A_1");
    App b(dir, "App.B_1");
    // A is a library application; B speaks the commands by hand.
    auto handler = TarvikFoundation::OrvaneInternal::OrvaneMessageHandler::GetInstance();
    auto kalder = TarvikFoundation::OrvaneKalderControllerManager::GetInstance();
    handler->setAppVersion(L"1.0.0");
    handler->setAppServiceConnection(a.connection, false);
    kalder->setAppServiceConnection(a.connection, false);
    std::promise<std::string> pong;
    ASSERT_GT(handler->AddListener(
                  L"demo.pong", [&](const hstring& p) { pong.set_value(p.to_utf8()); }, true),
              0u);
    EXPECT_EQ(b.send(35, {{L"appVersion", PropertyValue(hstring(L"2.0.0"))}})
                  .LookupAs<int32_t>(L"response"),
              0);

    using TarvikFoundation::OrvaneInternal::KalderMessage;
    using TarvikFoundation::OrvaneInternal::KalderMessageErrorCode;
    EXPECT_EQ(handler->SendMessage(std::make_shared<KalderMessage>(L"demo.ping", L"héllo")).get(),
              KalderMessageErrorCode::Success);
    ASSERT_TRUE(eventually([&] { return !b.received().empty(); }, 10s));
    EXPECT_EQ(b.received().front(), "demo.ping|héllo");

    const ValueSet sent = b.send(36, {{L"message", PropertyValue(hstring(L"demo.pong"))},
                                      {L"payload", PropertyValue(hstring(L"back"))}});
    EXPECT_EQ(sent.LookupAs<int32_t>(L"errorCode"), 0);
    auto answer = pong.get_future();
    ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(answer.get(), "back");

    // Too large and typeless messages are refused with the bus's codes.
    const std::wstring big(70 * 1024, L'x');
    EXPECT_EQ(
        static_cast<int32_t>(
            handler->SendMessage(std::make_shared<KalderMessage>(L"demo.big", hstring(big))).get()),
        2);
    EXPECT_EQ(b.send(36, {{L"message", PropertyValue(hstring(L""))},
                          {L"payload", PropertyValue(hstring(L"x"))}})
                  .LookupAs<int32_t>(L"errorCode"),
              1);

    // The controller answers from the bus members and the recorded applications.
    EXPECT_TRUE(kalder->IsAppAvailable(L"App.B_1").get());
    EXPECT_TRUE(kalder->IsAppInstalled(L"App.B_1").get());
    EXPECT_FALSE(kalder->IsAppInstalled(L"App.Nobody_1").get());
    EXPECT_FALSE(kalder->LaunchApp(L"App.Nobody_1", false, L"").get());
    EXPECT_EQ(kalder->GetSpecifiers().get(), (std::vector<hstring>{L"App.A_1", L"App.B_1"}));
    // Launching a running application brings it forward instead of starting another.
    EXPECT_TRUE(kalder->LaunchApp(L"App.B_1", true, L"--open doc").get());
    ASSERT_TRUE(eventually([&] { return b.received().size() == 2; }, 10s));
    EXPECT_NE(b.received().back().find("\"arguments\":\"--open doc\""), std::string::npos);

    // The operator's switch signs in and out; both are announced on the bus.
    EXPECT_EQ(
        b.send(26, {{L"clientId", PropertyValue(hstring(L"c"))}}).LookupAs<int32_t>(L"result"), 73);
    EXPECT_EQ(runToEnd({"account", "signin", "--user", "U-7", "--email", "u7@example.org"}), 0);
    const ValueSet user = b.send(26, {{L"clientId", PropertyValue(hstring(L"c"))}});
    EXPECT_EQ(user.LookupAs<int32_t>(L"result"), 0);
    EXPECT_NE(user.LookupAs<hstring>(L"userData").to_utf8().find("<UserID>U-7</UserID>"),
              std::string::npos);
    ASSERT_TRUE(eventually([&] { return b.received().size() == 3; }, 10s));
    EXPECT_EQ(b.received().back(), "kalder.SuiteMessage.any.pxdc.app.SignedIn|");
    EXPECT_EQ(runToEnd({"account", "bogus"}), 2);

    handler->RemoveAllListeners();
    handler->setAppServiceConnection(nullptr, false);
    kalder->setAppServiceConnection(nullptr, false);
}

// A helper ends without destructors; its bus record and socket must still go with it,
// or other members find a member that is not there until they notice. While there,
// they are the user's alone.
TEST_F(HelperServices, AHelperThatEndsTakesItsBusRecordWithIt) {
    App app(dir, "App.E_1");
    const std::string bus = dir.file("run") + "/tarvik/.bus";
    const auto entries = [&] {
        std::vector<std::string> names;
        boost::system::error_code ec;
        for (boost::filesystem::directory_iterator it(bus, ec), end; !ec && it != end;
             it.increment(ec))
            names.push_back(it->path().filename().string());
        return names;
    };
    EXPECT_EQ(app.send(35, {{L"appVersion", PropertyValue(hstring(L"1.0.0"))}})
                  .LookupAs<int32_t>(L"response"),
              0);
    ASSERT_EQ(entries().size(), 2u) << "a record and a socket";
    // Both the user's alone.
    for (const auto& name : entries()) {
        struct stat st {};
        ASSERT_EQ(::lstat((bus + "/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
    EXPECT_EQ(app.send(39).LookupAs<int32_t>(L"response"), 0);
    EXPECT_TRUE(eventually([&] { return entries().empty(); }, 10s))
        << entries().size() << " entries left, the first " << entries().front();

    // Asked to end by a signal, a helper ends the same way, with a log line.
    App signalled(dir, "App.F_1");
    EXPECT_EQ(signalled.send(35, {{L"appVersion", PropertyValue(hstring(L"1.0.0"))}})
                  .LookupAs<int32_t>(L"response"),
              0);
    ASSERT_EQ(entries().size(), 2u);
    // Not reaped here: App reaps it, and its pid stays its own until then.
    ASSERT_EQ(::kill(signalled.helperPid(), SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return entries().empty(); }, 10s)) << entries().front();
    EXPECT_TRUE(eventually(
        [&] {
            return TestSupport::readFile(dir.file("App.F_1.log"))
                       .find("signal 15, helper exiting") != std::string::npos;
        },
        10s));
}

TEST_F(HelperServices, AnalyticsLoggedBeforeAHelperRestartAreStillInTheStore) {
    App app(dir, "App.C_1");
    const ValueSet started = app.send(19, {{L"appFamily", PropertyValue(hstring(L"fam"))},
                                           {L"appName", PropertyValue(hstring(L"name"))},
                                           {L"appVersion", PropertyValue(hstring(L"1.2.3"))},
                                           {L"appLanguage", PropertyValue(hstring(L"en"))},
                                           {L"appBuild", PropertyValue(hstring(L"b1"))}});
    const uint64_t handle = started.LookupAs<uint64_t>(L"logSessionHandle");
    ASSERT_NE(handle, 0u);
    for (const wchar_t* name : {L"first", L"second"})
        EXPECT_EQ(app.send(24, {{L"logSessionHandle", PropertyValue(handle)},
                                {L"category", PropertyValue(hstring(L"c"))},
                                {L"subCategory", PropertyValue(hstring(L"s"))},
                                {L"eventName", PropertyValue(hstring(name))}})
                      .LookupAs<int32_t>(L"response"),
                  0);

    app.restartHelper(dir);
    // The new helper knows the session and refuses a handle it never gave out.
    EXPECT_EQ(app.send(24, {{L"logSessionHandle", PropertyValue(handle)},
                            {L"category", PropertyValue(hstring(L"c"))},
                            {L"subCategory", PropertyValue(hstring(L"s"))},
                            {L"eventName", PropertyValue(hstring(L"third"))}})
                  .LookupAs<int32_t>(L"response"),
              0);
    EXPECT_EQ(app.send(24, {{L"logSessionHandle", PropertyValue(handle + 999)}})
                  .LookupAs<int32_t>(L"response"),
              1);
    TarvikHelper::AnalyticsStore store("App.C_1");
    std::vector<std::string> names;
    for (const auto& e : store.events()) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"first", "second", "third"}));
}
