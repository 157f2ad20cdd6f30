// The library's application side against the Python example helper, started as the
// package's full-trust program: the managers' calls, the listing, and requests that the
// helper does not implement or has answered before.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/backgroundtask.h>

#include "common/commandcodes.h"
#include "common/errorcodes.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "testsupport.h"

using namespace TarvikFoundation;
using namespace std::chrono_literals;
using Platform::AppServiceConnection;
using Platform::hstring;
using Platform::ValueSet;
using TestSupport::eventually;

namespace {

constexpr const char* kFamily = "Test.PythonHelper_1";

int32_t codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Platform::hresult_error& e) {
        return static_cast<int32_t>(e.code());
    }
    return 0;
}

// One application with its in-process app service and the Python helper it launched,
// shared by the suite's tests; the helper is asked to exit at the end.
class PythonHelper : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = std::make_unique<TestSupport::TempDir>();
        ::setenv("XDG_RUNTIME_DIR", dir->file("run").c_str(), 1);
        ::setenv("XDG_DATA_HOME", dir->file("data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", dir->file("config").c_str(), 1);
        boost::filesystem::create_directories(dir->file("run"));
        boost::filesystem::create_directories(dir->file("config/tarvik"));
        boost::filesystem::create_directories(dir->file("served"));
        std::ofstream(dir->file("config/tarvik/helper.json"))
            << nlohmann::json{{"fileRoots", {dir->file("served")}}}.dump();
        // The full-trust program runs without arguments; the script reads them from the
        // package's settings. Debian's interpreter is the one with python3-protobuf.
        const std::string program = dir->file("pyhelper.sh");
        std::ofstream(program) << "#!/bin/sh\nexec " << TARVIK_PYTHON << " " << TARVIK_PYHELPER
                               << " \"$@\"\n";
        ::chmod(program.c_str(), 0755);
        std::ofstream(dir->file("manifest.json")) << nlohmann::json{
            {"familyName", kFamily},
            {"version", "1.0.0.0"},
            {"fullTrustProgram", program},
            {"appServices", {{{"name", "svc"}}}}}.dump();
        ::setenv("TARVIK_PACKAGE_MANIFEST", dir->file("manifest.json").c_str(), 1);
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(temporaryFolder() + "/TRVK.log"));
        Tarvik::CloseLogFile();

        host = Platform::AppServiceTaskHost::start(
            hstring::from_utf8(kFamily), L"svc",
            [](const Platform::BackgroundActivatedEventArgs& a) {
                std::lock_guard g(mutex);
                if (const auto& details = a.TaskInstance->TriggerDetails())
                    helperConnection = details->Connection();
                if (appHelper) appHelper->OnBackgroundActivated(a);
            });
        auto options = std::make_shared<TRVKConfigOptions>();
        options->Win32Uri(L"tarvik-pyhelper");
        options->AppServiceName(L"svc");
        options->ClientId(L"client-1");
        options->AppServiceInBackground(false);
        options->ReconnectInterval(1);
        options->LaunchMethod(0);  // the manifest's full-trust program
        {
            std::lock_guard g(mutex);
            appHelper = OrvaneAppHelper::create(options);
        }
        ready = eventually(
            [] {
                return OrvaneInternal::OrvaneTestManager::GetInstance()
                    ->connection()
                    ->hasConnection();
            },
            30s);
    }

    static void TearDownTestSuite() {
        auto test = OrvaneInternal::OrvaneTestManager::GetInstance();
        test->TestAppExitApi();
        EXPECT_TRUE(eventually([&] { return !test->connection()->hasConnection(); }, 20s))
            << logs();
        host->stop();
        host.reset();
        dir.reset();
    }

    void SetUp() override { ASSERT_TRUE(ready) << logs(); }

    static std::string temporaryFolder() {
        return dir->file("data") + "/tarvik/" + kFamily + "/TempState";
    }
    static std::string logs() {
        return "--- Win32Helper.log\n" +
               TestSupport::readFile(temporaryFolder() + "/Win32Helper.log");
    }
    // A request straight on the platform connection: no id or acknowledgement is added.
    static ValueSet exchange(const ValueSet& request) {
        AppServiceConnection connection{nullptr};
        {
            std::lock_guard g(mutex);
            connection = helperConnection;
        }
        const auto response = connection.SendMessageAsync(request).get();
        EXPECT_EQ(response.Status(), Platform::AppServiceResponseStatus::Success);
        return response.Message() ? response.Message() : ValueSet();
    }

    static inline std::unique_ptr<TestSupport::TempDir> dir;
    static inline std::shared_ptr<Platform::AppServiceTaskHost> host;
    static inline std::mutex mutex;
    static inline std::shared_ptr<OrvaneAppHelper> appHelper;
    static inline AppServiceConnection helperConnection{nullptr};
    static inline bool ready = false;
};

}  // namespace

TEST_F(PythonHelper, AnswersTheTestDelayCommand) {
    auto test = OrvaneInternal::OrvaneTestManager::GetInstance();
    EXPECT_EQ(test->TestDelayApi(20).get(), hstring(L"Delayed 20 ms"));
    EXPECT_EQ(test->TestDelayApiExt(0, 77).get(), hstring(L"Delayed 0 ms value 77"));
}

TEST_F(PythonHelper, ListsServedFoldersAndRefusesTheRest) {
    auto files = OrvaneFileManager::GetInstance();
    const std::string tree = dir->file("served/tree");
    boost::filesystem::create_directories(tree + "/sub");
    std::ofstream(tree + "/sub/leaf.txt") << "leaf";
    const auto items = files->ListFilesFromPathAsync(hstring::from_utf8(tree), true).get();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].Path.to_utf8(), tree + "/sub");
    EXPECT_EQ(items[0].Type, 1);
    EXPECT_EQ(items[1].Path.to_utf8(), tree + "/sub/leaf.txt");
    EXPECT_EQ(items[1].Type, 0);
    EXPECT_EQ(files->ListFilesFromPathAsync(hstring::from_utf8(tree), false).get().size(), 1u);

    const auto codeOfListing = [&](const std::string& path) {
        return codeOf(
            [&] { files->ListFilesFromPathAsync(hstring::from_utf8(path), false).get(); });
    };
    EXPECT_EQ(codeOfListing(dir->file("served/nowhere")), Tarvik::Errors::kPathNotFound);
    EXPECT_EQ(codeOfListing(tree + "/sub/leaf.txt"), Tarvik::Errors::kNotADirectory);
    EXPECT_EQ(codeOfListing(""), Tarvik::Errors::kFolderNameExtraction);
    EXPECT_EQ(codeOfListing("served/tree"), Tarvik::Errors::kPathNotAllowed);
    // Outside the served folder, by name, by "..", and through a link inside it.
    EXPECT_EQ(codeOfListing(dir->file("config")), Tarvik::Errors::kPathNotAllowed);
    EXPECT_EQ(codeOfListing(tree + "/../../config"), Tarvik::Errors::kPathNotAllowed);
    boost::filesystem::create_symlink(dir->file("config"), dir->file("served/out"));
    EXPECT_EQ(codeOfListing(dir->file("served/out")), Tarvik::Errors::kPathNotAllowed);
    // A link to a folder inside is not followed either.
    boost::filesystem::create_symlink(tree + "/sub", dir->file("served/in"));
    EXPECT_EQ(codeOfListing(dir->file("served/in")), Tarvik::Errors::kPathNotAllowed);
}

TEST_F(PythonHelper, EveryCommandItDoesNotImplementFailsAtOnce) {
    // The managers' calls fail instead of retrying or waiting.
    auto files = OrvaneFileManager::GetInstance();
    EXPECT_NE(codeOf([&] {
                  files->FolderOperation1Async(hstring::from_utf8(dir->file("served"))).get();
              }),
              0);
    EXPECT_NE(codeOf([&] {
                  files->GetFileTokenAsync(hstring::from_utf8(dir->file("served/x")), 0).get();
              }),
              0);
    for (int32_t command = 0; command <= 68; ++command) {
        if (command == 4 || (command >= 38 && command <= 40)) continue;
        ValueSet request = Tarvik::createRequest(command);
        request.Insert(L"commandId", uint64_t{1000} + static_cast<uint64_t>(command));
        const ValueSet answer = exchange(request);
        ASSERT_TRUE(answer.HasKey(L"response")) << command;
        EXPECT_EQ(answer.LookupAs<int32_t>(L"response"), 1) << command;
    }
}

TEST_F(PythonHelper, ARetryIsAnsweredFromTheFirstExecutionUntilAcknowledged) {
    constexpr uint64_t kId = uint64_t{1} << 60;  // past any id the library gives
    ValueSet first = Tarvik::createRequest(Tarvik::Commands::kTestDelayMessage);
    first.Insert(L"commandId", kId);
    first.Insert(L"TestDelay", uint64_t{0});
    EXPECT_EQ(exchange(first).LookupAs<hstring>(L"TestReponse"), hstring(L"Delayed 0 ms"));

    ValueSet retry = Tarvik::createRequest(Tarvik::Commands::kTestDelayMessage);
    retry.Insert(L"commandId", kId);
    retry.Insert(L"TestDelay", uint64_t{3});
    retry.Insert(L"retry", true);
    EXPECT_EQ(exchange(retry).LookupAs<hstring>(L"TestReponse"), hstring(L"Delayed 0 ms"));

    retry.Insert(L"ackCounts", int32_t{1});
    retry.Insert(L"Ack1", kId);
    EXPECT_EQ(exchange(retry).LookupAs<hstring>(L"TestReponse"), hstring(L"Delayed 3 ms"));
}
