// Configuration, the lock file, the app helper and the relay task inside one process.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>
#include <mutex>

#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvaneauthmanager.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/orvanetrvkappservicetask.h>
#include <TarvikFoundation/platform/applicationdata.h>
#include <TarvikFoundation/platform/appservicetransport.h>

#include "asyncwait.h"
#include "clockscope.h"
#include "common/appserviceconnectionlock.h"
#include "common/base64.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "lifecyclesupport.h"
#include "platform/appservicelistener.h"
#include "platform/startedprocesses.h"
#include "scriptedpeer.h"
#include "testchild.h"

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

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Each test owns the clock: it starts with no timer and must leave none.
class ManualClock : public ::testing::Test {
  protected:
    TestSupport::ClockScope scope;
    Clock& clock = Clock::instance();
};
class AppHelper : public ManualClock {};
// The relay's lines at the level its task takes without a level file: an app helper of
// an earlier test may have left the process's threshold above its warnings.
class Relay : public ManualClock {
  protected:
    Relay() { Tarvik::ConfigureLogger(2, "TSK"); }
};
class AppHelperRealTime : public ::testing::Test {
  protected:
    TestSupport::ClockScope scope{TestSupport::ClockScope::Mode::Real};
};

}  // namespace

// In a process of its own: nothing has set the lock path yet.
TEST(ConnectionLock, SignalBeforeAPathIsSetFails) {
    TARVIK_RUN_IN_CHILD();
    TestSupport::TempDir dir;
    const std::string log = dir.file("TRVK.log");
    Tarvik::ConfigureLogger(2, "UWP");
    Tarvik::SetLogFilePath(Platform::utf8_to_wide(log));
    EXPECT_FALSE(Tarvik::AppServiceConnectionLock::signal());
    EXPECT_TRUE(Tarvik::AppServiceConnectionLock::path().empty());
    Tarvik::CloseLogFile();
    EXPECT_NE(TestSupport::readFile(log).find(" log file empty\n"), std::string::npos);
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

TEST_F(AppHelperRealTime, RejectsIncompleteOptions) {
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

TEST_F(AppHelper, CommandLineSettingsAndLogLevelFileAsTheyStand) {
    TestSupport::TestPackage package("Test.Args_1", false);
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
    // Its first open fails (nobody listens); the retry it schedules is dropped with it.
    ASSERT_TRUE(eventually([&] { return !background->connectInProgress(); }));
    background->OnSuspending();
}

// A data folder that cannot be written (a file stands where it should be): creating the
// app helper logs what failed and returns; nothing escapes to the application.
TEST_F(AppHelper, AnUnwritableDataFolderIsLoggedAndCreatingTheAppHelperGoesOn) {
    TestSupport::TestPackage package("Test.Unwritable_1");
    boost::filesystem::remove_all(package.dir().file("data"));
    boost::filesystem::create_directories(package.dir().file("data"));
    std::ofstream(package.dir().file("data/tarvik")) << "not a folder";
    ::testing::internal::CaptureStderr();  // where lines go without a log file
    std::shared_ptr<OrvaneAppHelper> helper;
    EXPECT_NO_THROW(helper = OrvaneAppHelper::create(options(false, 0)));
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(helper);
    EXPECT_NE(said.find("Exception LaunchFullTrustProcessForCurrentAppAsync 0X80004005 "),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("cannot replace settings"), std::string::npos) << said;
}

TEST_F(AppHelper, FailedOpensRetryWithTheTableThenStop) {
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
    // The seventh failure schedules nothing. A retry is scheduled before the open counts
    // as finished, so none can appear later; time passing starts no further open.
    const auto opensEnded = [&](std::size_t n) {
        return eventually([&] {
            return countOf(logOf(package), "} OpenAsync ") == n && !helper->connectInProgress();
        });
    };
    ASSERT_TRUE(opensEnded(7));
    EXPECT_EQ(helper->retriesLeft(), 0u);
    EXPECT_EQ(clock.pending_count(), 0u);
    clock.advance(1min);
    EXPECT_EQ(countOf(logOf(package), "{ OpenAsync "), 7u) << logOf(package);
    const std::string log = logOf(package);
    EXPECT_EQ(countOf(log, "retry on FAIL #"), 6u);
    for (int n = 1; n <= 6; ++n)
        EXPECT_NE(log.find("retry on FAIL #" + std::to_string(n) + "\n"), std::string::npos) << n;

    // Resuming restores the full back-off and tries at once.
    helper->OnResuming();  // a zero delay: the clock runs it without being moved
    ASSERT_TRUE(opensEnded(8));
    ASSERT_TRUE(
        eventually([&] { return settled() && clock.pending().front() == Clock::duration(500ms); }));
    helper->OnSuspending();
    EXPECT_EQ(clock.pending_count(), 0u);

    // While suspended, a failed open schedules no retry and takes none of the count.
    const uint32_t left = helper->retriesLeft();
    helper->retryConnect();
    EXPECT_EQ(clock.pending_count(), 0u);
    helper->run();
    ASSERT_TRUE(opensEnded(9));
    EXPECT_EQ(clock.pending_count(), 0u);
    EXPECT_EQ(helper->retriesLeft(), left);
    EXPECT_EQ(countOf(logOf(package), "retry on FAIL #"), 7u);
}

// Background mode against a service of this process: the helper's connection comes
// from OpenAsync, and the helper side drives it with commands 41 and 42 and by closing.
TEST_F(AppHelper, BackgroundConnectionFollowsCommandsAndClosing) {
    TestSupport::TestPackage package("Test.Background_1", false);
    std::mutex m;
    std::vector<Platform::AppServiceConnection> served;
    auto listener = Platform::AppServiceListener::start(
        L"Test.Background_1", L"svc", [&](const Platform::AppServiceTriggerDetails& d) {
            auto c = d.Connection();
            c.RequestReceived([](const Platform::AppServiceConnection&,
                                 const Platform::AppServiceRequestReceivedEventArgs& a) {
                a.Request().SendResponseAsync(Tarvik::createResponse(true));
            });
            std::lock_guard g(m);
            served.push_back(c);
        });
    const auto servedAt = [&](std::size_t i) -> Platform::AppServiceConnection {
        std::lock_guard g(m);
        return i < served.size() ? served[i] : nullptr;
    };
    auto helper = OrvaneAppHelper::create(options(true));
    std::atomic<int> exits{0};
    helper->HelperAppExitEvent([&](const std::shared_ptr<OrvaneAppHelper>&, int32_t v) {
        EXPECT_EQ(v, 7);
        ++exits;
    });
    ASSERT_TRUE(eventually([&] {
        return servedAt(0) && helper->currentConnection() && !helper->connectInProgress();
    }));
    EXPECT_EQ(clock.pending_count(), 0u);
    const auto answerTo = [&](int32_t command) {
        auto op = servedAt(0).SendMessageAsync(Tarvik::createRequest(command));
        if (!TestSupport::endsWithin(op)) return -1;
        const auto response = op.get();
        return response.Message() ? response.Message().LookupAs<int32_t>(L"response") : -2;
    };

    // Command 42 before any 41 is answered and raises nothing.
    EXPECT_EQ(answerTo(42), 0);
    EXPECT_FALSE(helper->managersReady());
    EXPECT_EQ(exits.load(), 0);
    EXPECT_EQ(answerTo(41), 0);
    EXPECT_TRUE(helper->managersReady());
    // The managers, given the connection, register their sign-in listeners (command 35);
    // a close while they do leaves their sends backing off past the test.
    EXPECT_TRUE(OrvaneAuthManager::GetInstance()->waitForSSOListeners(std::chrono::seconds(10)));
    EXPECT_EQ(answerTo(42), 0);
    EXPECT_TRUE(eventually([&] { return exits.load() == 1; }));  // raised after the answer

    // A closed connection resets the retry count: the reopen it starts at once fails
    // and waits the first step of the back-off table, not the last one left.
    for (int i = 0; i < 5; ++i) helper->retryConnect();  // as five failed opens would
    ASSERT_EQ(helper->retriesLeft(), 1u);
    listener->stop();
    servedAt(0).Close();
    ASSERT_TRUE(eventually([&] {
        return !helper->currentConnection() && !helper->connectInProgress() &&
               clock.pending() == std::vector<Clock::duration>{Clock::duration(500ms)};
    })) << clock.pending_count();
    EXPECT_EQ(helper->retriesLeft(), OrvaneAppHelper::kMaxRetries - 1);
    helper->OnSuspending();
    EXPECT_EQ(clock.pending_count(), 0u);
    OrvaneAppHelper::distributeConnection(nullptr);
}

// A closed connection while suspended schedules nothing and says why.
TEST_F(AppHelper, ClosedConnectionWhileSuspendedDoesNotReconnect) {
    TestSupport::TestPackage package("Test.Suspended_1", false);
    // Shared with the listener's handler, which may still run as the test ends.
    struct Served {
        std::mutex m;
        Platform::AppServiceConnection server{nullptr};
    };
    auto served = std::make_shared<Served>();
    auto listener = Platform::AppServiceListener::start(
        L"Test.Suspended_1", L"svc", [served](const Platform::AppServiceTriggerDetails& d) {
            std::lock_guard g(served->m);
            served->server = d.Connection();
        });
    auto helper = OrvaneAppHelper::create(options(true));
    // The client's open may finish before the listener has handed over the server's end.
    const auto servedYet = [&] {
        std::lock_guard g(served->m);
        return bool(served->server);
    };
    ASSERT_TRUE(eventually([&] {
        return helper->currentConnection() && !helper->connectInProgress() && servedYet();
    }));
    helper->OnSuspending();
    {
        std::lock_guard g(served->m);
        served->server.Close();
    }
    ASSERT_TRUE(eventually([&] { return !helper->currentConnection(); }));
    ASSERT_TRUE(
        eventually([&] { return logOf(package).find(" !resumed\n") != std::string::npos; }));
    EXPECT_EQ(clock.pending_count(), 0u);
    OrvaneAppHelper::distributeConnection(nullptr);
}

// A helper let go of while it reopens ends with the opening: the connection it opened
// is closed, not given to the managers, which may already serve a newer helper.
TEST_F(AppHelper, AHelperReleasedWhileReopeningClosesWhatItOpened) {
    TestSupport::TestPackage package("Test.Released_1", false);
    struct Served {
        std::mutex m;
        std::vector<Platform::AppServiceConnection> connections;
        std::vector<bool> closed;
    };
    auto served = std::make_shared<Served>();
    auto listener = Platform::AppServiceListener::start(
        L"Test.Released_1", L"svc", [served](const Platform::AppServiceTriggerDetails& d) {
            auto c = d.Connection();
            c.RequestReceived([](const Platform::AppServiceConnection&,
                                 const Platform::AppServiceRequestReceivedEventArgs& a) {
                a.Request().SendResponseAsync(Tarvik::createResponse(true));
            });
            std::lock_guard g(served->m);
            const std::size_t index = served->connections.size();
            served->connections.push_back(c);
            served->closed.push_back(false);
            // Weak: the connection keeps its handler, and the record keeps the connection.
            std::weak_ptr<Served> record = served;
            c.ServiceClosed([record, index](const Platform::AppServiceConnection&,
                                            const Platform::AppServiceClosedEventArgs&) {
                if (auto s = record.lock()) {
                    std::lock_guard g(s->m);
                    s->closed[index] = true;
                }
            });
        });
    const auto count = [&] {
        std::lock_guard g(served->m);
        return served->connections.size();
    };
    // A bool, not the bit reference: it is read under the lock.
    const auto closedAt = [&](std::size_t i) -> bool {
        std::lock_guard g(served->m);
        return served->closed.at(i);
    };
    auto helper = OrvaneAppHelper::create(options(true));
    ASSERT_TRUE(eventually([&] {
        return count() == 1 && helper->currentConnection() && !helper->connectInProgress();
    }));
    Platform::AppServiceConnection first;
    {
        std::lock_guard g(served->m);
        first = served->connections[0];
    }
    auto op = first.SendMessageAsync(Tarvik::createRequest(41));
    ASSERT_TRUE(TestSupport::endsWithin(op));
    auto manager = OrvaneInternal::OrvaneTestManager::GetInstance();
    ASSERT_TRUE(eventually([&] { return manager->connection()->hasConnection(); }));

    // Reopen, and let go of the helper before the opening has ended.
    helper->run();
    std::weak_ptr<OrvaneAppHelper> released = helper;
    helper.reset();
    ASSERT_TRUE(eventually([&] { return count() == 2; }));
    EXPECT_TRUE(eventually([&] { return released.expired(); }));
    EXPECT_TRUE(eventually([&] { return closedAt(1); }));
    EXPECT_FALSE(closedAt(0));
    EXPECT_TRUE(eventually([&] {
        return logOf(package).find("app helper released while opening") != std::string::npos;
    }));
    listener->stop();
    OrvaneAppHelper::distributeConnection(nullptr);
    EXPECT_EQ(clock.pending_count(), 0u);
}

TEST_F(AppHelperRealTime, AnInProcessActivationByACallerNamingAPackageIsRefused) {
    // Another process of the user claiming the application must not become the helper.
    TestSupport::TestPackage package("Test.InProc_2", false);
    auto helper = OrvaneAppHelper::create(options(false));
    auto [appSide, strangerSide] =
        Platform::AppServiceConnection::CreateInMemoryPair(L"svc", L"Test.InProc_2");
    auto instance = std::make_shared<Platform::BackgroundTaskInstance>(
        Platform::AppServiceTriggerDetails(L"svc", L"Test.InProc_2", appSide));
    std::atomic<bool> closed{false};
    strangerSide.ServiceClosed([&](const Platform::AppServiceConnection&,
                                   const Platform::AppServiceClosedEventArgs&) { closed = true; });
    helper->OnBackgroundActivated({instance});
    EXPECT_EQ(instance->outstandingDeferrals(), 0);
    EXPECT_TRUE(eventually([&] { return closed.load(); }));
    EXPECT_FALSE(OrvaneInternal::OrvaneTestManager::GetInstance()->connection()->hasConnection());
    EXPECT_NE(logOf(package).find("activation refused"), std::string::npos);
}

TEST_F(AppHelperRealTime, InProcessActivationGivesManagersTheConnectionAfterReconnected) {
    TestSupport::TestPackage package("Test.InProc_1", false);
    auto helper = OrvaneAppHelper::create(options(false));
    std::atomic<int> exits{0}, value{0};
    helper->HelperAppExitEvent([&](const std::shared_ptr<OrvaneAppHelper>&, int32_t v) {
        ++exits;
        value = v;
    });
    // Building the command line sets the lock file of this helper.
    helper->getHelperArgs();
    const std::string lock = Platform::wide_to_utf8(Tarvik::AppServiceConnectionLock::path());
    ASSERT_TRUE(boost::filesystem::remove(lock));

    const auto activate = [&] {
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
        return std::make_pair(instance, helperSide);
    };
    const auto answerTo = [](const Platform::AppServiceConnection& c, int32_t command) {
        auto op = c.SendMessageAsync(Tarvik::createRequest(command));
        if (!TestSupport::endsWithin(op)) return -1;
        const auto response = op.get();
        return response.Message() ? response.Message().LookupAs<int32_t>(L"response") : -2;
    };
    auto manager = OrvaneInternal::OrvaneTestManager::GetInstance();

    // Terminating: the helper side is told nothing through the lock file.
    auto [first, firstHelper] = activate();
    EXPECT_EQ(first->outstandingDeferrals(), 1);
    EXPECT_EQ(answerTo(firstHelper, 42), 0);  // before any 41: no event
    first->Cancel(Platform::BackgroundTaskCancellationReason::Terminating);
    EXPECT_EQ(first->outstandingDeferrals(), 0);
    EXPECT_FALSE(boost::filesystem::exists(lock));
    EXPECT_EQ(exits.load(), 0);

    auto [instance, helperSide] = activate();
    EXPECT_FALSE(manager->connection()->hasConnection());  // not before command 41
    EXPECT_EQ(answerTo(helperSide, 41), 0);
    // The answer goes out first, then the managers get the connection.
    EXPECT_TRUE(eventually([&] { return manager->connection()->hasConnection(); }));
    EXPECT_TRUE(OrvaneAuthManager::GetInstance()->waitForSSOListeners(std::chrono::seconds(10)));
    EXPECT_EQ(OrvaneAuthManager::GetInstance()->listenerIds().size(), 4u);

    // Any other reason signals the lock file; SystemPolicy also says the helper is gone.
    instance->Cancel(Platform::BackgroundTaskCancellationReason::SystemPolicy);
    EXPECT_FALSE(manager->connection()->hasConnection());
    EXPECT_EQ(instance->outstandingDeferrals(), 0);
    EXPECT_EQ(TestSupport::readFile(lock), std::string(4, '\0'));
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

// Answers every request with "response" 0 and `from` under "from"; counts them.
Platform::event_token answerAs(RelayEnd& end, const wchar_t* from, std::atomic<int>& count) {
    return end.remote.RequestReceived(
        [from, &count](const Platform::AppServiceConnection&,
                       const Platform::AppServiceRequestReceivedEventArgs& a) {
            ++count;
            auto r = Tarvik::createResponse(true);
            r.Insert(L"from", hstring(from));
            a.Request().SendResponseAsync(r);
        });
}

// What a request sent from `end` gets back: the "response" value and the "from" text.
std::pair<int32_t, std::string> exchange(RelayEnd& end, int32_t command) {
    auto op = end.remote.SendMessageAsync(Tarvik::createRequest(command));
    if (!TestSupport::endsWithin(op)) return {-1, "no answer in time"};
    const auto m = op.get().Message();
    if (!m) return {-2, "no message"};
    return {m.LookupAs<int32_t>(L"response"),
            m.HasKey(L"from") ? m.LookupAs<hstring>(L"from").to_utf8() : ""};
}

// Once every end is gone: a helper slot emptied last has started the watchdog; let it
// run out so no timer outlives the test. An end cancelled while a relay held the lock
// empties its slot later, on the pool: wait for that first.
void drainWatchdog(Clock& clock) {
    ASSERT_TRUE(eventually([] {
        return !OrvaneTRVKAppServiceTask::hasUwpConnection() &&
               !OrvaneTRVKAppServiceTask::hasWin32Connection();
    }));
    if (OrvaneTRVKAppServiceTask::watchdogPending())
        clock.advance(OrvaneTRVKAppServiceTask::kWatchdogDelay);
    ASSERT_TRUE(eventually([] { return !OrvaneTRVKAppServiceTask::watchdogPending(); }));
}

}  // namespace

TEST_F(Relay, ForwardsBothWaysAndAnswersThreeWithoutCounterpart) {
    TestSupport::TestPackage package("Test.Relay_1", false);
    auto app = std::make_unique<RelayEnd>(L"Test.Relay_1");
    // Nobody on the helper side: the request waits 5 s, then gets "response" 3.
    auto waiting = app->remote.SendMessageAsync(Tarvik::createRequest(38));
    ASSERT_TRUE(eventually([&] { return clock.pending_count() == 1; }));
    EXPECT_EQ(clock.pending().front(), Clock::duration(5s));
    clock.advance(5s);
    ASSERT_TRUE(TestSupport::endsWithin(waiting));
    EXPECT_EQ(waiting.get().Message().LookupAs<int32_t>(L"response"), 3);
    // The request came without an id.
    EXPECT_TRUE(eventually([&] {
        return package.logs().find(" Unable to relay msg -1 from UWP\n") != std::string::npos;
    })) << package.logs();

    auto helper = std::make_unique<RelayEnd>(L"");
    std::atomic<int> toHelper{0}, toApp{0};
    answerAs(*helper, L"helper", toHelper);
    const auto appAnswers = answerAs(*app, L"app", toApp);
    EXPECT_EQ(exchange(*app, 38), std::make_pair(0, std::string("helper")));
    EXPECT_EQ(exchange(*helper, 31), std::make_pair(0, std::string("app")));
    EXPECT_EQ(toHelper.load(), 1);
    EXPECT_EQ(toApp.load(), 1);

    // An answer without "response" is not forwarded: the sender gets 3.
    app->remote.RequestReceived(appAnswers);
    app->remote.RequestReceived([&](const Platform::AppServiceConnection&,
                                    const Platform::AppServiceRequestReceivedEventArgs& a) {
        ++toApp;
        a.Request().SendResponseAsync(ValueSet());
    });
    EXPECT_EQ(exchange(*helper, 31).first, 3);
    EXPECT_EQ(toApp.load(), 2);

    helper.reset();
    app.reset();
    drainWatchdog(clock);
}

TEST_F(Relay, ASecondApplicationConnectionReplacesTheFirst) {
    TestSupport::TestPackage package("Test.Relay_1", false);
    std::atomic<int> toFirst{0}, toSecond{0}, toHelper{0};
    {
        RelayEnd first(L"Test.Relay_1");
        RelayEnd helper(L"");
        answerAs(first, L"first", toFirst);
        answerAs(helper, L"helper", toHelper);
        EXPECT_EQ(exchange(helper, 31), std::make_pair(0, std::string("first")));
        {
            RelayEnd second(L"Test.Relay_1");
            answerAs(second, L"second", toSecond);
            EXPECT_EQ(exchange(helper, 31), std::make_pair(0, std::string("second")));
            EXPECT_EQ(exchange(second, 38), std::make_pair(0, std::string("helper")));
        }
        EXPECT_EQ(toFirst.load(), 1);
        EXPECT_EQ(toSecond.load(), 1);
        EXPECT_EQ(toHelper.load(), 1);
    }
    drainWatchdog(clock);
}

TEST_F(Relay, CancellationWhileARequestWaitsForTheOtherSideEndsTheWait) {
    TestSupport::TestPackage package("Test.Relay_1", false);
    auto app = std::make_unique<RelayEnd>(L"Test.Relay_1");
    auto waiting = app->remote.SendMessageAsync(Tarvik::createRequest(38));
    ASSERT_TRUE(eventually([&] { return clock.pending_count() == 1; }));
    app->instance->Cancel(Platform::BackgroundTaskCancellationReason::Terminating);
    // No time passes: the cancellation alone ends the wait.
    ASSERT_TRUE(TestSupport::endsWithin(waiting));
    EXPECT_TRUE(eventually([&] {
        return package.logs().find("task cancelled while wait for relay") != std::string::npos;
    }));
    EXPECT_TRUE(eventually([&] { return clock.pending_count() == 0; }));
    EXPECT_EQ(app->instance->outstandingDeferrals(), 0);
    // Cancelled while the waiting relay held the lock: the slot empties on the pool.
    EXPECT_TRUE(eventually([] { return !OrvaneTRVKAppServiceTask::hasUwpConnection(); }));
}

TEST_F(Relay, CancellationOfAnInstanceWithoutConnectionCompletesItsDeferral) {
    TestSupport::TestPackage package("Test.Relay_1", false);
    auto instance = std::make_shared<Platform::BackgroundTaskInstance>(
        Platform::AppServiceTriggerDetails(L"svc", L"Test.Relay_1", nullptr));
    auto task = std::make_shared<OrvaneTRVKAppServiceTask>();
    // Run takes the deferral, then fails to listen on the missing connection.
    EXPECT_ANY_THROW(task->Run(instance));
    EXPECT_EQ(instance->outstandingDeferrals(), 1);
    instance->Cancel(Platform::BackgroundTaskCancellationReason::Terminating);
    EXPECT_EQ(instance->outstandingDeferrals(), 0);
    EXPECT_NE(package.logs().find("task cancel before run"), std::string::npos);
}

// In a process of its own: the task reads the level file once per process.
TEST(RelayLog, TheTaskTakesItsLevelFromTheFileAndDeletesIt) {
    TARVIK_RUN_IN_CHILD();
    TestSupport::TestPackage package("Test.Relay_1", false);
    boost::filesystem::create_directories(package.temporaryFolder());
    const std::string levelFile = package.temporaryFolder() + "/logLevel.txt";
    std::ofstream(levelFile) << "3 0\n";
    OrvaneTRVKAppServiceTask task;
    EXPECT_FALSE(boost::filesystem::exists(levelFile));
    EXPECT_EQ(Tarvik::GetLogThreshold(), 3u);
    EXPECT_EQ(Platform::wide_to_utf8(Tarvik::GetLogFilePath()),
              package.temporaryFolder() + "/TRVKBackgroundTask.log");
}

TEST_F(Relay, WatchdogSendsOneExitNoticeUnlessTheHelperReturns) {
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
    EXPECT_EQ(clock.pending(), std::vector<Clock::duration>{Clock::duration(20s)});
    clock.advance(19s);
    {
        RelayEnd back(L"");  // back within 20 s: the watchdog is cancelled
        EXPECT_FALSE(OrvaneTRVKAppServiceTask::watchdogPending());
        EXPECT_EQ(clock.pending_count(), 0u);
    }
    clock.advance(20s);
    ASSERT_TRUE(eventually([&] { return exitNotices.load() == 1; }));
    // Nothing is left to fire: however much time passes, no second notice.
    ASSERT_TRUE(eventually([] { return !OrvaneTRVKAppServiceTask::watchdogPending(); }));
    EXPECT_EQ(clock.pending_count(), 0u);
    clock.advance(60s);
    EXPECT_EQ(exitNotices.load(), 1);
}

TEST_F(Relay, RequestWhileTheHelperIsAwaySucceedsOnceItIsBack) {
    TestSupport::TestPackage package("Test.Relay_1", false);
    {
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
        ASSERT_TRUE(eventually([&] { return sent.status() != Platform::task_status::pending; }));
        EXPECT_EQ(sent.get().Message().LookupAs<int32_t>(L"response"), 0);
        EXPECT_EQ(executed.load(), 1);
        channel->setAppServiceConnection(nullptr, false);
    }
    drainWatchdog(clock);
}

TEST_F(AppHelperRealTime, LauncherThatFailsFallsBackToTheProtocolLaunch) {
    // The scheme's program writes the text it was started with, then stays until let go:
    // alive, the launch can record it, which is the launch's last step.
    TestSupport::TempDir tools;
    const std::string recorder = tools.file("record.sh");
    const std::string recorded = tools.file("uri.txt");
    const std::string letGo = tools.file("go");
    std::ofstream(recorder) << "#!/bin/sh\nprintf '%s' \"$1\" > " << recorded << ".part && mv "
                            << recorded << ".part " << recorded << "\nwhile [ ! -e " << letGo
                            << " ]; do sleep 0.01; done\n";
    ::chmod(recorder.c_str(), 0755);
    struct LetGo {
        const std::string& path;
        ~LetGo() { std::ofstream{path}; }
    } letGoAtEnd{letGo};
    TestSupport::TestPackage package("Test.Launcher_1", false, {{"tarvik-record", recorder}});
    struct Refusing : Win32HelperLauncher {
        Platform::IAsyncOperation<bool> LaunchAsync(const hstring& text) override {
            seen = text;
            return Platform::IAsyncOperation<bool>::from_task(Platform::task_from_result(false));
        }
        hstring seen;
    };
    auto launcher = std::make_shared<Refusing>();
    auto o = options(false, 2);
    o->Win32Uri(L"tarvik-record");
    o->Win32HelperLauncher(launcher);
    auto helper = OrvaneAppHelper::create(o);
    EXPECT_EQ(launcher->seen.to_utf8().rfind("tarvik-record: --pid ", 0), 0u);
    ASSERT_TRUE(eventually([&] { return boost::filesystem::exists(recorded); }));
    EXPECT_EQ(TestSupport::readFile(recorded), launcher->seen.to_utf8());
    // The launch still runs on the pool: it must end before the next test changes the
    // environment it reads.
    const auto running = [] {
        return Platform::StartedProcesses::anyLive(L"Test.Launcher_1",
                                                   Platform::StartedProcesses::Role::Helper);
    };
    EXPECT_TRUE(eventually(running));
    const std::string log = logOf(package);
    const auto failed = log.find("failed to launch win32 helper");
    const auto fallback = log.find("Win32HelperLauncher FAILED, trying protocol handler launch");
    ASSERT_NE(failed, std::string::npos);
    ASSERT_NE(fallback, std::string::npos);
    EXPECT_LT(failed, fallback);
    EXPECT_EQ(log.find("LaunchUriAsync FAIL"), std::string::npos);
    std::ofstream{letGo};
    EXPECT_TRUE(eventually([&] { return !running(); }));  // reaped: nothing left running
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
        drainWatchdog(clock);
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
    // The woken relay answers 3; wait for it, or its line lands in the next test's log.
    EXPECT_TRUE(eventually([&] {
        return package.logs().find("send connection re-establish") != std::string::npos;
    })) << package.logs();
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
    EXPECT_EQ(log.find("send connection re-establish"), std::string::npos) << log;  // relayed
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
