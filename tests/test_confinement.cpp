// The application confined by tarvik-run: what it sees, what its launcher refuses, who
// may take the places of its service, and how its helper ends with it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <TarvikFoundation/platform/appserviceconnection.h>
#include <TarvikFoundation/platform/filetokenredeemer.h>

#include "common/errorcodes.h"
#include "confinementsupport.h"

namespace {

using namespace TestSupport;
using namespace std::chrono_literals;
using Platform::AppServiceConnection;
using Platform::AppServiceConnectionStatus;

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string hex(int32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

TEST(Confinement, HomeIsHiddenFromTheApplicationButListedThroughTheHelper) {
    ConfinedPackage package;
    auto app = package.run({"home", package.home() + "/secret.txt", package.home()});
    ASSERT_EQ(app->exitCode(), 0) << app->output() << package.logs();
    const auto out = app->output();
    EXPECT_NE(out.find("connected\n"), std::string::npos) << out;
    EXPECT_NE(out.find("open home file: failed"), std::string::npos) << out;
    EXPECT_NE(out.find("secret.txt"), std::string::npos) << out << package.logs();
}

TEST(Confinement, LauncherRefusesForgedArgumentsAndWritesNothingOutsideThePackage) {
    ConfinedPackage package;
    const std::string outside = package.file("outside");
    const std::string inside = package.dataFolder() + "/TempState/Win32Helper.log";
    struct Case {
        std::string tail, refusedArgument;
    };
    // Links inside the package that lead out of it: one to a file, one to a folder.
    boost::filesystem::create_directories(outside);
    boost::filesystem::create_directories(package.dataFolder() + "/TempState");
    ::symlink((outside + "/linked.log").c_str(),
              (package.dataFolder() + "/TempState/linked.log").c_str());
    ::symlink(outside.c_str(), (package.dataFolder() + "/TempState/out").c_str());
    const Case cases[] = {
        {" --log \"" + outside + ".log\"", "--log"},
        {" --log \"" + package.dataFolder() + "/TempState/linked.log\"", "--log"},
        {" --log \"" + package.dataFolder() + "/TempState/out/Win32Helper.log\"", "--log"},
        {" --log \"" + package.dataFolder() + "/TempState/../../../outside.log\"", "--log"},
        {" --log \"" + inside + "\" --lock \"" + outside + ".lock\"", "--lock"},
    };
    // Each refusal logs its own line, naming the argument.
    const auto refusals = [&package](const std::string& argument) {
        const std::string log = package.launcherLog(), marker = "refused: " + argument;
        int n = 0;
        for (auto at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1))
            ++n;
        return n;
    };
    for (const auto& c : cases) {
        const int before = refusals(c.refusedArgument);
        auto app = package.run({"launch", "tarvik-test: " + package.helperArgs(c.tail)});
        ASSERT_EQ(app->exitCode(), 0) << app->output();
        EXPECT_NE(app->output().find("launch: false"), std::string::npos) << c.tail;
        EXPECT_EQ(refusals(c.refusedArgument), before + 1) << c.tail << package.launcherLog();
    }
    // Another package's name.
    const std::string otherPackage = "--pid 1 --package " + Tarvik::Base64::encode("Other.App") +
                                     " --service " + Tarvik::Base64::encode("svc");
    auto other = package.run({"launch", "tarvik-test: " + otherPackage});
    ASSERT_EQ(other->exitCode(), 0);
    EXPECT_NE(other->output().find("launch: false"), std::string::npos);
    EXPECT_NE(package.launcherLog().find("refused: --package"), std::string::npos);
    EXPECT_TRUE(package.helpers().empty()) << "a refused launch started a helper";
    EXPECT_FALSE(exists(outside + ".log"));
    EXPECT_FALSE(exists(package.file("outside.log")));
    EXPECT_FALSE(exists(outside + ".lock"));
    EXPECT_FALSE(exists(outside + "/linked.log"));
    EXPECT_FALSE(exists(outside + "/Win32Helper.log"));
    // The same launch with the package's own folders goes through.
    auto good =
        package.run({"launch", "tarvik-test: " + package.helperArgs(" --log \"" + inside + "\"")});
    ASSERT_EQ(good->exitCode(), 0);
    EXPECT_NE(good->output().find("launch: true"), std::string::npos) << package.launcherLog();
}

// What the launcher cannot read is answered with its reason and logged, not dropped in
// silence; the launcher serves the next request all the same.
TEST(Confinement, LauncherAnswersAnUnreadablePacketWithItsReason) {
    ConfinedPackage package;
    const struct {
        std::string body, reason;
    } cases[] = {{"not json {", "packet is not JSON"},
                 {"[1, 2]", "packet is not a JSON object"},
                 {"big", "packet too large"}};
    for (const auto& c : cases) {
        auto app = package.run({"rawlauncher", c.body});
        ASSERT_EQ(app->exitCode(), 0) << app->output();
        EXPECT_NE(app->output().find("\"ok\":false"), std::string::npos) << app->output();
        EXPECT_NE(app->output().find("request dropped: " + c.reason), std::string::npos)
            << app->output();
        EXPECT_NE(package.launcherLog().find("launcher request dropped: " + c.reason),
                  std::string::npos)
            << package.launcherLog();
    }
    auto good = package.run(
        {"launch", "tarvik-test: " + package.helperArgs(" --log \"" + package.dataFolder() +
                                                        "/TempState/Win32Helper.log\"")});
    ASSERT_EQ(good->exitCode(), 0);
    EXPECT_NE(good->output().find("launch: true"), std::string::npos) << package.launcherLog();
}

TEST(Confinement, StrayProcessClaimingEitherPlaceIsRefusedWhileThePairKeepsAnswering) {
    ConfinedPackage package;
    const std::string flag = package.dataFolder() + "/go";  // seen inside as well
    auto app = package.run({"hold", flag});
    ASSERT_TRUE(app->shows("connected\n")) << app->output() << package.logs();
    // This test's process is of the same user but was started by nobody for the package.
    for (const char* claim : {"", "claimed"}) {
        AppServiceConnection::SetCallerPackageFamilyName(
            Platform::hstring::from_utf8(*claim ? package.family() : ""));
        AppServiceConnection stray;
        stray.AppServiceName(L"svc");
        stray.PackageFamilyName(Platform::hstring::from_utf8(package.family()));
        EXPECT_EQ(stray.OpenAsync().get(), AppServiceConnectionStatus::NotAuthorized)
            << "claim '" << claim << "'";
    }
    AppServiceConnection::SetCallerPackageFamilyName(L"");
    std::ofstream(flag) << "go";
    ASSERT_EQ(app->exitCode(), 0) << app->output() << package.logs();
    EXPECT_NE(app->output().find("answer: "), std::string::npos) << app->output();
    EXPECT_NE(app->output().find("7"), std::string::npos) << app->output();
}

TEST(Confinement, HelperEndsWithTheSandboxedApplication) {
    ConfinedPackage package;
    const std::string flag = package.dataFolder() + "/go";  // seen inside as well
    auto app = package.run({"hold", flag});
    ASSERT_TRUE(app->shows("connected\n")) << app->output() << package.logs();
    const auto helpers = package.helpers();
    ASSERT_FALSE(helpers.empty()) << package.logs();
    std::ofstream(flag) << "go";
    ASSERT_EQ(app->exitCode(), 0) << app->output();
    // A generous bound: the helper is meant to end well within two seconds.
    const auto until = std::chrono::steady_clock::now() + 20s;
    for (pid_t helper : helpers) {
        while (running(helper) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(running(helper)) << "helper " << helper << " outlived its application\n"
                                      << package.logs();
    }
}

TEST(Confinement, SecondInstanceOfThePackageIsRefused) {
    ConfinedPackage package;
    const std::string flag = package.dataFolder() + "/go";  // seen inside as well
    auto first = package.run({"hold", flag});
    ASSERT_TRUE(first->shows("connected\n")) << first->output() << package.logs();
    auto second = package.run({"hold", flag}, "second.txt");
    EXPECT_EQ(second->exitCode(), 3);
    EXPECT_NE(second->output().find("already runs"), std::string::npos) << second->output();
    std::ofstream(flag) << "go";
    EXPECT_EQ(first->exitCode(), 0) << first->output();
}

}  // namespace

namespace {

// In-process mode: the application listens inside its sandbox, where the helper outside
// shows no pid; the launcher, handed the connection, says it is the package's helper.
TEST(Confinement, HelperConnectsIntoTheSandboxVouchedForByTheLauncher) {
    ConfinedPackage package;
    auto app = package.run({"inprocess", "-"});
    ASSERT_EQ(app->exitCode(), 0) << app->output() << package.logs();
    EXPECT_NE(app->output().find("answer: Delayed 0 ms value 5"), std::string::npos)
        << app->output() << package.logs();
    EXPECT_NE(package.launcherLog().find(" is helper"), std::string::npos) << package.logs();
}

}  // namespace

namespace {

// The sandbox reaches the user's home only through tokens that the helper outside
// redeems for descriptors, and only the application itself may redeem them.
TEST(Confinement, TokensForTheHomeRedeemInsideTheSandboxAndOnlyThere) {
    ConfinedPackage package;
    std::ofstream(package.home() + "/letter.txt") << "dear sandbox";
    const std::string written = package.home() + "/notes/from-inside.txt";
    const std::string flag = package.dataFolder() + "/go";  // seen inside as well
    auto app = package.run({"files", package.home() + "/letter.txt", written, flag});
    ASSERT_TRUE(app->shows("done\n")) << app->output() << package.logs();
    const auto out = app->output();
    EXPECT_NE(out.find("read: dear sandbox\n"), std::string::npos) << out;
    EXPECT_NE(out.find("wrote\n"), std::string::npos) << out;
    EXPECT_EQ(readFile(written), "written from the sandbox");
    const std::string refused = hex(Tarvik::Errors::kStorageFileHandle);
    EXPECT_NE(out.find("wrong mode: " + refused), std::string::npos) << out;
    EXPECT_NE(out.find("unknown token: " + refused), std::string::npos) << out;
    EXPECT_NE(package.logs().find("grants read access only"), std::string::npos);
    EXPECT_NE(package.logs().find("no such token was issued to this package"), std::string::npos);

    // This test's process, of the same user but not the application, is turned away
    // before its token is looked at.
    const auto stranger = Platform::FileTokenRedeemer::RedeemAsync(
        L"0123456789abcdef0123456789abcdef", Platform::FileAccessMode::Read);
    EXPECT_THROW(stranger.get(), Platform::hresult_error);
    EXPECT_EQ(stranger.ErrorCode(), static_cast<int32_t>(0x80070005));
    EXPECT_NE(package.logs().find("is not the application"), std::string::npos) << package.logs();

    std::ofstream(flag) << "go";
    EXPECT_EQ(app->exitCode(), 0) << app->output();
}

// A process id that the sandboxed application names is its own namespace's: the helper
// outside watches that process, not whatever has the same id outside, and takes an id
// that no process of the sandbox has as a process that is gone.
TEST(Confinement, ExitWatchesTakeTheIdsOfTheSandboxedApplication) {
    ConfinedPackage package;
    // This test's process has an id outside that no process of the sandbox has.
    const std::string outsider = std::to_string(::getpid());
    auto app =
        package.run({"child", package.dataFolder() + "/TempState/Win32Helper.log", outsider});
    ASSERT_EQ(app->exitCode(), 0) << app->output() << package.logs();
    const auto out = app->output();
    const auto at = out.find("child ");
    ASSERT_NE(at, std::string::npos) << out << package.logs();
    const std::string child = out.substr(at + 6, out.find('\n', at) - at - 6);
    EXPECT_NE(package.logs().find("watching the application's process " + child + " as "),
              std::string::npos)
        << package.logs();
    EXPECT_EQ(out.find("before the child ended"), std::string::npos) << out;
    EXPECT_NE(out.find("exit notice for " + child + "\n"), std::string::npos)
        << out << package.logs();
    EXPECT_NE(out.find("exit notice for missing " + outsider + "\n"), std::string::npos) << out;
    EXPECT_NE(package.logs().find("watch refused: the application runs no process " + outsider),
              std::string::npos)
        << package.logs();
}

}  // namespace
