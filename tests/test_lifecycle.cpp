// Configuration, the lock file, the app helper and the relay task inside one process.
#include <gtest/gtest.h>

#include <future>

#include "common/appserviceconnectionlock.h"
#include "common/base64.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "lifecyclesupport.h"
#include "platform/applicationdata.h"
#include "platform/appservicetransport.h"
#include "scriptedpeer.h"
#include "tarvikfoundation/orvaneapphelper.h"
#include "tarvikfoundation/orvaneauthmanager.h"
#include "tarvikfoundation/orvanetestmanager.h"
#include "tarvikfoundation/orvanetrvkappservicetask.h"

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
    // The fallback follows the launcher's result, after the constructor.
    ASSERT_TRUE(eventually(
        [&] { return logOf(package).find("LaunchUriAsync FAIL") != std::string::npos; }));
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

// Deriving from the app helper, its launcher and its reconnect timer; the relay's lock,
// its cancellation and its answers.

namespace {

// Answers command 99 itself and passes every other request to the app helper.
class AnsweringHelper : public OrvaneAppHelper {
  public:
    AnsweringHelper(Key key, std::atomic<int>& seen) : OrvaneAppHelper(key), seen_(seen) {}

  protected:
    void onRequestReceived(const Platform::AppServiceConnection& sender,
                           const Platform::AppServiceRequestReceivedEventArgs& args) override {
        ++seen_;
        if (args.Request().Message().LookupAs<int32_t>(L"command") != 99)
            return OrvaneAppHelper::onRequestReceived(sender, args);
        auto answer = Tarvik::createResponse(true);
        answer.Insert(L"answeredBy", hstring(L"derived"));
        args.Request().SendResponseAsync(answer);
    }

  private:
    std::atomic<int>& seen_;
};

class HelperAndRelay : public ::testing::Test {
  protected:
    void SetUp() override {
        clock.set_manual();
        OrvaneTRVKAppServiceTask::initLog();
        Tarvik::ConfigureLogger(1, "TSK");
    }
    void TearDown() override {
        // A helper's slot emptied in a test leaves the watchdog, which finds nobody; a
        // slot emptied once the relay lock was free may start it a little later.
        EXPECT_TRUE(eventually([&] {
            clock.advance(OrvaneTRVKAppServiceTask::kWatchdogDelay);
            return !OrvaneTRVKAppServiceTask::watchdogPending();
        }));
        clock.set_real();
    }
    Clock& clock = Clock::instance();
};

// A transport the test drives: it delivers requests itself and decides what each send
// does.
class DrivenTransport : public Platform::AppServiceTransport {
  public:
    using Send =
        std::function<Platform::AppServiceResponseStatus(uint64_t sequence, const ValueSet&)>;
    DrivenTransport(Send request, Send response)
        : onRequest_(std::move(request)), onResponse_(std::move(response)) {}
    void start(std::weak_ptr<Sink> sink) override {
        std::lock_guard g(m_);
        sink_ = std::move(sink);
    }
    Platform::AppServiceResponseStatus sendRequest(uint64_t sequence,
                                                   const ValueSet& message) override {
        return onRequest_(sequence, message);
    }
    Platform::AppServiceResponseStatus sendResponse(uint64_t sequence,
                                                    Platform::AppServiceResponseStatus,
                                                    const ValueSet& message) override {
        return onResponse_(sequence, message);
    }
    void close() override {}
    void deliver(uint64_t sequence, const ValueSet& request) {
        std::shared_ptr<Sink> sink;
        {
            std::lock_guard g(m_);
            sink = sink_.lock();
        }
        ASSERT_TRUE(sink);
        sink->onRequestFrame(sequence, request.Clone());
    }

  private:
    Send onRequest_, onResponse_;
    std::mutex m_;
    std::weak_ptr<Sink> sink_;
};

// One relay task instance on a given connection, with the task at hand.
struct TaskOn {
    TaskOn(const hstring& caller, const Platform::AppServiceConnection& inner)
        : instance(std::make_shared<Platform::BackgroundTaskInstance>(
              Platform::AppServiceTriggerDetails(L"svc", caller, inner))),
          task(std::make_shared<OrvaneTRVKAppServiceTask>()) {
        task->Run(instance);
    }
    ~TaskOn() { instance->Cancel(Platform::BackgroundTaskCancellationReason::Terminating); }
    std::shared_ptr<Platform::BackgroundTaskInstance> instance;
    std::shared_ptr<OrvaneTRVKAppServiceTask> task;
};

// One relay task instance for one end of an in-memory pair.
struct PairedTask {
    explicit PairedTask(const hstring& caller)
        : ends(Platform::AppServiceConnection::CreateInMemoryPair(L"svc", L"Test.Relay_2")),
          on(caller, ends.second) {}
    const Platform::AppServiceConnection& remote() const { return ends.first; }
    std::pair<Platform::AppServiceConnection, Platform::AppServiceConnection> ends;
    TaskOn on;
};

}  // namespace

TEST(AppHelperDerived, ADerivedHelperMadeFromTheOptionsGetsTheRequests) {
    TestSupport::TestPackage package("Test.Derived_1", false);
    std::atomic<int> seen{0};
    std::shared_ptr<AnsweringHelper> helper =
        OrvaneAppHelper::create<AnsweringHelper>(options(false), seen);
    auto [appSide, helperSide] =
        Platform::AppServiceConnection::CreateInMemoryPair(L"svc", L"Test.Derived_1");
    auto instance = std::make_shared<Platform::BackgroundTaskInstance>(
        Platform::AppServiceTriggerDetails(L"svc", L"", appSide));
    helper->OnBackgroundActivated({instance});
    const auto own = helperSide.SendMessageAsync(Tarvik::createRequest(99)).get();
    ASSERT_TRUE(own.Message());
    EXPECT_EQ(own.Message().LookupAs<hstring>(L"answeredBy"), hstring(L"derived"));
    // What the derived class passes on is answered as before.
    const auto passed = helperSide.SendMessageAsync(Tarvik::createRequest(42)).get();
    ASSERT_TRUE(passed.Message());
    EXPECT_EQ(passed.Message().LookupAs<int32_t>(L"response"), 0);
    EXPECT_EQ(seen.load(), 2);
    EXPECT_THROW(OrvaneAppHelper::create<AnsweringHelper>(nullptr, seen),
                 Platform::hresult_invalid_argument);
    instance->Cancel(Platform::BackgroundTaskCancellationReason::Terminating);
    EXPECT_EQ(instance->outstandingDeferrals(), 0);
}

TEST(AppHelperLauncher, TheConstructorDoesNotWaitForTheLaunchersResult) {
    TestSupport::TestPackage package("Test.Launcher_2", false);
    struct Pending : Win32HelperLauncher {
        Platform::IAsyncOperation<bool> LaunchAsync(const hstring&) override {
            return Platform::IAsyncOperation<bool>::from_task(result.get_task());
        }
        Platform::task_completion_event<bool> result;
    };
    auto launcher = std::make_shared<Pending>();
    auto o = options(false, 2);
    o->Win32Uri(L"unregistered");  // the fallback finds no program for this scheme
    o->Win32HelperLauncher(launcher);
    auto creating = std::async(std::launch::async, [&] { return OrvaneAppHelper::create(o); });
    const bool returned = creating.wait_for(10s) == std::future_status::ready;
    const bool fellBackEarly =
        logOf(package).find("trying protocol handler launch") != std::string::npos;
    launcher->result.set(false);  // lets a constructor that waits go on, too
    EXPECT_TRUE(returned) << "the constructor waited for the launcher";
    EXPECT_FALSE(fellBackEarly);
    auto helper = creating.get();
    ASSERT_TRUE(eventually(
        [&] { return logOf(package).find("LaunchUriAsync FAIL") != std::string::npos; }));
    const std::string log = logOf(package);
    const auto failed = log.find("failed to launch win32 helper");
    const auto fallback = log.find("Win32HelperLauncher FAILED, trying protocol handler launch");
    ASSERT_NE(failed, std::string::npos);
    ASSERT_NE(fallback, std::string::npos);
    EXPECT_LT(failed, fallback);
    EXPECT_LT(fallback, log.find("LaunchUriAsync FAIL"));
}

TEST_F(HelperAndRelay, TheReconnectTimerLinesNameTheTimer) {
    TestSupport::TestPackage package("Test.Timer_1", false);  // nobody listens
    auto o = options(true);
    o->LogLevel(1);
    auto helper = OrvaneAppHelper::create(o);
    // The failed open schedules a retry after 0.5 s; suspending cancels it.
    ASSERT_TRUE(eventually([&] {
        return !helper->connectInProgress() &&
               logOf(package).find("scheduled timer ") != std::string::npos;
    }));
    helper->OnSuspending();
    const std::string log = logOf(package);
    const auto valueAfter = [&](const std::string& text) {
        const auto at = log.find(text);
        if (at == std::string::npos) return std::string("(no line)");
        const auto start = at + text.size();
        return log.substr(start, log.find('\n', start) - start);
    };
    const std::string scheduled = valueAfter("scheduled timer ");
    EXPECT_EQ(valueAfter("cancel periodic timer "), scheduled);
    EXPECT_NE(scheduled, "0");
    EXPECT_NE(scheduled, "1f4");  // the delay, 500 ms
}

TEST_F(HelperAndRelay, AWaitingRelayIsWokenWhenItsInstanceIsCancelled) {
    TestSupport::TestPackage package("Test.Relay_2", false);
    // Time nearly stands still: the relay's own 5 s would last for weeks, so only a
    // wake-up ends its wait.
    clock.set_scaled(1e-6);
    auto app = std::make_unique<PairedTask>(L"Test.Relay_2");
    auto waiting = app->remote().SendMessageAsync(Tarvik::createRequest(38));
    // Time for the relay to begin waiting for the helper; a relay that came later would
    // see the cancellation at once and the test could not tell.
    std::this_thread::sleep_for(200ms);
    app.reset();  // cancels the instance
    const bool woken = eventually([&] {
        return package.logs().find("task cancelled while wait for relay") != std::string::npos;
    });
    {
        PairedTask other(L"Test.Relay_2");  // a filled slot wakes a relay left waiting
    }
    EXPECT_TRUE(woken) << package.logs();
    clock.set_manual();
}

TEST_F(HelperAndRelay, AnAnswerThatCannotBeSentBackIsLoggedAsSuch) {
    TestSupport::TestPackage package("Test.Relay_3", false);
    std::atomic<int> answers{0};
    auto transport = std::make_shared<DrivenTransport>(
        [](uint64_t, const ValueSet&) { return Platform::AppServiceResponseStatus::Failure; },
        [&](uint64_t, const ValueSet&) -> Platform::AppServiceResponseStatus {
            ++answers;
            throw Platform::hresult_error(Platform::E_FAIL_, L"cannot answer");
        });
    TaskOn app(L"Test.Relay_3",
               Platform::AppServiceConnection::FromTransport(transport, L"svc", L"Test.Relay_3"));
    PairedTask helper(L"");
    helper.remote().RequestReceived([](const Platform::AppServiceConnection&,
                                       const Platform::AppServiceRequestReceivedEventArgs& a) {
        a.Request().SendResponseAsync(Tarvik::createResponse(true));
    });
    ValueSet request = Tarvik::createRequest(38);
    request.Insert(L"commandId", uint64_t{8801});
    transport->deliver(1, request);
    ASSERT_TRUE(eventually([&] { return answers.load() == 1; }));
    ASSERT_TRUE(eventually([&] {
        return package.logs().find("Exception in relay back\n") != std::string::npos;
    })) << package.logs();
    const std::string log = package.logs();
    EXPECT_EQ(log.find("Exception 8801"), std::string::npos);
    EXPECT_EQ(log.find("send connection re-establish"), std::string::npos);  // relayed
}

// Also under the thread sanitizer: the connection must not change under a relay.
TEST_F(HelperAndRelay,
       ACancellationWhileARelayHoldsTheLockWaitsForNothingAndChangesNothingUnderIt) {
    TestSupport::TestPackage package("Test.Relay_4", false);
    std::promise<void> entered;
    std::atomic<bool> open{false};
    std::promise<bool> ownDuringSend;
    std::shared_ptr<OrvaneTRVKAppServiceTask> appTask;
    // The helper's end holds the relay's send until the test opens it. `open` is read
    // relaxed on purpose: it orders nothing, so the sanitizer sees any write of the
    // cancellation that the relay does not see through the lock.
    auto gate = std::make_shared<DrivenTransport>(
        [&](uint64_t, const ValueSet&) {
            entered.set_value();
            const auto until = std::chrono::steady_clock::now() + 10s;
            while (!open.load(std::memory_order_relaxed) &&
                   std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            ownDuringSend.set_value(appTask->hasConnection());
            return Platform::AppServiceResponseStatus::Failure;
        },
        [](uint64_t, const ValueSet&) { return Platform::AppServiceResponseStatus::Failure; });
    TaskOn helper(L"", Platform::AppServiceConnection::FromTransport(gate, L"svc", L""));
    auto app = std::make_unique<PairedTask>(L"Test.Relay_4");
    appTask = app->on.task;
    auto sent = app->remote().SendMessageAsync(Tarvik::createRequest(38));
    ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);
    // The relay that is starting holds the relay lock: the cancellation only tries it.
    auto instance = app->on.instance;
    instance->Cancel(Platform::BackgroundTaskCancellationReason::Terminating);
    EXPECT_EQ(instance->outstandingDeferrals(), 0);
    open.store(true, std::memory_order_relaxed);
    auto own = ownDuringSend.get_future();
    ASSERT_EQ(own.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(own.get()) << "the connection was cleared while the relay held the lock";
    // Once the lock is free the slot empties.
    EXPECT_TRUE(eventually([&] {
        return !OrvaneTRVKAppServiceTask::hasUwpConnection() && !appTask->hasConnection();
    }));
    EXPECT_NE(package.logs().find("break potential deadlock"), std::string::npos);
    // The application's end closed under its request.
    ASSERT_TRUE(eventually([&] { return sent.Status() == Platform::AsyncStatus::Completed; }));
    EXPECT_EQ(sent.get().Status(), Platform::AppServiceResponseStatus::Unknown);
}
