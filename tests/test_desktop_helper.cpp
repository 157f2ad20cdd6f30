// The desktop managers against a real helper process: files, the environment across a
// helper restart, a child's exit notice, the socket server with a TCP client, and the
// manifest's client and cart programs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <fstream>

#include <TarvikFoundation/orvaneappxpermissionmanager.h>
#include <TarvikFoundation/orvanecarvomanager.h>
#include <TarvikFoundation/orvanecasocketserver.h>
#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/orvaneprocessmonitor.h>
#include <TarvikFoundation/orvanewin32apimanager.h>

#include "common/commandcodes.h"
#include "common/errorcodes.h"
#include "common/logger.h"
#include "helperapp.h"
#include "testsupport.h"

using namespace Platform;
using namespace std::chrono_literals;
using TarvikFoundation::OrvaneFileManager;
using TestSupport::App;
using TestSupport::eventually;

namespace {

constexpr const char* kFamily = "Test.Desktop_1";

int32_t codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const hresult_error& e) {
        return static_cast<int32_t>(e.code());
    }
    return 0;
}

class DesktopHelper : public TestSupport::HelperTest {
  protected:
    void SetUp() override {
        HelperTest::SetUp();
        // One program for both the client and the cart: it writes its arguments down.
        const std::string script = dir.file("record.sh");
        std::ofstream(script) << "#!/bin/sh\necho \"$@\" > \"" << dir.file("launched.txt")
                              << ".tmp\" && mv \"" << dir.file("launched.txt") << ".tmp\" \""
                              << dir.file("launched.txt") << "\"\n";
        ::chmod(script.c_str(), 0755);
        std::ofstream(dir.file("manifest.json"))
            << R"({"familyName": ")" << kFamily << R"(", "version": "1.0.0.0",
                  "clientPrograms": {"recorder": "record.sh"}, "cartClient": "record.sh"})";
        app = std::make_unique<App>(dir, kFamily, false);
        handOut(app->connection);
    }
    void TearDown() override { handOut(nullptr); }

    void handOut(const AppServiceConnection& connection) {
        OrvaneFileManager::GetInstance()->setAppServiceConnection(connection, false);
        TarvikFoundation::OrvaneWin32ApiManager::GetInstance()->setAppServiceConnection(connection,
                                                                                        false);
        TarvikFoundation::OrvaneProcessMonitor::GetInstance()->setAppServiceConnection(connection,
                                                                                       false);
        TarvikFoundation::OrvaneAppXPermissionManager::GetInstance()->setAppServiceConnection(
            connection, false);
        TarvikFoundation::OrvaneCASocketServer::GetInstance()->setAppServiceConnection(connection,
                                                                                       false);
        TarvikFoundation::OrvaneCarvoManager::GetInstance()->SetAppServiceConnection(connection);
    }
    std::string launched() {
        std::string text;
        eventually([&] {
            text = TestSupport::readFile(dir.file("launched.txt"));
            return !text.empty();
        });
        return text;
    }
    std::unique_ptr<App> app;
};

}  // namespace

TEST_F(DesktopHelper, FilesAreListedCreatedAndReportedMissing) {
    auto files = OrvaneFileManager::GetInstance();
    boost::filesystem::create_directories(dir.file("tree/sub"));
    std::ofstream(dir.file("tree/sub/leaf.txt")) << "leaf";
    const auto items =
        files->ListFilesFromPathAsync(hstring::from_utf8(dir.file("tree")), true).get();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].Path.to_utf8(), dir.file("tree/sub"));
    EXPECT_EQ(items[0].Type, 1);
    EXPECT_EQ(items[1].Path.to_utf8(), dir.file("tree/sub/leaf.txt"));
    EXPECT_EQ(items[1].Type, 0);
    EXPECT_EQ(
        files->ListFilesFromPathAsync(hstring::from_utf8(dir.file("tree")), false).get().size(),
        1u);

    EXPECT_EQ(
        codeOf([&] {
            files->ListFilesFromPathAsync(hstring::from_utf8(dir.file("nowhere")), false).get();
        }),
        Tarvik::Errors::kPathNotFound);
    EXPECT_EQ(
        codeOf([&] {
            files->FolderOperation3Async(hstring::from_utf8(dir.file("tree/sub/leaf.txt"))).get();
        }),
        Tarvik::Errors::kNotADirectory);

    const std::string target = dir.file("made/here/new.txt");
    const hstring token = files->GetFileTokenAsync(hstring::from_utf8(target), 1, true).get();
    EXPECT_EQ(token.size(), 32u);
    EXPECT_TRUE(boost::filesystem::is_regular_file(target));

    EXPECT_TRUE(files->FolderOperation1Async(hstring::from_utf8(dir.file("made"))).get());
    EXPECT_FALSE(files->FolderOperation1Async(hstring::from_utf8(dir.file("unmade"))).get());
    EXPECT_TRUE(files->FolderOperation2Async(hstring::from_utf8(dir.file("unmade/a/b"))).get());
    EXPECT_TRUE(files->FolderOperation3Async(hstring::from_utf8(dir.file("unmade"))).get());
    EXPECT_FALSE(boost::filesystem::exists(dir.file("unmade")));

    // The helper serves the test's folder only (its user configuration says so).
    const TestSupport::TempDir elsewhere;
    EXPECT_EQ(codeOf([&] {
                  files
                      ->FolderOperation3Async(hstring::from_utf8(
                          dir.file("tree/../../") + elsewhere.path().filename().string()))
                      .get();
              }),
              Tarvik::Errors::kPathNotAllowed);
    EXPECT_EQ(codeOf([&] {
                  files->FolderOperation3Async(hstring::from_utf8(elsewhere.path().string())).get();
              }),
              Tarvik::Errors::kPathNotAllowed);
    EXPECT_TRUE(boost::filesystem::exists(elsewhere.path()));

    auto permissions = TarvikFoundation::OrvaneAppXPermissionManager::GetInstance();
    ::chmod(dir.file("tree/sub").c_str(), 0500);
    EXPECT_FALSE(permissions->FolderHasAppxPermissions(hstring::from_utf8(dir.file("tree"))).get());
    EXPECT_TRUE(permissions->SetFolderPermissions(hstring::from_utf8(dir.file("tree"))).get());
    EXPECT_TRUE(permissions->FolderHasAppxPermissions(hstring::from_utf8(dir.file("tree"))).get());
    // Nor are folder rights changed outside what the helper serves.
    ::chmod(elsewhere.path().c_str(), 0500);
    EXPECT_FALSE(
        permissions->SetFolderPermissions(hstring::from_utf8(elsewhere.path().string())).get());
    struct stat st {};
    ASSERT_EQ(::stat(elsewhere.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0500u);
    ::chmod(elsewhere.path().c_str(), 0700);
}

TEST_F(DesktopHelper, ARefusalCarriesItsReasonIntoTheApplicationsLog) {
    const std::string log = dir.file("TRVK.log");
    Tarvik::SetLogFilePath(Platform::utf8_to_wide(log));
    const TestSupport::TempDir elsewhere;
    EXPECT_EQ(codeOf([&] {
                  OrvaneFileManager::GetInstance()
                      ->ListFilesFromPathAsync(hstring::from_utf8(elsewhere.path().string()), false)
                      .get();
              }),
              Tarvik::Errors::kPathNotAllowed);
    auto system = TarvikFoundation::OrvaneWin32ApiManager::GetInstance();
    system->SetEnvironmentVariableAsync(L"NOT=A_NAME", L"x").get();
    // The helper's reason names the path, so a long path makes a long reason; the
    // application logs it cut short, and the next entry still starts a line of its own.
    const std::string longPath = elsewhere.path().string() + "/" + std::string(6000, 'x');
    EXPECT_EQ(codeOf([&] {
                  OrvaneFileManager::GetInstance()
                      ->ListFilesFromPathAsync(hstring::from_utf8(longPath), false)
                      .get();
              }),
              Tarvik::Errors::kPathNotAllowed);
    TLOG("INF", "entry after the long refusal");
    Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("after.log")));
    Tarvik::CloseLogFile();
    const std::string text = TestSupport::readFile(log);
    const auto cut = text.find("xxx...)");
    ASSERT_NE(cut, std::string::npos) << text;
    const auto cutStart = text.rfind('\n', cut) + 1;
    const auto cutEnd = text.find('\n', cut);
    ASSERT_NE(cutEnd, std::string::npos) << text;
    EXPECT_LT(cutEnd - cutStart, 1000u) << text.substr(cutStart, cutEnd - cutStart);
    EXPECT_NE(text.find("entry after the long refusal", cutEnd), std::string::npos) << text;
    // The helper logs its refusal of the long path bounded too, ending its line.
    const std::string helperLog = TestSupport::readFile(dir.file(std::string(kFamily) + ".log"));
    const auto own = helperLog.find(std::string(200, 'x'));
    ASSERT_NE(own, std::string::npos) << helperLog;
    const auto ownEnd = helperLog.find('\n', own);
    ASSERT_NE(ownEnd, std::string::npos) << helperLog;
    EXPECT_LT(ownEnd - helperLog.rfind('\n', own), 2000u);
    char listing[96];
    std::snprintf(listing, sizeof listing, "cmd %d failed", Tarvik::Commands::kListFilesFromPath);
    char code[32];
    std::snprintf(code, sizeof code, "errorCode 0x%08X",
                  static_cast<unsigned>(Tarvik::Errors::kPathNotAllowed));
    const auto line = text.find(listing);
    ASSERT_NE(line, std::string::npos) << text;
    const std::string refusal = text.substr(line, text.find('\n', line) - line);
    EXPECT_NE(refusal.find(code), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("(reason: "), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("outside the served folders"), std::string::npos) << refusal;
    EXPECT_NE(text.find("(reason: bad variable name)"), std::string::npos) << text;
}

TEST_F(DesktopHelper, AnEnvironmentVariableSurvivesAHelperRestart) {
    auto system = TarvikFoundation::OrvaneWin32ApiManager::GetInstance();
    system->SetEnvironmentVariableAsync(L"TARVIK_DEMO_SETTING", L"kept across restarts").get();
    EXPECT_EQ(system->GetEnvironmentVariableAsync(L"TARVIK_DEMO_SETTING").get(),
              hstring(L"kept across restarts"));
    handOut(nullptr);
    app->restartHelper(dir);
    handOut(app->connection);
    EXPECT_EQ(system->GetEnvironmentVariableAsync(L"TARVIK_DEMO_SETTING").get(),
              hstring(L"kept across restarts"));
    EXPECT_EQ(system->GetEnvironmentVariableAsync(L"TARVIK_NEVER_SET_ANYWHERE").get(), hstring());
    EXPECT_EQ(system->MapVirtualKeyAsync('A', 0).get(), 0x1Eu);
    const uint64_t layout = system->GetKeyboardLayoutAsync(1).get();
    EXPECT_EQ(layout >> 16, layout & 0xFFFF);
    EXPECT_NE(layout, 0u);
}

TEST_F(DesktopHelper, AChildsExitIsReportedOnce) {
    auto monitor = TarvikFoundation::OrvaneProcessMonitor::GetInstance();
    const pid_t child = TestSupport::spawnSleeper("0.3");
    ASSERT_GT(child, 0);
    const auto list = monitor->GetProcessList().get();
    const bool listed = std::any_of(list.begin(), list.end(), [&](const auto& p) {
        return p.ProcessId() == static_cast<uint32_t>(child) &&
               p.ProcessName() == hstring(L"sleep");
    });
    EXPECT_TRUE(listed);

    std::atomic<int> calls{0};
    monitor->MonitorProcessExit(static_cast<uint32_t>(child), [&](uint32_t id) {
        EXPECT_EQ(id, static_cast<uint32_t>(child));
        ++calls;
    });
    ASSERT_TRUE(eventually([&] { return calls.load() == 1; }, 10s));
    ::waitpid(child, nullptr, 0);
    // A process that is already gone is reported at once.
    std::atomic<int> late{0};
    monitor->MonitorProcessExit(static_cast<uint32_t>(child), [&](uint32_t) { ++late; });
    ASSERT_TRUE(eventually([&] { return late.load() == 1; }, 10s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(late.load(), 1);
}

TEST_F(DesktopHelper, ATcpClientGetsTheAnswerForItsSocket) {
    auto server = TarvikFoundation::OrvaneCASocketServer::GetInstance();
    const auto token = server->RequestReceived([server](uint32_t socket, const hstring& text) {
        server->SendResponse(socket, hstring(L"echo ") + text);
    });
    const uint32_t port = server->Initialize().get();
    ASSERT_NE(port, 0u);
    server->StartListening();

    boost::asio::io_context io;
    boost::asio::ip::tcp::socket client(io);
    ASSERT_TRUE(eventually([&] {
        boost::system::error_code ec;
        client.connect({boost::asio::ip::address_v4::loopback(), static_cast<uint16_t>(port)}, ec);
        return !ec;
    }));
    boost::asio::write(client, boost::asio::buffer(std::string("ping 1\r\n")));
    boost::asio::streambuf buffer;
    // A lost answer fails here instead of hanging the suite.
    boost::system::error_code readError = boost::asio::error::timed_out;
    boost::asio::async_read_until(
        client, buffer, '\n',
        [&](const boost::system::error_code& ec, std::size_t) { readError = ec; });
    io.run_for(std::chrono::seconds(30));
    ASSERT_FALSE(readError) << "no answer for the client's line: " << readError.message();
    std::istream in(&buffer);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "echo ping 1");
    server->RequestReceived(token);
    server->Shutdown().get();

    EXPECT_TRUE(server->LaunchClient(L"recorder", L"--mode \"two words\"").get());
    EXPECT_EQ(launched(), "--mode two words\n");
    EXPECT_FALSE(server->LaunchClient(L"/bin/sh", L"-c true").get());

    boost::filesystem::remove(dir.file("launched.txt"));
    auto cart = TarvikFoundation::OrvaneCarvoManager::GetInstance();
    EXPECT_EQ(cart->OrvaneCVInvokeClient(L"app-7", L"2.1", L"profile", L"/opt/app").get(),
              TarvikFoundation::OrvaneCVInvocationStatus::kStarted);
    EXPECT_EQ(launched(),
              "--app-id app-7 --app-version 2.1 --profile-scope profile --app-path /opt/app\n");
}
