// Faults across real processes: a real tarvik-helper behind this process's app service,
// with the helper killed, its answers lost, late, duplicated or mangled, and peers
// that send garbage, a 1 GiB length prefix, or never read. Every request must end once
// with its own answer or as a failure, no request may run twice in one helper, and
// descriptors and heap must come back to where they were. Prints the table at the end.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <fstream>

#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/platform/clock.h>

#include "faultproxy.h"
#include "faultsupport.h"
#include "helperapp.h"
#include "lifecyclesupport.h"
#include "platform/framedio.h"
#include "platform/wirecodec.h"

using namespace std::chrono_literals;
using Platform::AppServiceConnection;
using Platform::ValueSet;
using TestSupport::FaultProxy;
using TestSupport::FaultRow;
using TestSupport::HelperProcess;
using TestSupport::RequestBatch;

namespace {

constexpr const char* kFamily = "Test.Faults_1";
// Every process runs its clock fifty times faster: the whole back-off table (55 s)
// takes about a second.
constexpr int kScale = 50;
constexpr int kRequests = 24;

class TablePrinter : public ::testing::Environment {
  public:
    void TearDown() override {
        std::printf("\n%-44s %5s %9s %6s %5s %10s %5s\n", "fault", "sent", "completed", "failed",
                    "wrong", "duplicates", "leaks");
        for (const auto& r : TestSupport::faultTable()) {
            std::printf("%-44s %5d %9d %6d %5d %10d %5d\n", r.fault.c_str(), r.sent, r.completed,
                        r.failed, r.wrong, r.duplicates, r.leaks);
            if (!r.note.empty()) std::printf("    %s\n", r.note.c_str());
        }
    }
};
const auto* const kPrinter = ::testing::AddGlobalTestEnvironment(new TablePrinter);

// Answers the helper's reconnection notice, as the library's managers would.
void answerHelper(const AppServiceConnection& c) {
    c.RequestReceived(
        [](const AppServiceConnection&, const Platform::AppServiceRequestReceivedEventArgs& a) {
            a.Request().SendResponseAsync(Tarvik::createResponse(true));
        });
}

class Faults : public TestSupport::HelperTest {
  protected:
    void SetUp() override {
        HelperTest::SetUp();
        ::setenv("TARVIK_CLOCK_SCALE", std::to_string(kScale).c_str(), 1);
        Platform::Clock::instance().set_scaled(kScale);
        service = std::make_unique<TestSupport::ServiceConnections>(kFamily);
        channel = Tarvik::TarvikAppServiceConnection::create("Faults");
    }
    void TearDown() override {
        channel->setAppServiceConnection(nullptr, false);
        channel.reset();
        service.reset();
        Platform::Clock::instance().set_real();
        ::unsetenv("TARVIK_CLOCK_SCALE");
    }

    // A helper started and connected; its connection is answered for the helper's
    // own requests.
    std::pair<std::unique_ptr<HelperProcess>, AppServiceConnection> startHelper() {
        auto helper = std::make_unique<HelperProcess>(
            kFamily, dir.file("helper-" + std::to_string(++helpers) + ".log"));
        EXPECT_TRUE(helper->started());
        AppServiceConnection c = service->next();
        EXPECT_TRUE(c) << "the helper never connected";
        if (c) answerHelper(c);
        return {std::move(helper), c};
    }

    // Sends a batch through a proxy with the given policy and fills the row.
    void throughProxy(FaultRow& row, FaultProxy::Policy policy, uint64_t delayMs = 0) {
        auto [helper, connection] = startHelper();
        ASSERT_TRUE(connection);
        {
            FaultProxy proxy(connection, std::move(policy));
            channel->setAppServiceConnection(proxy.appSide(), false);
            RequestBatch batch(channel, kRequests, [delayMs](int) { return delayMs; });
            batch.finish(row);
            channel->setAppServiceConnection(nullptr, false);
        }
        const auto ran = helper->executions();
        EXPECT_GE(ran.size(), std::size_t{kRequests}) << "the helper's log misses executions";
        row.duplicates += TestSupport::duplicatesIn(ran);
        helper->kill();
        connection.Close();
    }

    // A proxied scenario whose every request must end with its own answer.
    void proxied(const char* fault, FaultProxy::Policy policy, uint64_t delayMs = 0) {
        const TestSupport::Census before;
        FaultRow row{fault};
        throughProxy(row, std::move(policy), delayMs);
        EXPECT_EQ(row.completed, kRequests) << fault;
        record(row, before);
    }

    void record(FaultRow row, const TestSupport::Census& before) {
        channel->setAppServiceConnection(nullptr, false);
        // A helper that reconnected before it was killed left a connection behind.
        while (auto late = service->next(0ms)) late.Close();
        row.leaks += TestSupport::Census().leaksSince(before);
        EXPECT_EQ(row.wrong, 0) << row.fault;
        EXPECT_EQ(row.duplicates, 0) << row.fault;
        EXPECT_EQ(row.leaks, 0) << row.fault;
        EXPECT_EQ(row.completed + row.failed + row.wrong, row.sent) << row.fault;
        TestSupport::faultTable().push_back(std::move(row));
    }

    // A peer on the service's socket that this test drives byte by byte.
    int rawPeer(bool open) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", service->path().c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        if (open) {
            tarvik::wire::Frame hello;
            hello.mutable_open()->set_service_name("svc");
            hello.mutable_open()->set_protocol_version(Platform::Wire::kProtocolVersion);
            EXPECT_TRUE(Platform::FramedIo::writeFrame(fd, hello));
            std::string error;
            const auto reply = Platform::FramedIo::readFrame(fd, 5000, error);
            EXPECT_TRUE(reply && reply->has_open_result()) << error;
        }
        return fd;
    }

    std::unique_ptr<TestSupport::ServiceConnections> service;
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> channel;
    int helpers = 0;
};

void writeAll(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// Big-endian, as the wire has it.
std::string lengthPrefix(uint32_t length) {
    return {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
            static_cast<char>(length >> 8), static_cast<char>(length)};
}

// The process that last opened `log`, from its "start_<tag> <pid>" header.
long lastStarted(const std::string& log) {
    const std::string text = TestSupport::readFile(log);
    const auto at = text.rfind(" start_");
    if (at == std::string::npos) return 0;
    const auto blank = text.find(' ', at + 1);
    return blank == std::string::npos ? 0 : std::atol(text.c_str() + blank + 1);
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

}  // namespace

// The first attempt's answer is lost, late or unreadable, or every attempt arrives
// twice: the retries get the helper's cached answer, and nothing runs twice.
FaultProxy::Policy firstAttempt(FaultProxy::Action action) {
    return [action](int attempt) { return attempt == 0 ? action : FaultProxy::Action::Forward; };
}

TEST_F(Faults, AnswersLostOnTheWayAreAnsweredAgainFromTheHelpersCache) {
    proxied("answer lost after the helper ran it", firstAttempt(FaultProxy::Action::Lose));
}

TEST_F(Faults, AnswersDelayedPastTheBackOffStillEndTheirRequestOnce) {
    proxied("answer delayed past the first back-off", firstAttempt(FaultProxy::Action::Delay));
}

TEST_F(Faults, ARetryThatMeetsTheFirstRunStillInProgressWaitsForItsResult) {
    // Each request runs 2 s (40 ms here): the retry after 300 ms finds it in progress.
    proxied("answer lost while the helper is still busy", firstAttempt(FaultProxy::Action::Lose),
            2000);
}

TEST_F(Faults, ARequestDeliveredTwiceRunsOnce) {
    proxied(
        "every request delivered twice at once",
        [](int) { return FaultProxy::Action::ForwardTwice; }, 200);
}

TEST_F(Faults, AnswersWithWrongTypesOrWithoutKeysAreRetried) {
    // Neither answer can be read as a result; both are retried like a missing answer.
    proxied("answers with wrong types, then without keys", [](int attempt) {
        return attempt == 0   ? FaultProxy::Action::WrongTypes
               : attempt == 1 ? FaultProxy::Action::NoKeys
                              : FaultProxy::Action::Forward;
    });
}

TEST_F(Faults, AHelperKilledInTheMiddleOfRequestsIsReplacedAndTheRequestsEnd) {
    const TestSupport::Census before;
    FaultRow row{"helper killed with requests in flight"};
    auto [first, connection] = startHelper();
    ASSERT_TRUE(connection);
    channel->setAppServiceConnection(connection, false);
    // Staggered: request i runs i * 0.5 s (10 ms here), so the kill finds some done,
    // some running and some waiting.
    RequestBatch batch(channel, kRequests, [](int i) { return uint64_t(500) * i; });
    ASSERT_TRUE(TestSupport::eventually([&] { return batch.done() >= kRequests / 4; }, 20s));
    first->kill();
    const int doneAtKill = batch.done();
    auto [second, replacement] = startHelper();
    ASSERT_TRUE(replacement);
    channel->setAppServiceConnection(replacement, false);
    batch.finish(row);
    const auto ranFirst = first->executions();
    const auto ranSecond = second->executions();
    row.duplicates = TestSupport::duplicatesIn(ranFirst) + TestSupport::duplicatesIn(ranSecond);
    int again = 0;
    for (const auto& [id, times] : ranSecond) again += ranFirst.contains(id) ? 1 : 0;
    row.note = std::to_string(doneAtKill) + " had ended at the kill; " + std::to_string(again) +
               " that the killed helper had run but not answered ran again in its successor "
               "(its results cache died with it)";
    EXPECT_EQ(row.completed, kRequests);
    channel->setAppServiceConnection(nullptr, false);
    connection.Close();
    replacement.Close();
    second->kill();
    record(row, before);
}

TEST_F(Faults, GarbageAndAHugeLengthPrefixCloseOnlyTheirOwnConnection) {
    auto [helper, connection] = startHelper();
    ASSERT_TRUE(connection);
    channel->setAppServiceConnection(connection, false);
    const TestSupport::Census before;
    const long rssBefore = residentKiB();
    FaultRow row{"garbage, and a 1 GiB length prefix"};

    // Garbage instead of the opening frame, and a 1 GiB frame instead of it.
    for (const std::string& bytes :
         {std::string("\x13\x37 not a frame at all \xff\xfe", 24), lengthPrefix(1u << 30)}) {
        const int fd = rawPeer(false);
        writeAll(fd, bytes);
        char c;
        EXPECT_LE(::recv(fd, &c, 1, 0), 0) << "the service should hang up";
        ::close(fd);
    }
    // After a proper opening: a 1 GiB frame, then garbage on a second connection.
    for (const std::string& bytes :
         {lengthPrefix(1u << 30) + "xxxx", lengthPrefix(12) + std::string("\x0a\xff\xff\xff\xff\x0f"
                                                                          "garbage",
                                                                          13)}) {
        const int fd = rawPeer(true);
        AppServiceConnection accepted = service->next();
        ASSERT_TRUE(accepted);
        writeAll(fd, bytes);
        EXPECT_TRUE(TestSupport::eventually([&] { return !accepted.IsOpen(); }, 5s));
        ::close(fd);
    }
    // The real helper's connection carried on all along.
    RequestBatch batch(channel, kRequests, [](int) { return uint64_t{0}; });
    batch.finish(row);
    EXPECT_EQ(row.completed, kRequests);
    row.duplicates = TestSupport::duplicatesIn(helper->executions());
    EXPECT_LT(residentKiB() - rssBefore, 64 * 1024) << "a 1 GiB prefix must not be allocated";
    record(row, before);
    helper->kill();
    connection.Close();
}

TEST_F(Faults, APeerThatNeverReadsHoldsUpNeitherCallersNorOtherConnections) {
    const TestSupport::Census before;
    FaultRow row{"peer that never reads (1 MiB requests)"};
    std::unique_ptr<HelperProcess> helper;
    AppServiceConnection connection = nullptr;
    {
        const int fd = rawPeer(true);
        AppServiceConnection stuck = service->next();
        ASSERT_TRUE(stuck);
        channel->setAppServiceConnection(stuck, false);
        // The socket fills after a few of these; the callers must not be held.
        const auto started = std::chrono::steady_clock::now();
        RequestBatch batch(
            channel, 16, [](int) { return uint64_t{0}; },
            [](ValueSet& r) {
                r.Insert(L"padding", Platform::hstring(std::wstring(1u << 20, L'p')));
            });
        EXPECT_LT(std::chrono::steady_clock::now() - started, 30s) << "a send waited for the peer";
        EXPECT_EQ(batch.done(), 0);
        // The peer goes away; a helper takes over and the requests are retried to it.
        ::close(fd);
        EXPECT_TRUE(TestSupport::eventually([&] { return !stuck.IsOpen(); }, 10s));
        std::tie(helper, connection) = startHelper();
        ASSERT_TRUE(connection);
        channel->setAppServiceConnection(connection, false);
        batch.finish(row);
    }
    row.duplicates = TestSupport::duplicatesIn(helper->executions());
    channel->setAppServiceConnection(nullptr, false);
    helper->kill();
    connection.Close();
    record(row, before);
}

// Last: this one brings up the library's own app helper and managers, in background
// mode, so that the application and the helper meet only through tarvik-apphost.
TEST(FaultsThroughTheAppHost, AnAppHostKilledAndStartedAgainCarriesTheRequestsOn) {
    ::setenv("TARVIK_CLOCK_SCALE", std::to_string(kScale).c_str(), 1);
    Platform::Clock::instance().set_scaled(kScale);
    TestSupport::TestPackage package("Test.Faults_bg");
    Platform::Application::Create();
    auto options = std::make_shared<TarvikFoundation::TRVKConfigOptions>();
    options->Win32Uri(L"tarvik-test");
    options->AppServiceName(L"svc");
    options->ClientId(L"client-1");
    options->AppServiceInBackground(true);
    options->ReconnectInterval(1);
    options->LogLevel(1);
    auto app = TarvikFoundation::OrvaneAppHelper::create(options);
    ASSERT_TRUE(TestSupport::eventually([&] { return app->managersReady(); }, 20s))
        << package.logs();
    auto test = TarvikFoundation::OrvaneInternal::OrvaneTestManager::GetInstance();
    ASSERT_EQ(test->TestDelayApi(0).get(), Platform::hstring(L"Delayed 0 ms"));
    const std::string hostLog = package.temporaryFolder() + "/TRVKBackgroundTask.log";
    const long host = lastStarted(hostLog);
    ASSERT_GT(host, 0);

    const TestSupport::Census before;
    FaultRow row{"tarvik-apphost killed and started again"};
    std::vector<Platform::IAsyncOperation<Platform::hstring>> pending;
    for (int i = 0; i < kRequests; ++i)
        pending.push_back(test->TestDelayApiExt(uint64_t(500) * i, static_cast<uint64_t>(i)));
    const auto ended = [&] {
        int n = 0;
        for (const auto& op : pending) n += op.Status() != Platform::AsyncStatus::Started;
        return n;
    };
    ASSERT_TRUE(TestSupport::eventually([&] { return ended() >= kRequests / 4; }, 20s))
        << package.logs();
    ::kill(static_cast<pid_t>(host), SIGKILL);
    const int endedAtKill = ended();
    ASSERT_TRUE(TestSupport::eventually([&] { return ended() == kRequests; }, 60s))
        << package.logs();
    for (int i = 0; i < kRequests; ++i) {
        ++row.sent;
        try {
            const auto text = pending[i].get();
            if (text.empty())
                ++row.failed;
            else if (text.wstr() ==
                     L"Delayed " + std::to_wstring(500 * i) + L" ms value " + std::to_wstring(i))
                ++row.completed;
            else
                ++row.wrong;
        } catch (const Platform::hresult_error&) {
            ++row.failed;
        }
    }
    const long restarted = lastStarted(hostLog);
    EXPECT_NE(restarted, host) << "the application should have started a new app host";
    // The helper lived on, so its results cache did: nothing may have run twice.
    const std::string helperLog = package.temporaryFolder() + "/Win32Helper.log";
    HelperProcess::Log executions(helperLog);
    const auto ran = executions.counts();
    EXPECT_GE(ran.size(), std::size_t{kRequests}) << "the helper's log misses executions";
    row.duplicates = TestSupport::duplicatesIn(ran);
    row.note = std::to_string(endedAtKill) + " had ended at the kill; " +
               std::to_string(row.completed - endedAtKill) + " ended through the new app host";
    // The application holds one connection again, as before the kill.
    row.leaks = TestSupport::Census().leaksSince(before);
    EXPECT_EQ(row.wrong, 0);
    EXPECT_EQ(row.duplicates, 0);
    EXPECT_EQ(row.leaks, 0);
    EXPECT_EQ(row.completed + row.failed, row.sent);
    TestSupport::faultTable().push_back(row);

    test->TestAppExitApi();
    if (restarted > 0) ::kill(static_cast<pid_t>(restarted), SIGKILL);
    Platform::Clock::instance().set_real();
    ::unsetenv("TARVIK_CLOCK_SCALE");
}
