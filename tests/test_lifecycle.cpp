// Configuration, the lock file, the app helper and the relay task inside one process.
#include <gtest/gtest.h>

#include <future>

#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvaneauthmanager.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/orvanetrvkappservicetask.h>
#include <TarvikFoundation/platform/applicationdata.h>

#include "common/appserviceconnectionlock.h"
#include "common/base64.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "lifecyclesupport.h"
#include "scriptedpeer.h"

using namespace TarvikFoundation;
using namespace std::chrono_literals;
using Platform::Clock;
using Platform::hstring;
using Platform::ValueSet;
using TestSupport::eventually;

namespace {

std::shared_ptr<TRVKConfigOptions> options(bool background, uint32_t launchMethod = 99) {
    auto o = std::make_shared<TRVKConfigOptions>();
    o->Win32Uri(L"tarvik-test");
    o->AppServiceName(L"svc");
    o->ClientId(L"client-1");
    o->AppServiceInBackground(background);
    o->LaunchMethod(launchMethod);
    return o;
}

std::string logOf(const TestSupport::TestPackage& p) {
    return TestSupport::readFile(p.temporaryFolder() + "/TRVK.log");
}

class ManualClock : public ::testing::Test {
  protected:
    void SetUp() override { Clock::instance().set_manual(); }
    void TearDown() override { Clock::instance().set_real(); }
    Clock& clock = Clock::instance();
};

}  // namespace

// First in this program: nothing has set the lock path yet.
TEST(ConnectionLock, SignalBeforeAPathIsSetFails) {
    EXPECT_FALSE(Tarvik::AppServiceConnectionLock::signal());
}

TEST(ConnectionLock, WritesFourZeroBytesAndCreatesFolders) {
    TestSupport::TempDir dir;
    const std::string path = dir.file("a/b/123connect.lock");
    Tarvik::AppServiceConnectionLock::setAppServiceConnectionLock(Platform::utf8_to_wide(path));
    EXPECT_TRUE(boost::filesystem::is_directory(dir.file("a/b")));
    EXPECT_TRUE(Tarvik::AppServiceConnectionLock::signal());
    EXPECT_EQ(TestSupport::readFile(path), std::string(4, '\0'));
    EXPECT_TRUE(Tarvik::AppServiceConnectionLock::signal());
    EXPECT_EQ(TestSupport::readFile(path).size(), 4u);
    boost::filesystem::create_directories(dir.file("blocked"));
    Tarvik::AppServiceConnectionLock::setAppServiceConnectionLock(
        Platform::utf8_to_wide(dir.file("blocked")));
    EXPECT_FALSE(Tarvik::AppServiceConnectionLock::signal());
}

TEST(ConfigOptions, DefaultsAndClamp) {
    TRVKConfigOptions o;
    EXPECT_EQ(o.LogLevel(), 2u);
    EXPECT_TRUE(o.AppServiceInBackground());
    EXPECT_EQ(o.LaunchMethod(), 1u);
    EXPECT_EQ(o.ReconnectInterval(), 20u);
    EXPECT_FALSE(o.EnableLocalhost() || o.EnableNetworkLogging() || o.IsClientIdBase64Encoded() ||
                 o.SuppressConnectionTimeoutError());
    EXPECT_FALSE(o.Win32HelperLauncher());
    o.ReconnectInterval(0);
    EXPECT_EQ(o.ReconnectInterval(), 1u);
    o.ReconnectInterval(7);
    EXPECT_EQ(o.ReconnectInterval(), 7u);
    o.ClientId(L"a");
    o.ClientId(L"b");
    EXPECT_EQ(o.ClientId(), hstring(L"b"));
}

TEST(AppHelper, RejectsIncompleteOptions) {
    TestSupport::TestPackage package("Test.Reject_1");
    EXPECT_THROW(OrvaneAppHelper::create(nullptr), Platform::hresult_invalid_argument);
    for (int missing = 0; missing < 3; ++missing) {
        auto o = options(false);
        if (missing == 0) o->Win32Uri(L"");
        if (missing == 1) o->AppServiceName(L"");
        if (missing == 2) o->ClientId(L"");
        EXPECT_THROW(OrvaneAppHelper::create(o), Platform::hresult_invalid_argument);
    }
    auto o = options(false, 2);  // launcher method without a launcher
    EXPECT_THROW(OrvaneAppHelper::create(o), Platform::hresult_invalid_argument);
}

TEST_F(ManualClock, CommandLineSettingsAndLogLevelFileAsTheyStand) {
    TestSupport::TestPackage package("Test.Args_1");
    auto o = options(false, 0);  // full-trust launch: writes the settings
    o->ClientId(hstring::from_utf8(Tarvik::Base64::encode("client \xC3\xA9")));
    o->IsClientIdBase64Encoded(true);
    o->EnableLocalhost(true);
    o->LogLevel(3);
    o->ReconnectInterval(0);
    auto helper = OrvaneAppHelper::create(o);
    EXPECT_EQ(helper->clientId(), hstring::from_utf8("client \xC3\xA9"));
    EXPECT_EQ(helper->appVersion(), "3.4.5");

    const std::string tmp = package.temporaryFolder();
    const std::string lock =
        package.dataFolder() + "/LocalCache/" + helper->startStamp() + "connect.lock";
    const std::string expected =
        "--pid " + std::to_string(::getpid()) + " --package " +
        Tarvik::Base64::encode("Test.Args_1") + " --service " + Tarvik::Base64::encode("svc") +
        " --AppServiceInBackground false --enableNetworkLogging false --client " +
        Tarvik::Base64::encode("client \xC3\xA9") + " --ReconnectInterval 1 --logLevel 3 --log \"" +
        tmp + "/Win32Helper.log\" --lock \"" + lock + "\" --enableLocalhost";
    EXPECT_EQ(Platform::wide_to_utf8(helper->getHelperArgs()), expected);
    EXPECT_EQ(TestSupport::readFile(lock),
              std::string(4, '\0'));  // signalled while building the line

    const auto settings = Platform::ApplicationData::Current()->Settings().Values();
    EXPECT_EQ(settings.LookupAs<uint32_t>(L"logLevel"), 3u);
    EXPECT_EQ(settings.LookupAs<hstring>(L"log").to_utf8(), tmp + "/fulltrust.log");
    EXPECT_FALSE(settings.LookupAs<bool>(L"enableNetworkLogging"));
    EXPECT_EQ(settings.LookupAs<hstring>(L"win32uri"), hstring(L"tarvik-test"));
    EXPECT_EQ(settings.LookupAs<hstring>(L"args").to_utf8(), expected);
    EXPECT_FALSE(settings.HasKey(L"execpath"));

    auto bg = options(true);
    bg->EnableNetworkLogging(false);
    bg->LogLevel(4);
    auto background = OrvaneAppHelper::create(bg);
    EXPECT_EQ(TestSupport::readFile(tmp + "/logLevel.txt"), "4 0\n");
    const std::string args = Platform::wide_to_utf8(background->getHelperArgs());
    EXPECT_EQ(args.find("--lock"), std::string::npos);
    EXPECT_EQ(args.find("--enableLocalhost"), std::string::npos);
    EXPECT_NE(args.find(" --AppServiceInBackground true "), std::string::npos);
}

TEST_F(ManualClock, FailedOpensRetryWithTheTableThenStop) {
    TestSupport::TestPackage package("Test.Retry_1", false);  // nobody listens, nothing to activate
    auto helper = OrvaneAppHelper::create(options(true));
    const Clock::duration expected[] = {500ms, 1000ms, 1500ms, 2500ms, 4000ms, 6500ms};
    // Each step waits until the failed open has finished, timer scheduled.
    auto settled = [&] { return clock.pending_count() == 1 && !helper->connectInProgress(); };
    for (const auto& delay : expected) {
        ASSERT_TRUE(eventually(settled));
        EXPECT_EQ(clock.pending().front(), delay);
        clock.advance(delay);
    }
    // The seventh failure schedules nothing.
    ASSERT_TRUE(
        eventually([&] { return helper->retriesLeft() == 0 && !helper->connectInProgress(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(clock.pending_count(), 0u);
    EXPECT_EQ(helper->retriesLeft(), 0u);
    const std::string log = logOf(package);
    for (int n = 1; n <= 6; ++n)
        EXPECT_NE(log.find("retry on FAIL #" + std::to_string(n) + "\n"), std::string::npos) << n;
    // Resuming restores the full back-off and tries at once.
    helper->OnResuming();
    ASSERT_TRUE(eventually([&] { return clock.pending_count() == 1; }));
    clock.advance(0ms);
    ASSERT_TRUE(eventually([&] {
        return clock.pending_count() == 1 && clock.pending().front() == Clock::duration(500ms);
    }));
    helper->OnSuspending();
    EXPECT_EQ(clock.pending_count(), 0u);
}

TEST(AppHelper, InProcessActivationGivesManagersTheConnectionAfterReconnected) {
    TestSupport::TestPackage package("Test.InProc_1", false);
    auto helper = OrvaneAppHelper::create(options(false));
    std::atomic<int> exits{0}, value{0};
    helper->HelperAppExitEvent([&](const std::shared_ptr<OrvaneAppHelper>&, int32_t v) {
        ++exits;
        value = v;
    });
    auto [appSide, helperSide] =
        Platform::AppServiceConnection::CreateInMemoryPair(L"svc", L"Test.InProc_1");
    auto instance = std::make_shared<Platform::BackgroundTaskInstance>(
        Platform::AppServiceTriggerDetails(L"svc", L"", appSide));
    // The sign-in listeners register (command 35) as soon as the managers are connected.
    helperSide.RequestReceived([](const Platform::AppServiceConnection&,
                                  const Platform::AppServiceRequestReceivedEventArgs& a) {
        a.Request().SendResponseAsync(Tarvik::createResponse(true));
    });
    helper->OnBackgroundActivated({instance});
    EXPECT_EQ(instance->outstandingDeferrals(), 1);
    auto manager = OrvaneInternal::OrvaneTestManager::GetInstance();
    EXPECT_FALSE(manager->connection()->hasConnection());  // not before command 41

    const auto answer = helperSide.SendMessageAsync(Tarvik::createRequest(41)).get();
    EXPECT_EQ(answer.Message().LookupAs<int32_t>(L"response"), 0);
    // The answer goes out first, then the managers get the connection.
    EXPECT_TRUE(eventually([&] { return manager->connection()->hasConnection(); }));
    EXPECT_TRUE(OrvaneAuthManager::GetInstance()->waitForSSOListeners(std::chrono::seconds(10)));
    EXPECT_EQ(OrvaneAuthManager::GetInstance()->listenerIds().size(), 4u);

    instance->Cancel(Platform::BackgroundTaskCancellationReason::SystemPolicy);
    EXPECT_FALSE(manager->connection()->hasConnection());
    EXPECT_EQ(instance->outstandingDeferrals(), 0);
    EXPECT_EQ(exits.load(), 1);
    EXPECT_EQ(value.load(), 7);
}

namespace {

// One relay task instance for one end of an in-memory pair.
struct RelayEnd {
    RelayEnd(const hstring& caller) {
        auto [outer, inner] =
            Platform::AppServiceConnection::CreateInMemoryPair(L"svc", L"Test.Relay_1");
        remote = outer;
        instance = std::make_shared<Platform::BackgroundTaskInstance>(
            Platform::AppServiceTriggerDetails(L"svc", caller, inner));
        auto task = std::make_shared<OrvaneTRVKAppServiceTask>();
        task->Run(instance);
    }
    ~RelayEnd() { instance->Cancel(Platform::BackgroundTaskCancellationReason::Terminating); }
    Platform::AppServiceConnection remote{nullptr};
    std::shared_ptr<Platform::BackgroundTaskInstance> instance;
};

}  // namespace

TEST_F(ManualClock, RelayForwardsBothWaysAndAnswersThreeWithoutCounterpart) {
    TestSupport::TestPackage package("Test.Relay_1", false);
    auto app = std::make_unique<RelayEnd>(L"Test.Relay_1");
    // Nobody on the helper side: the request waits 5 s, then gets "response" 3.
    auto waiting = app->remote.SendMessageAsync(Tarvik::createRequest(38));
    ASSERT_TRUE(eventually([&] { return clock.pending_count() == 1; }));
    EXPECT_EQ(clock.pending().front(), Clock::duration(5s));
    clock.advance(5s);
    EXPECT_EQ(waiting.get().Message().LookupAs<int32_t>(L"response"), 3);

    auto helper = std::make_unique<RelayEnd>(L"");
    helper->remote.RequestReceived([](const Platform::AppServiceConnection&,
                                      const Platform::AppServiceRequestReceivedEventArgs& a) {
        auto r = Tarvik::createResponse(true);
        r.Insert(L"TestReponse", hstring(L"relayed"));
        a.Request().SendResponseAsync(r);
    });
    const auto relayed = app->remote.SendMessageAsync(Tarvik::createRequest(38)).get();
    EXPECT_EQ(relayed.Message().LookupAs<hstring>(L"TestReponse"), hstring(L"relayed"));

    // An answer without "response" is not forwarded.
    std::atomic<int> toApp{0};
    app->remote.RequestReceived([&](const Platform::AppServiceConnection&,
                                    const Platform::AppServiceRequestReceivedEventArgs& a) {
        ++toApp;
        a.Request().SendResponseAsync(ValueSet());
    });
    EXPECT_EQ(helper->remote.SendMessageAsync(Tarvik::createRequest(31))
                  .get()
                  .Message()
                  .LookupAs<int32_t>(L"response"),
              3);
    EXPECT_EQ(toApp.load(), 1);
}

TEST_F(ManualClock, WatchdogSendsOneExitNoticeUnlessTheHelperReturns) {
    TestSupport::TestPackage package("Test.Relay_1", false);
    RelayEnd app(L"Test.Relay_1");
    std::atomic<int> exitNotices{0};
    app.remote.RequestReceived([&](const Platform::AppServiceConnection&,
                                   const Platform::AppServiceRequestReceivedEventArgs& a) {
        if (a.Request().Message().LookupAs<int32_t>(L"command") == 42) ++exitNotices;
        a.Request().SendResponseAsync(Tarvik::createResponse(true));
    });
    {
        RelayEnd helper(L"");
    }  // the helper's task is cancelled: its slot empties and the watchdog starts
    EXPECT_TRUE(OrvaneTRVKAppServiceTask::watchdogPending());
    clock.advance(19s);
    {
        RelayEnd back(L"");  // back within 20 s: the watchdog is cancelled
        EXPECT_FALSE(OrvaneTRVKAppServiceTask::watchdogPending());
    }
    clock.advance(20s);
    ASSERT_TRUE(eventually([&] { return exitNotices.load() == 1; }));
    clock.advance(60s);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(exitNotices.load(), 1);
}

TEST_F(ManualClock, RequestWhileTheHelperIsAwaySucceedsOnceItIsBack) {
    TestSupport::TestPackage package("Test.Relay_1", false);
    RelayEnd app(L"Test.Relay_1");
    auto channel = Tarvik::TarvikAppServiceConnection::create("relayed");
    channel->setAppServiceConnection(app.remote, false);
    auto sent = channel->sendCommandAsync(Tarvik::createRequest(38));
    ASSERT_TRUE(eventually([&] { return clock.pending_count() == 1; }));
    EXPECT_EQ(clock.pending().front(), Clock::duration(5s));  // the relay waits for the helper
    clock.advance(5s);
    // "response" 3 from the relay: the channel backs off and tries again.
    ASSERT_TRUE(eventually([&] {
        return clock.pending_count() == 1 && clock.pending().front() == Clock::duration(300ms);
    }));

    std::atomic<int> executed{0};
    RelayEnd helper(L"");
    helper.remote.RequestReceived([&](const Platform::AppServiceConnection&,
                                      const Platform::AppServiceRequestReceivedEventArgs& a) {
        ++executed;
        EXPECT_TRUE(a.Request().Message().LookupAs<bool>(L"retry"));
        a.Request().SendResponseAsync(Tarvik::createResponse(true));
    });
    clock.advance(300ms);
    EXPECT_EQ(sent.get().Message().LookupAs<int32_t>(L"response"), 0);
    EXPECT_EQ(executed.load(), 1);
}

TEST(AppHelper, LauncherThatFailsFallsBackToTheProtocolLaunch) {
    TestSupport::TestPackage package("Test.Launcher_1", false);
    struct Refusing : Win32HelperLauncher {
        Platform::IAsyncOperation<bool> LaunchAsync(const hstring& text) override {
            seen = text;
            return Platform::IAsyncOperation<bool>::from_task(Platform::task_from_result(false));
        }
        hstring seen;
    };
    auto launcher = std::make_shared<Refusing>();
    auto o = options(false, 2);
    o->Win32Uri(L"unregistered");  // the fallback finds no program for this scheme
    o->Win32HelperLauncher(launcher);
    auto helper = OrvaneAppHelper::create(o);
    EXPECT_EQ(launcher->seen.to_utf8().rfind("unregistered: --pid ", 0), 0u);
    const std::string log = logOf(package);
    const auto failed = log.find("failed to launch win32 helper");
    const auto fallback = log.find("Win32HelperLauncher FAILED, trying protocol handler launch");
    const auto uri = log.find("LaunchUriAsync FAIL");
    ASSERT_NE(failed, std::string::npos);
    ASSERT_NE(fallback, std::string::npos);
    ASSERT_NE(uri, std::string::npos);
    EXPECT_LT(failed, fallback);
    EXPECT_LT(fallback, uri);
}
