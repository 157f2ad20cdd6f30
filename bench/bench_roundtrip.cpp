// In-process mode against the raw limit: one TestDelayApi(0) round trip between this
// process and tarvik-helper over a Unix socket against a ping-pong of the same bytes,
// and throughput with 1 to 256 requests in flight against a pipelined raw echo.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <future>
#include <thread>
#include <vector>

#include <TarvikFoundation/orvanetestmanager.h>

#include "bench/benchsupport.h"
#include "common/base64.h"
#include "common/logger.h"
#include "platform/appservicelistener.h"

extern char** environ;

namespace {

using namespace Platform;
using Clock = std::chrono::steady_clock;

// An echo thread on one end of a socket pair: reads a request frame, writes a response.
class RawEcho {
  public:
    RawEcho() : sizes_(Bench::frameSizes()) {
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_);
        echo_ = std::thread([this] {
            std::string in(sizes_.first, '\0'), out(sizes_.second, 'r');
            while (Bench::readAll(fds_[1], in.data(), in.size()))
                if (!Bench::writeAll(fds_[1], out.data(), out.size())) break;
        });
    }
    ~RawEcho() {
        ::shutdown(fds_[0], SHUT_RDWR);
        echo_.join();
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int fd() const { return fds_[0]; }
    std::size_t requestSize() const { return sizes_.first; }
    std::size_t responseSize() const { return sizes_.second; }

  private:
    std::pair<std::size_t, std::size_t> sizes_;
    int fds_[2] = {-1, -1};
    std::thread echo_;
};

void BM_RawUnixPingPong(benchmark::State& state) {
    RawEcho echo;
    std::string out(echo.requestSize(), 'q'), in(echo.responseSize(), '\0');
    Bench::recordP50(state, "raw_pingpong_p50", [&] {
        Bench::writeAll(echo.fd(), out.data(), out.size());
        Bench::readAll(echo.fd(), in.data(), in.size());
    });
    state.counters["request_bytes"] = static_cast<double>(echo.requestSize());
}
BENCHMARK(BM_RawUnixPingPong)->UseRealTime()->MinTime(1.0);

// Depth requests kept in flight on the raw echo; requests per second.
void BM_RawPipelinedEcho(benchmark::State& state) {
    const int depth = static_cast<int>(state.range(0));
    RawEcho echo;
    Bench::recordPipelined(state, echo.fd(), echo.requestSize(), echo.responseSize(), depth,
                           "raw_echo_depth_" + std::to_string(depth));
}
BENCHMARK(BM_RawPipelinedEcho)->Arg(1)->Arg(16)->Arg(64)->Arg(256)->UseRealTime();

struct HelperSession {
    HelperSession() {
        dir = boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path("tarvik-bench-%%%%%%");
        boost::filesystem::create_directories(dir);
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        // Measures the channel, not the log: only warnings and worse are written.
        Tarvik::ConfigureLogger(3, "UWP");
        Tarvik::SetLogFilePath(Platform::utf8_to_wide((dir / "TRVK.log").string()));
        std::promise<AppServiceConnection> connected;
        listener = AppServiceListener::start(
            L"bench.pfn", L"svc",
            [&](const AppServiceTriggerDetails& d) { connected.set_value(d.Connection()); });
        std::string program = TARVIK_HELPER_PATH, log = (dir / "Win32Helper.log").string();
        std::vector<std::string> args = {program,
                                         "--package",
                                         Tarvik::Base64::encode("bench.pfn"),
                                         "--service",
                                         Tarvik::Base64::encode("svc"),
                                         "--log",
                                         log,
                                         "--logLevel",
                                         "3"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
        connection = connected.get_future().get();
        manager = TarvikFoundation::OrvaneInternal::OrvaneTestManager::GetInstance();
        manager->setAppServiceConnection(connection, false);
    }
    static HelperSession& shared() {
        static HelperSession session;
        return session;
    }
    ~HelperSession() {
        manager->setAppServiceConnection(nullptr, false);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        boost::system::error_code ec;
        boost::filesystem::remove_all(dir, ec);
    }
    boost::filesystem::path dir;
    std::shared_ptr<AppServiceListener> listener;
    AppServiceConnection connection{nullptr};
    pid_t pid = 0;
    std::shared_ptr<TarvikFoundation::OrvaneInternal::OrvaneTestManager> manager;
};

// Each measurement at log level 3 and at the default 2; the helper stays at 3.
void BM_TestDelayRoundTrip(benchmark::State& state) {
    auto& session = HelperSession::shared();
    Bench::LogLevelScope level(state.range(0));
    Bench::recordP50(state, Bench::atLevel("lib_roundtrip_p50", state.range(0)),
                     [&] { benchmark::DoNotOptimize(session.manager->TestDelayApi(0).get()); });
}
BENCHMARK(BM_TestDelayRoundTrip)->ArgName("level")->Arg(3)->Arg(2)->UseRealTime()->MinTime(1.0);

// One line written and committed to the session's log file.
void BM_CommittedLogLine(benchmark::State& state) {
    HelperSession::shared();
    for (auto _ : state)
        Bench::record(state, "log_line_p50", Bench::committedLineP50(2000), "p50_us");
}
BENCHMARK(BM_CommittedLogLine)->UseRealTime()->Iterations(1);

// The ceiling of level 2 with depth requests in flight: as many threads, each writing
// and committing one line after another to the session's log file, nothing else.
void BM_CommittedLinesAlone(benchmark::State& state) {
    HelperSession::shared();
    const int writers = static_cast<int>(state.range(0));
    Bench::LogLevelScope level(2);
    int64_t total = 0;
    const auto started = Clock::now();
    for (auto _ : state) {
        const int64_t batch = std::max(2000, writers * 20);
        std::atomic<int64_t> next{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < writers; ++i)
            threads.emplace_back([&] {
                while (next.fetch_add(1) < batch)
                    TLOG("INF", "received response for kTestDelayMessage");
            });
        for (auto& t : threads) t.join();
        total += batch;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Bench::record(state, "log_lines_writers_" + std::to_string(writers), total / seconds,
                  "lines_per_s");
}
BENCHMARK(BM_CommittedLinesAlone)->ArgName("writers")->Arg(16)->Arg(64)->UseRealTime();

void BM_TestDelayInFlight(benchmark::State& state) {
    auto& session = HelperSession::shared();
    const int depth = static_cast<int>(state.range(0));
    Bench::LogLevelScope level(state.range(1));
    int64_t total = 0;
    const auto started = Clock::now();
    for (auto _ : state) {
        const int batch = std::max(2000, depth * 20);
        Bench::keepInFlight(session.manager, depth, batch);
        total += batch;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Bench::record(state, Bench::atLevel("lib_depth_" + std::to_string(depth), state.range(1)),
                  total / seconds, "req_per_s");
}
BENCHMARK(BM_TestDelayInFlight)
    ->ArgNames({"depth", "level"})
    ->Args({1, 3})
    ->Args({16, 3})
    ->Args({16, 2})
    ->Args({64, 3})
    ->Args({64, 2})
    ->Args({256, 3})
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    std::vector<Bench::Ratio> ratios = {{"TestDelayApi(0) p50 / raw ping-pong p50",
                                         "lib_roundtrip_p50", "raw_pingpong_p50", 1.5, true}};
    for (int depth : {1, 16, 64, 256})
        ratios.push_back({"throughput at depth " + std::to_string(depth) + " / raw echo",
                          "lib_depth_" + std::to_string(depth),
                          "raw_echo_depth_" + std::to_string(depth), 0.5, false});
    Bench::addLevelRatios(ratios, "lib_roundtrip_p50", "lib_depth_", "log_line_p50");
    // How close level 2 comes to what the log file alone commits with as many writers.
    for (int depth : {16, 64})
        ratios.push_back(
            {"throughput at depth " + std::to_string(depth) + ", level 2 / log lines alone",
             "lib_depth_" + std::to_string(depth) + "_level2",
             "log_lines_writers_" + std::to_string(depth), 0.7, false});
    return Bench::runAndReport(argc, argv, ratios);
}
