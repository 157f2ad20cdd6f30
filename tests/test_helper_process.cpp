// The library and the reference helper in two processes over a real Unix socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <future>

#include <TarvikFoundation/orvanetestmanager.h>

#include "common/base64.h"
#include "helperapp.h"
#include "platform/appservicelistener.h"
#include "testsupport.h"

using namespace Platform;
using namespace std::chrono_literals;

namespace {

// Waits up to `limit` for the child; kills it when it overstays.
int reap(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -2;
}

}  // namespace

TEST(HelperProcess, DelayApiAndExitOverARealSocket) {
    TestSupport::TempDir dir;
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    std::promise<AppServiceConnection> connected;
    auto listener =
        AppServiceListener::start(L"test.pfn", L"svc", [&](const AppServiceTriggerDetails& d) {
            EXPECT_EQ(d.CallerPackageFamilyName(), hstring());  // the helper announces no package
            connected.set_value(d.Connection());
        });
    const pid_t helper =
        TestSupport::spawn({"--package", Tarvik::Base64::encode("test.pfn"), "--service",
                            Tarvik::Base64::encode("svc"), "--log", dir.file("Win32Helper.log")});
    auto future = connected.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    auto connection = future.get();

    auto manager = TarvikFoundation::OrvaneInternal::OrvaneTestManager::GetInstance();
    manager->setAppServiceConnection(connection, false);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(manager->TestDelayApi(500).get(), hstring(L"Delayed 500 ms"));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 500ms);  // the helper really waited
    EXPECT_EQ(manager->TestDelayApiExt(0, 77).get(), hstring(L"Delayed 0 ms value 77"));

    std::promise<void> closed;
    connection.ServiceClosed(
        [&](const AppServiceConnection&, const AppServiceClosedEventArgs&) { closed.set_value(); });
    manager->TestAppExitApi();
    EXPECT_EQ(reap(helper, 10s), 0);
    EXPECT_EQ(closed.get_future().wait_for(5s), std::future_status::ready);
    manager->setAppServiceConnection(nullptr, false);

    const std::string log = TestSupport::readFile(dir.file("Win32Helper.log"));
    EXPECT_NE(log.find("start_W32"), std::string::npos);
    EXPECT_NE(log.find("exit requested by the application"), std::string::npos);
}

TEST(HelperProcess, RejectsABadCommandLine) {
    EXPECT_EQ(reap(TestSupport::spawn({"--package"}), 10s), 2);
    EXPECT_EQ(reap(TestSupport::spawn({"--package", "not base64!", "--service", "cw=="}), 10s), 2);
    // A package name that climbs out of the folders it names.
    for (const char* family : {"../Other", "Pkg/../..", ".hidden"})
        EXPECT_EQ(reap(TestSupport::spawn(
                           {"--package", Tarvik::Base64::encode(family), "--service", "cw=="}),
                       10s),
                  2)
            << family;
    EXPECT_EQ(
        reap(TestSupport::spawn({"--package", "cA==", "--service", "cw==", "--logLevel", "x"}),
             10s),
        2);
}

// Unconfined as well, a process of the user that nobody started for the package cannot
// take the helper's place: started by no launcher and not by the listening process.
TEST(HelperProcess, AStrayHelperThatNobodyStartedIsRefused) {
    TestSupport::TempDir dir;
    ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    std::atomic<int> accepted{0};
    auto listener = AppServiceListener::start(L"stray.pfn", L"svc",
                                              [&](const AppServiceTriggerDetails&) { ++accepted; });
    // setsid -f leaves the helper to the init process: not a descendant of this one.
    const std::string log = dir.file("stray.log");
    const std::string command = "setsid -f " + std::string(TARVIK_HELPER_PATH) + " --pid " +
                                std::to_string(::getpid()) + " --package " +
                                Tarvik::Base64::encode("stray.pfn") + " --service " +
                                Tarvik::Base64::encode("svc") + " --log " + log;
    ASSERT_EQ(std::system(command.c_str()), 0);
    const bool refused = TestSupport::eventually(
        [&] { return TestSupport::readFile(log).find("status 7") != std::string::npos; }, 20s);
    // The helper's pid is on its log's first line; it would retry until this process ends.
    const std::string text = TestSupport::readFile(log);
    const auto at = text.find("start_W32 ");
    if (at != std::string::npos) ::kill(std::atoi(text.c_str() + at + 10), SIGKILL);
    EXPECT_TRUE(refused) << text;
    EXPECT_EQ(accepted.load(), 0);
}
