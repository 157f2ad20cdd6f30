// The whole system across processes: application, tarvik-apphost and tarvik-helper.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/platform/backgroundtask.h>

#include "common/logger.h"
#include "lifecyclesupport.h"

using namespace TarvikFoundation;
using namespace std::chrono_literals;
using Platform::hstring;
using TestSupport::eventually;

namespace {

std::shared_ptr<TRVKConfigOptions> options(bool background) {
    auto o = std::make_shared<TRVKConfigOptions>();
    o->Win32Uri(L"tarvik-test");
    o->AppServiceName(L"svc");
    o->ClientId(L"client-1");
    o->AppServiceInBackground(background);
    o->ReconnectInterval(1);
    return o;
}

// The helper's process id, from the line it logs at start.
long helperPid(const TestSupport::TestPackage& p) {
    const std::string log = TestSupport::readFile(p.temporaryFolder() + "/Win32Helper.log");
    const auto at = log.find(" start_W32 ");
    return at == std::string::npos ? 0 : std::atol(log.c_str() + at + 11);
}

}  // namespace

// Both topologies in one program, background mode first; each kills what it started.
TEST(Processes, BackgroundModeRelaysThroughTheAppHostAndReportsAHelperGone) {
    // Twenty times faster in every process, so the 20 s watchdog takes one second.
    ::setenv("TARVIK_CLOCK_SCALE", "20", 1);
    Platform::Clock::instance().set_scaled(20);
    TestSupport::TestPackage package("Test.Processes_bg");
    Platform::Application::Create();
    auto helper = OrvaneAppHelper::create(options(true));
    std::atomic<int> exits{0};
    helper->HelperAppExitEvent([&](const std::shared_ptr<OrvaneAppHelper>&, int32_t v) {
        EXPECT_EQ(v, 7);
        ++exits;
    });
    ASSERT_TRUE(eventually([&] { return helper->managersReady(); }, 20s)) << package.logs();
    auto test = OrvaneInternal::OrvaneTestManager::GetInstance();
    EXPECT_EQ(test->TestDelayApi(20).get(), hstring(L"Delayed 20 ms"));

    const long pid = helperPid(package);
    ASSERT_GT(pid, 0);
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    EXPECT_TRUE(eventually([&] { return exits.load() == 1; }, 10s)) << package.logs();
    std::this_thread::sleep_for(1500ms);  // another watchdog period: still one notice
    EXPECT_EQ(exits.load(), 1);
    const std::string relayLog =
        TestSupport::readFile(package.temporaryFolder() + "/TRVKBackgroundTask.log");
    EXPECT_NE(relayLog.find("send kWin32Exited -> UWP"), std::string::npos);
    // Nothing of this test may go on past it: suspended, the application opens no new
    // connection (nor starts an app host) while the environment changes back, and the
    // managers let go of the app host's connection, which the next test must not find.
    helper->OnSuspending();
    OrvaneAppHelper::distributeConnection(nullptr);
    EXPECT_TRUE(eventually([&] { return !helper->connectInProgress(); }));
    Platform::Clock::instance().set_real();
    ::unsetenv("TARVIK_CLOCK_SCALE");
}

TEST(Processes, InProcessModeHelperConnectsToTheApplication) {
    TestSupport::TestPackage package("Test.Processes_ip", false);
    std::shared_ptr<OrvaneAppHelper> helper;
    std::mutex m;
    // The application hosts its own app service and forwards activations.
    auto host = Platform::AppServiceTaskHost::start(
        L"Test.Processes_ip", L"svc", [&](const Platform::BackgroundActivatedEventArgs& a) {
            std::lock_guard g(m);
            if (helper) helper->OnBackgroundActivated(a);
        });
    {
        std::lock_guard g(m);
        helper = OrvaneAppHelper::create(options(false));
    }
    auto test = OrvaneInternal::OrvaneTestManager::GetInstance();
    ASSERT_TRUE(eventually([&] { return test->connection()->hasConnection(); }, 20s))
        << package.logs();
    EXPECT_EQ(test->TestDelayApiExt(10, 5).get(), hstring(L"Delayed 10 ms value 5"));
    const std::string lock =
        package.dataFolder() + "/LocalCache/" + helper->startStamp() + "connect.lock";
    EXPECT_EQ(TestSupport::readFile(lock), std::string(4, '\0'));
    test->TestAppExitApi();
    EXPECT_TRUE(eventually([&] { return !test->connection()->hasConnection(); }, 10s));
    host->stop();
}
