#pragma once
// One application's end of a real helper process: its app service, the helper started
// on it, and the bus messages (command 37) the helper sent it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/base64.h"
#include "common/messageschema.h"
#include "common/resultscache.h"
#include "platform/appservicelistener.h"
#include "platform/startedprocesses.h"
#include "testsupport.h"

namespace TestSupport {

using namespace Platform;
using namespace std::chrono_literals;

inline pid_t spawn(const std::vector<std::string>& args) {
    std::string program = TARVIK_HELPER_PATH;
    std::vector<std::string> copy = args;
    std::vector<char*> argv{program.data()};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    // The test stands in for the platform's launcher: what it starts is the package's helper.
    for (std::size_t i = 0; pid > 0 && i + 1 < args.size(); ++i)
        if (args[i] == "--package")
            if (const auto family = Tarvik::Base64::decode(args[i + 1])) try {
                    Platform::StartedProcesses::record(hstring::from_utf8(*family), pid,
                                                       Platform::StartedProcesses::Role::Helper);
                } catch (const hresult_error&) {
                    // A name no package can have, or no runtime folder: nothing to record.
                }
    return pid;
}

inline int runToEnd(const std::vector<std::string>& args) {
    int status = 0;
    ::waitpid(spawn(args), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline void stop(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// One application's end: its app service, its helper, and what the helper sent it.
class App {
  public:
    // `answerRequests` false leaves the helper's requests to whoever takes the
    // connection (the library's managers).
    App(const TestSupport::TempDir& dir, const std::string& family, bool answerRequests = true)
        : family_(family), answerRequests_(answerRequests) {
        connectHelper(dir);
    }
    ~App() { stop(helper_); }

    void restartHelper(const TestSupport::TempDir& dir) {
        stop(helper_);
        listener_.reset();
        connectHelper(dir);
    }
    ValueSet send(int32_t command,
                  std::initializer_list<std::pair<const wchar_t*, PropertyValue>> entries = {}) {
        ValueSet request = Tarvik::createRequest(command);
        for (const auto& [key, value] : entries) request.Insert(key, value);
        const auto response = connection.SendMessageAsync(request).get();
        if (!response.Message()) {
            ADD_FAILURE() << "command " << command << " got no answer, status "
                          << static_cast<int>(response.Status());
            return Tarvik::createResponse(false);
        }
        return response.Message();
    }
    pid_t helperPid() const { return helper_; }
    std::vector<std::string> received() {
        std::lock_guard g(mutex_);
        return received_;
    }
    AppServiceConnection connection{nullptr};

  private:
    // Listens on the application's service, starts its helper and waits for it.
    void connectHelper(const TestSupport::TempDir& dir) {
        auto connected = std::make_shared<std::promise<AppServiceConnection>>();
        listener_ = AppServiceListener::start(hstring::from_utf8(family_), L"svc",
                                              [connected](const AppServiceTriggerDetails& d) {
                                                  try {
                                                      connected->set_value(d.Connection());
                                                  } catch (const std::future_error&) {
                                                  }
                                              });
        auto future = connected->get_future();
        helper_ = spawn({"--package", Tarvik::Base64::encode(family_), "--service",
                         Tarvik::Base64::encode("svc"), "--log", dir.file(family_ + ".log")});
        ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
        connection = future.get();
        if (!answerRequests_) return;
        connection.RequestReceived(
            [this](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& a) {
                const ValueSet m = a.Request().Message();
                if (m.LookupAs<int32_t>(L"command") == 37) {
                    std::lock_guard g(mutex_);
                    received_.push_back(m.LookupAs<hstring>(L"messageType").to_utf8() + "|" +
                                        m.LookupAs<hstring>(L"payload").to_utf8());
                }
                a.Request().SendResponseAsync(Tarvik::createResponse(true));
            });
    }

    std::string family_;
    bool answerRequests_;
    std::shared_ptr<AppServiceListener> listener_;
    pid_t helper_ = 0;
    std::mutex mutex_;
    std::vector<std::string> received_;
};

// A private user folder set, and an empty manifest, for the helpers a test starts.
class HelperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The platform reads these on pool threads: safe to change only while nothing
        // of an earlier test runs.
        ::setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
        ::setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
        boost::filesystem::create_directories(dir.file("run"));
        std::ofstream(dir.file("manifest.json")) << "{}";
        ::setenv("TARVIK_PACKAGE_MANIFEST", dir.file("manifest.json").c_str(), 1);
        // The helpers serve the test's folder.
        ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
        boost::filesystem::create_directories(dir.file("config/tarvik"));
        std::ofstream(dir.file("config/tarvik/helper.json"))
            << nlohmann::json{{"fileRoots", {dir.path().string()}}}.dump();
    }
    TestSupport::TempDir dir;
};

}  // namespace TestSupport
