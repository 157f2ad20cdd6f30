// Faults across real processes: a real tarvik-helper behind this process's app service,
// with the helper killed, its answers lost, late, duplicated or mangled, and peers
// that send garbage, a 1 GiB length prefix, or never read. Every request must end once
// with its own answer or as a failure, no request may run twice in one helper, and
// descriptors and heap must come back to where they were. Prints the table at the end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "confinementsupport.h"
#include "faultproxy.h"
#include "faultsupport.h"
#include "helper/sockets/socketserver.h"
#include "helperapp.h"
#include "lifecyclesupport.h"
#include "peakmeter.h"
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
        std::printf("\n%-44s %5s %9s %6s %5s %10s %5s %5s %8s\n", "fault", "sent", "completed",
                    "failed", "wrong", "duplicates", "leaks", "+MiB", "+threads");
        for (const auto& r : TestSupport::faultTable()) {
            std::printf("%-44s %5d %9d %6d %5d %10d %5d %5ld %8d\n", r.fault.c_str(), r.sent,
                        r.completed, r.failed, r.wrong, r.duplicates, r.leaks, r.peakKiB / 1024,
                        r.peakThreads);
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

// Every process that the suite starts runs its clock faster. Set once before any thread
// starts: changing the environment while a pool thread starts a process is a race.
[[maybe_unused]] const bool kScaledChildren =
    ::setenv("TARVIK_CLOCK_SCALE", std::to_string(kScale).c_str(), 1) == 0;

class Faults : public TestSupport::HelperTest {
  protected:
    void SetUp() override {
        HelperTest::SetUp();
        Platform::Clock::instance().set_scaled(kScale);
        service = std::make_unique<TestSupport::ServiceConnections>(kFamily);
        channel = Tarvik::TarvikAppServiceConnection::create("Faults");
        peaks = std::make_unique<TestSupport::PeakMeter>();
    }
    void TearDown() override {
        channel->setAppServiceConnection(nullptr, false);
        channel.reset();
        service.reset();
        Platform::Clock::instance().set_real();
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
        // The meter reads /proc as it samples: stopped first, it opens nothing the
        // census could count.
        peaks->stop();
        row.leaks += TestSupport::Census().leaksSince(before);
        row.peakKiB = peaks->peakKiB();
        row.peakThreads = peaks->peakThreads();
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
    std::unique_ptr<TestSupport::PeakMeter> peaks;
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
    // The successor is up and connected before the kill. Started after it, it would race
    // the requests' back-off (about a second here), and a helper can take longer than
    // that to start under a sanitizer on a busy machine.
    auto [second, replacement] = startHelper();
    ASSERT_TRUE(replacement);
    channel->setAppServiceConnection(connection, false);
    // Staggered: request i runs i * 0.5 s (10 ms here), so the kill finds some done,
    // some running and some waiting.
    RequestBatch batch(channel, kRequests, [](int i) { return uint64_t(500) * i; });
    ASSERT_TRUE(TestSupport::eventually([&] { return batch.done() >= kRequests / 4; }, 20s));
    first->kill();
    const int doneAtKill = batch.done();
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

// A killed helper's last notices stay unacknowledged in this side's results cache; the
// notices of the helper that replaces it must each reach the handler all the same.
TEST_F(Faults, AReplacedHelpersNoticesReachTheHandlerNotAPredecessorsAnswers) {
    const TestSupport::Census before;
    FaultRow row{"helper replaced with notices pending"};
    constexpr int kNotices = 6;
    std::mutex m;
    std::map<uint32_t, int> seen;
    channel->addCommand(Tarvik::Commands::kWin32Reconnected,
                        [](const ValueSet&) { return Tarvik::createResponse(true); });
    channel->addCommand(Tarvik::Commands::kProcessExited, [&](const ValueSet& notice) {
        std::lock_guard g(m);
        ++seen[notice.LookupAs<uint32_t>(L"ProcessID")];
        return Tarvik::createResponse(true);
    });
    const auto seenOf = [&](uint32_t pid) {
        std::lock_guard g(m);
        return seen.contains(pid) ? seen[pid] : 0;
    };
    for (int generation = 0; generation < 2; ++generation) {
        HelperProcess helper(kFamily, dir.file("helper-" + std::to_string(++helpers) + ".log"));
        AppServiceConnection connection = service->next();
        ASSERT_TRUE(connection) << "the helper never connected";
        channel->setAppServiceConnection(connection, false);
        std::vector<pid_t> watched;
        for (int i = 0; i < kNotices; ++i) {
            watched.push_back(TestSupport::spawnSleeper("60"));
            ValueSet watch = Tarvik::createRequest(Tarvik::Commands::kWatchProcess);
            watch.Insert(L"ProcessID", static_cast<uint32_t>(watched.back()));
            const auto answer = channel->sendCommandAsync(watch).get();
            ASSERT_TRUE(answer && answer.Message());
        }
        // All exit at once: the helper's notices go out together, and the last ones
        // are acknowledged by no later request before the helper is killed.
        for (pid_t pid : watched) ::kill(pid, SIGKILL);
        for (pid_t pid : watched) ::waitpid(pid, nullptr, 0);
        const auto delivered = [&] {
            int n = 0;
            for (pid_t pid : watched) n += seenOf(static_cast<uint32_t>(pid)) > 0;
            return n;
        };
        TestSupport::eventually([&] { return delivered() == kNotices; }, 20s);
        for (pid_t pid : watched) {
            ++row.sent;
            const int times = seenOf(static_cast<uint32_t>(pid));
            if (times == 0)
                ++row.wrong;  // answered, but not by the handler
            else
                ++row.completed;
            row.duplicates += std::max(0, times - 1);
        }
        channel->setAppServiceConnection(nullptr, false);
        helper.kill();
        connection.Close();
    }
    EXPECT_EQ(row.completed, row.sent);
    row.note =
        "each notice is answered by its handler once; the successor's ids lie past "
        "every id of the helper it replaced";
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

// Peers that announce the largest frame and send a few bytes of it, and stay: this
// process (the service's host) holds the bytes that came, not the sizes announced,
// while the helper's requests go on.
TEST_F(Faults, ALengthPrefixFloodHoldsTheBytesThatCameNotTheSizesAnnounced) {
    auto [helper, connection] = startHelper();
    ASSERT_TRUE(connection);
    channel->setAppServiceConnection(connection, false);
    const TestSupport::Census before;
    FaultRow row{"length-prefix flood"};
    // As many as the listener serves beside the helper's connection, and one more
    // connection's room left for nobody.
    constexpr int kPeers = 14;
    const auto heap = [] {
        const auto m = ::mallinfo2();
        return m.uordblks + m.hblkhd;
    };
    const std::size_t heapBefore = heap();
    std::vector<int> peers;
    std::vector<AppServiceConnection> accepted;
    for (int i = 0; i < kPeers; ++i) {
        peers.push_back(rawPeer(true));
        accepted.push_back(service->next());
        ASSERT_TRUE(accepted.back());
        writeAll(peers.back(), lengthPrefix(16u << 20) + std::string(64, 'x'));
    }
    // A Unix socket's sender is charged for its bytes until the reader has taken them.
    const auto unread = [&] {
        int total = 0;
        for (int fd : peers) {
            int n = 0;
            ::ioctl(fd, TIOCOUTQ, &n);
            total += n;
        }
        return total;
    };
    EXPECT_TRUE(TestSupport::eventually([&] { return unread() == 0; }, 10s));
    RequestBatch batch(channel, kRequests, [](int) { return uint64_t{0}; });
    batch.finish(row);
    EXPECT_EQ(row.completed, kRequests);
    const std::size_t held = heap() - std::min(heap(), heapBefore);
    EXPECT_LT(held, std::size_t{kPeers} << 20) << "held " << (held >> 20) << " MiB";
    row.note = std::to_string(kPeers) + " peers each announced 16 MiB and sent 64 bytes; " +
               "they held " + std::to_string(held >> 20) + " MiB of heap in all while they stayed";
    row.duplicates = TestSupport::duplicatesIn(helper->executions());
    for (int fd : peers) ::close(fd);
    for (auto& c : accepted) EXPECT_TRUE(TestSupport::eventually([&] { return !c.IsOpen(); }, 10s));
    accepted.clear();
    record(row, before);
    helper->kill();
    connection.Close();
}

TEST_F(Faults, APeerThatNeverReadsHoldsUpNeitherCallersNorOtherConnections) {
    const TestSupport::Census before;
    FaultRow row{"peer that never reads (1 MiB requests)"};
    // Started first: once the peer goes away the requests' back-off runs, and a helper
    // started only then could be late for it on a busy machine.
    auto [helper, connection] = startHelper();
    ASSERT_TRUE(connection);
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
        channel->setAppServiceConnection(connection, false);
        batch.finish(row);
    }
    EXPECT_EQ(row.completed, row.sent);
    row.duplicates = TestSupport::duplicatesIn(helper->executions());
    channel->setAppServiceConnection(nullptr, false);
    helper->kill();
    connection.Close();
    record(row, before);
}

// Peak resident memory and threads of a process, from /proc.
struct ProcessFigures {
    long peakKiB = 0;
    long threads = 0;
};

ProcessFigures figuresOf(long pid) {
    ProcessFigures figures;
    std::ifstream status("/proc/" + (pid > 0 ? std::to_string(pid) : std::string("self")) +
                         "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) figures.peakKiB = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) figures.threads = std::atol(line.c_str() + 8);
    }
    return figures;
}

int loopbackClient(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
}

// Sends as much of `bytes` as the peer takes within a bounded number of tries.
std::size_t pushFor(int fd, const std::string& bytes, int tries) {
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    // A small send buffer, so that what the peer takes shows what it reads.
    const int small = 64 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::size_t sent = 0;
    for (int i = 0; i < tries && sent < bytes.size(); ++i) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else
            std::this_thread::sleep_for(5ms);
    }
    return sent;
}

// Another local user floods the helper's socket server: far more clients than it takes,
// one of them sending megabytes of requests. The application's requests still end with
// their own answers and the helper's memory stays bounded.
TEST_F(Faults, ASocketServerFloodLeavesTheHelpersMemoryBoundedAndItsRequestsAnswered) {
    auto [helper, connection] = startHelper();
    ASSERT_TRUE(connection);
    channel->setAppServiceConnection(connection, false);
    const TestSupport::Census before;
    FaultRow row{"socket-server flood by another user"};
    const long pid = lastStarted(dir.file("helper-1.log"));
    ASSERT_GT(pid, 0);
    const auto port =
        channel->sendCommandAsync(Tarvik::createRequest(Tarvik::Commands::kSocketServerInitialize))
            .get()
            .Message()
            .TryLookupAs<uint32_t>(L"SocketServerPort");
    ASSERT_TRUE(port && *port != 0);
    channel->sendCommandAsync(Tarvik::createRequest(Tarvik::Commands::kSocketServerStartListening))
        .get();
    const long peakBefore = figuresOf(pid).peakKiB;

    constexpr int kClients = 400;
    std::vector<int> clients;
    for (int i = 0; i < kClients; ++i)
        clients.push_back(loopbackClient(static_cast<uint16_t>(*port)));
    // 32 MiB of one-byte requests from the first; nobody answers them through command 32.
    const std::string burst(32u << 20, '\n');
    const std::size_t taken = pushFor(clients.front(), burst, 400);
    RequestBatch batch(channel, kRequests, [](int) { return uint64_t{0}; });
    batch.finish(row);
    EXPECT_EQ(row.completed, kRequests);
    const ProcessFigures after = figuresOf(pid);
    row.duplicates = TestSupport::duplicatesIn(helper->executions());
    // The helper takes the backlog at its own pace; those beyond the cap are hung up on.
    const int cap = static_cast<int>(TarvikHelper::SocketServer::Limits{}.clients);
    int refused = 0;
    TestSupport::eventually([&] {
        for (int& fd : clients) {
            char byte;
            if (fd >= 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0) {
                ++refused;
                ::close(std::exchange(fd, -1));
            }
        }
        return refused >= kClients - cap;
    });
    const long growthKiB = after.peakKiB - peakBefore;
    row.note = std::to_string(kClients) + " clients, " + std::to_string(refused) +
               " refused at the cap; " + std::to_string(taken >> 10) +
               " KiB of 32768 KiB taken from the flooding client; helper peak " +
               std::to_string(after.peakKiB / 1024) + " MiB (+" + std::to_string(growthKiB / 1024) +
               " MiB), " + std::to_string(after.threads) + " threads";
    EXPECT_EQ(refused, kClients - cap);
    EXPECT_LT(taken, burst.size()) << "the helper read requests that nobody answered";
    EXPECT_LT(growthKiB, 64 * 1024) << "the helper's memory grew with the flood";
    for (const int fd : clients)
        if (fd >= 0) ::close(fd);
    channel->setAppServiceConnection(nullptr, false);
    helper->kill();
    connection.Close();
    record(row, before);
}

// A flood of connections to the application's service that never send their opening
// frame: a helper's real handshake still goes through and its requests are answered,
// and the pool does not grow with the flood.
TEST_F(Faults, AHandshakeFloodNeitherPinsThreadsNorKeepsTheHelperOut) {
    const TestSupport::Census before;
    FaultRow row{"handshake flood (300 silent connections)"};
    const std::size_t poolBefore = Platform::ThreadPool::instance().thread_count();
    std::vector<int> silent;
    for (int i = 0; i < 300; ++i) silent.push_back(rawPeer(false));
    auto [helper, connection] = startHelper();
    ASSERT_TRUE(connection) << "the helper's handshake did not get through the flood";
    channel->setAppServiceConnection(connection, false);
    RequestBatch batch(channel, kRequests, [](int) { return uint64_t{0}; });
    batch.finish(row);
    EXPECT_EQ(row.completed, kRequests);
    const std::size_t pool = Platform::ThreadPool::instance().thread_count();
    const ProcessFigures self = figuresOf(0);
    row.duplicates = TestSupport::duplicatesIn(helper->executions());
    row.note = "pool threads " + std::to_string(poolBefore) + " before, " + std::to_string(pool) +
               " during the flood; this process: peak " + std::to_string(self.peakKiB / 1024) +
               " MiB, " + std::to_string(self.threads) + " threads";
    EXPECT_LE(pool, poolBefore + 8) << "silent connections hold pool threads";
    for (const int fd : silent) ::close(fd);
    channel->setAppServiceConnection(nullptr, false);
    helper->kill();
    connection.Close();
    record(row, before);
}

// The helper starts with a file where its data folder should be, so nothing of its own
// can be written (as on a full or read-only disk), and serves requests that must write;
// then the folder can be written again. Failures are answered as failures, the same
// helper recovers without a restart, and nothing is left behind: no temporary file,
// no file without its token.
TEST_F(Faults, ADataFolderThatCannotBeWrittenFailsRequestsAsToldUntilItCanAgain) {
    const TestSupport::Census before;
    FaultRow row{"disk full and read-only data folder"};
    const std::string blocked = dir.file("data/tarvik/helper");
    boost::filesystem::create_directories(dir.file("data/tarvik"));
    std::ofstream(blocked) << "in the way";
    auto [helper, connection] = startHelper();
    ASSERT_TRUE(connection);
    channel->setAppServiceConnection(connection, false);
    const auto target = [&](bool writable, int i) {
        return dir.file("made-" + std::to_string(writable) + "-" + std::to_string(i) + ".txt");
    };
    const auto ask = [&](bool writable, int i) {
        ValueSet session = Tarvik::createRequest(Tarvik::Commands::kAnalyticsStartSession);
        session.Insert(L"appFamily", Platform::hstring(L"fam"));
        ValueSet variable = Tarvik::createRequest(Tarvik::Commands::kSetEnvironmentVariable);
        variable.Insert(L"EnvVariableName", Platform::hstring(L"FAULT_" + std::to_wstring(i)));
        variable.Insert(L"EnvVariableValue", Platform::hstring(L"v"));
        ValueSet token = Tarvik::createRequest(Tarvik::Commands::kGetFileToken);
        token.Insert(L"filePath", Platform::hstring::from_utf8(target(writable, i)));
        token.Insert(L"filemode", Platform::hstring(L"write"));
        for (const ValueSet& request : {session, variable, token}) {
            ++row.sent;
            const auto answer = channel->sendCommandAsync(request).get();
            const auto message = answer ? answer.Message() : ValueSet(nullptr);
            const auto outcome = message ? message.TryLookupAs<int32_t>(L"response") : std::nullopt;
            if (outcome == (writable ? 0 : 1))
                (writable ? row.completed : row.failed) += 1;
            else
                ++row.wrong;
        }
    };
    constexpr int kRounds = 4;
    for (int i = 0; i < kRounds; ++i) ask(false, i);
    boost::filesystem::remove(blocked);
    for (int i = 0; i < kRounds; ++i) ask(true, i);
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_FALSE(boost::filesystem::exists(target(false, i))) << "a file without its token";
        row.wrong += boost::filesystem::exists(target(false, i)) ? 1 : 0;
    }
    int temporaries = 0;
    boost::system::error_code ec;
    for (boost::filesystem::recursive_directory_iterator it(dir.file("data"), ec), end;
         !ec && it != end; it.increment(ec))
        temporaries += it->path().filename().string().find(".tmp") != std::string::npos;
    EXPECT_EQ(temporaries, 0) << "temporary files left behind";
    row.leaks += temporaries;
    EXPECT_EQ(row.completed, 3 * kRounds);
    EXPECT_EQ(row.failed, 3 * kRounds);
    row.note =
        "12 failed while the folder could not be written, 12 completed after, by the "
        "same helper; no temporary file or tokenless file left";
    row.duplicates = TestSupport::duplicatesIn(helper->executions());
    channel->setAppServiceConnection(nullptr, false);
    helper->kill();
    connection.Close();
    record(row, before);
}

// Last: this one brings up the library's own app helper and managers, in background
// mode, so that the application and the helper meet only through tarvik-apphost.
TEST(FaultsThroughTheAppHost, AnAppHostKilledAndStartedAgainCarriesTheRequestsOn) {
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
    TestSupport::PeakMeter peaks;
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
    // Requests that failed under load may all have ended before the new app host
    // came up; it comes up all the same.
    EXPECT_TRUE(TestSupport::eventually([&] { return lastStarted(hostLog) != host; }, 60s))
        << "the application should have started a new app host";
    const long restarted = lastStarted(hostLog);
    // The helper lived on, so its results cache did: nothing may have run twice.
    const std::string helperLog = package.temporaryFolder() + "/Win32Helper.log";
    HelperProcess::Log executions(helperLog);
    const auto ran = executions.counts();
    // A request may fail when its wait for the new app host runs out (under load), and
    // then it may never have reached the helper; every answered one did.
    EXPECT_GE(ran.size(), static_cast<std::size_t>(row.completed))
        << "the helper's log misses executions";
    row.duplicates = TestSupport::duplicatesIn(ran);
    row.note = std::to_string(endedAtKill) + " had ended at the kill; " +
               std::to_string(row.completed - endedAtKill) + " ended through the new app host";
    // The application holds one connection again, as before the kill.
    peaks.stop();
    row.leaks = TestSupport::Census().leaksSince(before);
    row.peakKiB = peaks.peakKiB();
    row.peakThreads = peaks.peakThreads();
    EXPECT_EQ(row.wrong, 0);
    EXPECT_EQ(row.duplicates, 0);
    EXPECT_EQ(row.leaks, 0);
    EXPECT_EQ(row.completed + row.failed, row.sent);
    TestSupport::faultTable().push_back(row);

    // The exit request below must reach the helper through the new app host. Its log
    // shows it started, not that it carries requests yet; sent before it does, the
    // exit could run out of retries while it still starts, and the helper would live on.
    const auto carries = [&] {
        try {
            return !test->TestDelayApi(0).get().empty();
        } catch (const Platform::hresult_error&) {
            return false;
        }
    };
    EXPECT_TRUE(TestSupport::eventually(carries, 60s)) << package.logs();

    // Nothing of the application's may outlive the test: suspended, it opens no new
    // connection when the host goes, and the open it may still be in ends first.
    app->OnSuspending();
    const long helper = lastStarted(helperLog);
    test->TestAppExitApi();
    EXPECT_TRUE(TestSupport::eventually(
        [&] { return helper <= 0 || ::kill(static_cast<pid_t>(helper), 0) != 0; }, 20s))
        << "the helper should have exited";
    EXPECT_TRUE(TestSupport::eventually([&] { return !app->connectInProgress(); }, 20s));
    if (restarted > 0) ::kill(static_cast<pid_t>(restarted), SIGKILL);
    EXPECT_TRUE(TestSupport::eventually([&] { return !app->currentConnection(); }, 20s));
    Platform::Clock::instance().set_real();
}

namespace {

// How often each request id ran in each helper that wrote the log, one map per helper.
std::vector<std::map<uint64_t, int>> executionsPerHelper(const std::string& logPath) {
    std::vector<std::map<uint64_t, int>> helpers;
    const std::string text = TestSupport::readFile(logPath);
    static const std::string start = "start_W32", marker = " Executed ";
    for (auto at = text.find(start); at != std::string::npos;) {
        const auto next = text.find(start, at + 1);
        const std::string section = text.substr(at, next == std::string::npos ? next : next - at);
        std::map<uint64_t, int> counts;
        for (auto m = section.find(marker); m != std::string::npos; m = section.find(marker, m + 1))
            ++counts[std::strtoull(section.c_str() + m + marker.size(), nullptr, 10)];
        helpers.push_back(std::move(counts));
        at = next;
    }
    return helpers;
}

// The helper and app-host faults again, with the application confined by tarvik-run:
// both run outside its sandbox, and its launcher starts them again.
class FaultsConfined : public ::testing::Test {
  protected:
    // `allComplete`: every request must end with its answer; otherwise, as without a
    // sandbox, a request may fail when its wait for the connection runs out.
    void runBatch(FaultRow row, bool allComplete,
                  const std::function<void(TestSupport::ConfinedPackage&)>& fault) {
        TestSupport::ConfinedPackage package;
        const std::string folder = package.dataFolder();
        auto app = package.run({"batch", std::to_string(kRequests), folder});
        ASSERT_TRUE(app->shows("connected\n")) << app->output() << package.logs();
        std::ofstream(folder + "/go") << "go";
        ASSERT_TRUE(app->shows("sent\n")) << app->output();
        // Some requests have ended, the rest are held by the helper.
        std::this_thread::sleep_for(100ms);
        fault(package);
        ASSERT_TRUE(app->shows("result ", 120s)) << app->output() << package.logs();
        ASSERT_EQ(app->exitCode(), 0) << app->output();
        const std::string out = app->output();
        std::sscanf(out.c_str() + out.find("result "), "result %d %d %d", &row.completed,
                    &row.failed, &row.wrong);
        row.sent = kRequests;
        const auto helpers = executionsPerHelper(folder + "/TempState/Win32Helper.log");
        std::map<uint64_t, int> all;
        for (const auto& ran : helpers) {
            row.duplicates += TestSupport::duplicatesIn(ran);
            for (const auto& [id, times] : ran) all[id] += times;
        }
        row.note = std::to_string(helpers.size()) + " helpers; " +
                   std::to_string(TestSupport::duplicatesIn(all)) + " ran again in a successor";
        if (allComplete) {
            EXPECT_EQ(row.completed, kRequests) << out << package.logs();
        }
        EXPECT_EQ(row.completed + row.failed, row.sent) << out;
        EXPECT_EQ(row.wrong, 0);
        EXPECT_EQ(row.duplicates, 0);
        TestSupport::faultTable().push_back(std::move(row));
    }
};

TEST_F(FaultsConfined, AHelperKilledUnderASandboxedApplicationIsLaunchedAgain) {
    runBatch(FaultRow{"helper killed, application sandboxed"}, true,
             [](TestSupport::ConfinedPackage& package) {
                 const auto helpers = package.helpers();
                 ASSERT_FALSE(helpers.empty());
                 for (pid_t helper : helpers) ::kill(helper, SIGKILL);
                 // The application launches its helper again through the launcher.
                 std::ofstream(package.dataFolder() + "/again") << "again";
             });
}

TEST_F(FaultsConfined, AnAppHostKilledUnderASandboxedApplicationIsActivatedAgain) {
    runBatch(FaultRow{"tarvik-apphost killed, application sandboxed"}, false,
             [](TestSupport::ConfinedPackage& package) {
                 const pid_t host = package.appHost();
                 ASSERT_GT(host, 0);
                 ::kill(host, SIGKILL);
             });
}

}  // namespace
