// tarvik-call as people run it: a process of its own, in the application's place,
// against a real tarvik-helper, in a private set of user folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "helperapp.h"
#include "testsupport.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kFamily = "Test.Call_cli";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// One tarvik-call process with its output read as it comes; every wait is bounded.
class CallProcess {
  public:
    explicit CallProcess(const std::vector<std::string>& args, int stdinFd = -1) {
        int out[2], err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        if (stdinFd >= 0) ::posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
        std::string program = TARVIK_CALL_PATH;
        std::vector<std::string> copy = args;
        std::vector<char*> argv{program.data()};
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ),
                  0);
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~CallProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
        if (err_ >= 0) ::close(err_);
    }
    CallProcess(const CallProcess&) = delete;
    CallProcess& operator=(const CallProcess&) = delete;

    // Reads until `done` holds for standard output or both pipes end; false at the limit.
    bool readUntil(const std::function<bool(const std::string&)>& done,
                   std::chrono::seconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done(outcome_.out)) {
            if (out_ < 0 && err_ < 0) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left.count())) < 0) return false;
            drain(fds[0], out_, outcome_.out);
            drain(fds[1], err_, outcome_.err);
        }
        return true;
    }
    // Waits for the end; a process still running at the limit is killed and fails the test.
    Outcome finish(std::chrono::seconds limit = 60s) {
        const bool ended =
            readUntil([](const std::string&) { return false; }, limit) || (out_ < 0 && err_ < 0);
        if (!ended) {
            ADD_FAILURE() << "tarvik-call still runs after " << limit.count() << " s; output "
                          << outcome_.out << outcome_.err;
            ::kill(pid_, SIGKILL);
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
        outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return outcome_;
    }
    const Outcome& soFar() const { return outcome_; }

  private:
    static void drain(const pollfd& p, int& fd, std::string& into) {
        if (fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else {
            ::close(fd);
            fd = -1;
        }
    }
    pid_t pid_ = 0;
    int out_ = -1;
    int err_ = -1;
    Outcome outcome_;
};

Outcome runCall(const std::vector<std::string>& args) {
    return CallProcess(args).finish();
}

// The JSON objects of standard output, one a line.
std::vector<json> lines(const std::string& out) {
    std::vector<json> all;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) all.push_back(json::parse(line, nullptr, false));
    return all;
}

// A package of its own in private user folders: nothing of the user's is touched.
class CallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* folder : {"run", "data", "home", "config/tarvik", "files"})
            boost::filesystem::create_directories(dir.file(folder));
        ::setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
        ::setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", dir.file("cache").c_str(), 1);
        ::setenv("HOME", dir.file("home").c_str(), 1);
        std::ofstream(dir.file("config/tarvik/helper.json"))
            << json{{"fileRoots", {dir.file("files")}}}.dump();
        std::ofstream(dir.file("manifest.json"))
            << json{{"familyName", kFamily},
                    {"version", "1.0.0.0"},
                    {"fullTrustProgram", TARVIK_HELPER_PATH},
                    {"uriSchemes", {{"tarvik-call-test", TARVIK_HELPER_PATH}}},
                    {"appServices", {{{"name", "svc"}, {"host", TARVIK_APPHOST_PATH}}}}}
                   .dump();
        manifest = dir.file("manifest.json");
    }
    TestSupport::TempDir dir;
    std::string manifest;
};

TEST_F(CallTest, DelayCallPrintsTheTypedAnswerInEitherTopology) {
    // In-process, by name in any case and by number (the helper started through a URI
    // scheme), then through the app-service host, which outlives the call by its idle
    // time and so comes last.
    const std::vector<std::vector<std::string>> calls = {
        {manifest, "svc", "testdelaymessage", "TestDelay=UInt64:0"},
        {"--scheme", "tarvik-call-test", manifest, "svc", "38", "TestDelay=UInt64:0",
         "value=UInt64:7"},
        {"--background", manifest, "svc", "TestDelayMessage", "TestDelay=UInt64:0"}};
    const std::vector<std::string> expected = {"Delayed 0 ms", "Delayed 0 ms value 7",
                                               "Delayed 0 ms"};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Outcome done = runCall(calls[i]);
        ASSERT_EQ(done.status, 0) << i << ": " << done.out << done.err;
        const auto all = lines(done.out);
        ASSERT_EQ(all.size(), 1u) << done.out;
        EXPECT_EQ(all[0]["response"], json({{"Int32", 0}})) << done.out;
        EXPECT_EQ(all[0]["TestReponse"], json({{"String", expected[i]}})) << done.out;
    }
}

TEST_F(CallTest, ListingShowsTheFolderAndAFailedAnswerExitsOne) {
    std::ofstream(dir.file("files/a.txt")) << "a";
    boost::filesystem::create_directories(dir.file("files/sub"));
    std::ofstream(dir.file("files/sub/b.txt")) << "b";
    const Outcome listed = runCall({manifest, "svc", "4", "filePath=String:" + dir.file("files"),
                                    "doRecursiveListing=String:true"});
    ASSERT_EQ(listed.status, 0) << listed.out << listed.err;
    const json answer = lines(listed.out).at(0);
    EXPECT_EQ(answer["response"], json({{"Int32", 0}}));
    const std::string listing = answer["directoryListing"]["String"].get<std::string>();
    EXPECT_NE(listing.find("a.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("sub/b.txt"), std::string::npos) << listing;

    // Outside the helper's folders: the answer is printed and the status is 1.
    const Outcome refused =
        runCall({manifest, "svc", "4", "filePath=String:/", "doRecursiveListing=String:false"});
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_EQ(lines(refused.out).at(0)["response"], json({{"Int32", 1}})) << refused.out;
}

TEST_F(CallTest, WatchPrintsTheExitNoticeOfAWatchedProcess) {
    // A process that ends when the test closes its input, once the helper watches it.
    int input[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    char sh[] = "/bin/sh", flag[] = "-c", script[] = "read line";
    char* argv[] = {sh, flag, script, nullptr};
    pid_t watched = 0;
    ASSERT_EQ(::posix_spawn(&watched, sh, &actions, nullptr, argv, environ), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);

    CallProcess call({"--watch", "--until", "processexited", "--timeout", "60", manifest, "svc",
                      "54", "ProcessID=UInt32:" + std::to_string(watched)});
    const bool answered = call.readUntil(
        [](const std::string& out) { return out.find('\n') != std::string::npos; }, 60s);
    ::close(input[1]);
    ::waitpid(watched, nullptr, 0);
    ASSERT_TRUE(answered) << call.soFar().out << call.soFar().err;
    const Outcome done = call.finish();
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    const auto all = lines(done.out);
    ASSERT_EQ(all.size(), 2u) << done.out;
    // The answer to the watch request, then the notice the helper sent.
    EXPECT_EQ(all[0]["response"], json({{"Int32", 0}})) << done.out;
    EXPECT_EQ(all[1]["command"], json({{"Int32", 55}})) << done.out;
    EXPECT_EQ(all[1]["ProcessID"], json({{"UInt32", watched}})) << done.out;
}

TEST_F(CallTest, RefusesWhileThePackagesApplicationIsConnected) {
    {
        // An application serving its service with its helper connected.
        TestSupport::App application(dir, kFamily);
        const Outcome refused =
            runCall({manifest, "svc", "TestDelayMessage", "TestDelay=UInt64:0"});
        EXPECT_EQ(refused.status, 2) << refused.out << refused.err;
        EXPECT_NE(refused.err.find("refused"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find(kFamily), std::string::npos) << refused.err;
        EXPECT_EQ(refused.out, "");
        // The application's connection was left alone.
        EXPECT_EQ(application.send(38, {{L"TestDelay", uint64_t{0}}})
                      .LookupAs<Platform::hstring>(L"TestReponse"),
                  Platform::hstring(L"Delayed 0 ms"));
    }
    // A confined run of the package holds its instance lock.
    const std::string instances = dir.file("run/tarvik/.instances");
    boost::filesystem::create_directories(instances);
    const int lock =
        ::open((instances + "/" + kFamily).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    const Outcome confined = runCall({"--background", manifest, "svc", "38", "TestDelay=UInt64:0"});
    ::close(lock);
    EXPECT_EQ(confined.status, 2) << confined.out << confined.err;
    EXPECT_NE(confined.err.find(kFamily), std::string::npos) << confined.err;
    EXPECT_EQ(confined.out, "");
}

TEST_F(CallTest, BadArgumentsEndWithUsageErrorsBeforeAnythingStarts) {
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{manifest, "svc", "38", "TestDelay=UInt64:-1"}, "TestDelay=UInt64:-1"},
        {{manifest, "svc", "38", "TestDelay=UInt64:12x"}, "not a UInt64"},
        {{manifest, "svc", "38", "TestDelay=Float:1"}, "unknown type"},
        {{manifest, "svc", "38", "TestDelay"}, "key=type:value"},
        {{manifest, "svc", "38", "value=UInt64:1"}, "TestDelay"},
        {{manifest, "svc", "38", "TestDelay=String:1"}, "UInt64"},
        {{manifest, "svc", "38", "TestDelay=UInt64:1", "TestDelay=UInt64:2"}, "twice"},
        {{manifest, "svc", "38", "commandId=UInt64:1"}, "channel"},
        {{manifest, "svc", "NoSuchCommand"}, "unknown command"},
        {{manifest, "svc", "55", "ProcessID=UInt32:1"}, "sent by the helper"},
        {{manifest, "svc"}, "no COMMAND"},
        {{"--background", dir.file("hostless.json"), "svc", "38", "TestDelay=UInt64:0"},
         "host program " + dir.file("no-such-host") + " cannot be run: No such file"},
        {{"--background", dir.file("foldered.json"), "svc", "38", "TestDelay=UInt64:0"},
         "host program " + dir.file("files") + " cannot be run: not a file"},
        {{dir.file("missing.json"), "svc", "38", "TestDelay=UInt64:0"}, "no package manifest"},
        {{"--frobnicate", manifest, "svc", "38"}, "frobnicate"},
    };
    // Service hosts that cannot run: one not there, one a folder.
    for (const auto& [name, host] : {std::pair{"hostless.json", dir.file("no-such-host")},
                                     std::pair{"foldered.json", dir.file("files")}})
        std::ofstream(dir.file(name)) << json{{"familyName", kFamily},
                                              {"version", "1.0.0.0"},
                                              {"fullTrustProgram", TARVIK_HELPER_PATH},
                                              {"appServices", {{{"name", "svc"}, {"host", host}}}}}
                                             .dump();
    // A manifest with a value of the wrong type is refused by the key's name.
    std::ofstream(dir.file("numbered.json"))
        << json{{"familyName", 5}, {"version", "1.0.0.0"}}.dump();
    std::ofstream(dir.file("listed.json"))
        << json{{"familyName", kFamily}, {"version", "1.0.0.0"}, {"uriSchemes", {1}}}.dump();
    std::ofstream(dir.file("named.json"))
        << json{{"familyName", kFamily}, {"version", "1.0.0.0"}, {"appServices", "svc"}}.dump();
    std::ofstream(dir.file("nameless.json")) << json{{"version", "1.0.0.0"}}.dump();
    cases.push_back({{dir.file("nameless.json"), "svc", "38", "TestDelay=UInt64:0"},
                     "nameless.json: \"familyName\" is missing"});
    cases.push_back(
        {{dir.file("numbered.json"), "svc", "38", "TestDelay=UInt64:0"}, "\"familyName\""});
    cases.push_back(
        {{dir.file("listed.json"), "svc", "38", "TestDelay=UInt64:0"}, "\"uriSchemes\""});
    cases.push_back(
        {{dir.file("named.json"), "svc", "38", "TestDelay=UInt64:0"}, "\"appServices\""});
    for (const auto& [args, text] : cases) {
        const Outcome done = runCall(args);
        EXPECT_EQ(done.status, 2) << args.back() << ": " << done.err;
        EXPECT_NE(done.err.find(text), std::string::npos) << done.err;
        EXPECT_EQ(done.out, "");
    }
    // Nothing was started for the package.
    EXPECT_FALSE(boost::filesystem::exists(dir.file("data/tarvik") + "/" + kFamily +
                                           "/TempState/Win32Helper.log"));
}

// A helper that cannot start, or ends before it answers, is reported as soon as it is
// missing, with the launch's logged error; the wait does not run to --timeout.
TEST_F(CallTest, AHelperThatIsNotRunningEndsTheWaitWithItsReason) {
    std::ofstream(dir.file("broken.json"))
        << json{{"familyName", kFamily},
                {"version", "1.0.0.0"},
                {"fullTrustProgram", dir.file("no-such-helper")},
                {"uriSchemes", {{"quits", "/bin/true"}}},
                {"appServices", {{{"name", "svc"}, {"host", TARVIK_APPHOST_PATH}}}}}
               .dump();
    const std::string broken = dir.file("broken.json");
    const std::vector<std::vector<std::string>> calls = {
        {"--timeout", "600", broken, "svc", "38", "TestDelay=UInt64:0"},
        {"--timeout", "600", "--watch", broken, "svc"},
        {"--timeout", "600", "--scheme", "quits", broken, "svc", "38", "TestDelay=UInt64:0"}};
    for (const auto& args : calls) {
        const Outcome done = CallProcess(args).finish(30s);
        EXPECT_EQ(done.status, 1) << args[2] << ": " << done.err;
        EXPECT_NE(done.err.find("the helper is not running"), std::string::npos) << done.err;
        EXPECT_NE(done.err.find("TempState/TRVK.log"), std::string::npos) << done.err;
        EXPECT_EQ(done.out, "");
    }
    // A launch that failed left its reason in the log, and it is shown, in either
    // topology: not a later critical line of the app service's own trace.
    for (const bool background : {false, true}) {
        std::vector<std::string> args = {"--timeout", "600", broken,
                                         "svc",       "38",  "TestDelay=UInt64:0"};
        if (background) args.insert(args.begin(), "--background");
        const Outcome missing = CallProcess(args).finish(30s);
        EXPECT_NE(missing.err.find("the launch's error: "), std::string::npos) << missing.err;
        EXPECT_NE(missing.err.find("cannot start " + dir.file("no-such-helper")), std::string::npos)
            << missing.err;
        EXPECT_EQ(missing.err.find("OpenAsync"), std::string::npos) << missing.err;
    }
}

TEST_F(CallTest, ListHelpAndVersionNeedNoPackage) {
    const Outcome list = runCall({"--list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("38 TestDelayMessage"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("TestDelay=UInt64"), std::string::npos) << list.out;
    const Outcome version = runCall({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_NE(version.out.find("tarvik-call 1."), std::string::npos) << version.out;
    const Outcome help = runCall({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--watch"), std::string::npos) << help.out;
}

}  // namespace
