// Background mode against the raw limit: a TestDelayApi(0) round trip from this
// application through tarvik-apphost to tarvik-helper and back, and throughput with 1 to
// 256 requests in flight, against a two-hop relay of the same bytes over socket pairs
// (client -> relay -> echo and back), one at a time and pipelined.
#include <signal.h>
#include <sys/socket.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include <TarvikFoundation/orvaneapphelper.h>
#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/application.h>

#include "bench/benchsupport.h"
#include "common/logger.h"

namespace {

constexpr int kDepths[] = {1, 16, 64, 256};

// A relay thread per direction between two socket pairs and an echo behind them, each
// moving one frame per read and write as the raw one-hop echo does.
class RawTwoHopRelay {
  public:
    RawTwoHopRelay() : sizes_(Bench::frameSizes()) {
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, front_);
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, back_);
        const auto forward = [](int from, int to, std::size_t size) {
            std::string frame(size, '\0');
            while (Bench::readAll(from, frame.data(), frame.size()) &&
                   Bench::writeAll(to, frame.data(), frame.size())) {
            }
            ::shutdown(to, SHUT_RDWR);
        };
        requests_ = std::thread(forward, front_[1], back_[0], sizes_.first);
        responses_ = std::thread(forward, back_[0], front_[1], sizes_.second);
        echo_ = std::thread([this] {
            std::string in(sizes_.first, '\0'), out(sizes_.second, 'r');
            while (Bench::readAll(back_[1], in.data(), in.size()) &&
                   Bench::writeAll(back_[1], out.data(), out.size())) {
            }
            ::shutdown(back_[1], SHUT_RDWR);
        });
    }
    ~RawTwoHopRelay() {
        ::shutdown(front_[0], SHUT_RDWR);
        requests_.join();
        echo_.join();
        responses_.join();
        for (int fd : {front_[0], front_[1], back_[0], back_[1]}) ::close(fd);
    }
    int fd() const { return front_[0]; }
    std::size_t requestSize() const { return sizes_.first; }
    std::size_t responseSize() const { return sizes_.second; }

  private:
    std::pair<std::size_t, std::size_t> sizes_;
    int front_[2] = {-1, -1}, back_[2] = {-1, -1};
    std::thread requests_, responses_, echo_;
};

void BM_RawTwoHopRelay(benchmark::State& state) {
    RawTwoHopRelay relay;
    std::string out(relay.requestSize(), 'q'), in(relay.responseSize(), '\0');
    Bench::recordP50(state, "raw_relay_p50", [&] {
        Bench::writeAll(relay.fd(), out.data(), out.size());
        Bench::readAll(relay.fd(), in.data(), in.size());
    });
}
BENCHMARK(BM_RawTwoHopRelay)->UseRealTime()->MinTime(1.0);

// Depth requests kept in flight through the raw relay; requests per second.
void BM_RawTwoHopRelayPipelined(benchmark::State& state) {
    const int depth = static_cast<int>(state.range(0));
    RawTwoHopRelay relay;
    Bench::recordPipelined(state, relay.fd(), relay.requestSize(), relay.responseSize(), depth,
                           "raw_relay_depth_" + std::to_string(depth));
}
BENCHMARK(BM_RawTwoHopRelayPipelined)->Arg(1)->Arg(16)->Arg(64)->Arg(256)->UseRealTime();

// A package of its own whose app service tarvik-apphost hosts; the helper is started by
// the protocol launch, as in a real installation.
struct BackgroundSession {
    explicit BackgroundSession(int64_t level) {
        dir = boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path("tarvik-bench-%%%%%%");
        boost::filesystem::create_directories(dir / "run");
        family = "Tarvik.Bench_" + dir.filename().string().substr(13);
        ::setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        // Either program may be replaced by a wrapper, to count its work under a profiler.
        const char* helperPath = std::getenv("TARVIK_BENCH_HELPER");
        const char* hostPath = std::getenv("TARVIK_BENCH_APPHOST");
        if (!helperPath) helperPath = TARVIK_HELPER_PATH;
        if (!hostPath) hostPath = TARVIK_APPHOST_PATH;
        const std::string manifest = (dir / "manifest.json").string();
        std::ofstream(manifest) << "{\"familyName\": \"" << family
                                << "\", \"version\": \"1.0.0.0\", \"uriSchemes\": "
                                   "{\"tarvik-bench\": \""
                                << helperPath
                                << "\"}, \"appServices\": [{\"name\": \"bench\", \"host\": \""
                                << hostPath << "\"}]}\n";
        ::setenv("TARVIK_PACKAGE_MANIFEST", manifest.c_str(), 1);
        app = Platform::Application::Create();
        auto options = std::make_shared<TarvikFoundation::TRVKConfigOptions>();
        options->Win32Uri(L"tarvik-bench");
        options->AppServiceName(L"bench");
        options->ClientId(L"bench");
        options->LogLevel(static_cast<uint32_t>(level));
        helper = TarvikFoundation::OrvaneAppHelper::create(options);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!helper->managersReady() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        manager = TarvikFoundation::OrvaneInternal::OrvaneTestManager::GetInstance();
    }
    ~BackgroundSession() {
        manager->TestAppExitApi();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // Let go of the app helper before its host goes: a live one would reopen the
        // connection and start the host again in this package, which the next session's
        // managers must not be sent to.
        manager.reset();
        helper.reset();
        // The host would end after 30 s idle; this run does not wait for it.
        const std::string stopHost = "pkill -f 'tarvik-apphost --package " + family + "'";
        if (std::system(stopHost.c_str()) != 0) std::fprintf(stderr, "app-service host gone\n");
        boost::system::error_code ec;
        boost::filesystem::remove_all(dir, ec);
    }
    boost::filesystem::path dir;
    std::string family;
    std::shared_ptr<Platform::Application> app;
    std::shared_ptr<TarvikFoundation::OrvaneAppHelper> helper;
    std::shared_ptr<TarvikFoundation::OrvaneInternal::OrvaneTestManager> manager;
};

// Each measurement at log level 3 and at the default 2, in all three processes.
void BM_BackgroundRoundTrip(benchmark::State& state) {
    BackgroundSession session(state.range(0));
    if (!session.helper->managersReady()) {
        state.SkipWithError("the helper did not connect through tarvik-apphost");
        return;
    }
    Bench::recordP50(state, Bench::atLevel("background_p50", state.range(0)),
                     [&] { benchmark::DoNotOptimize(session.manager->TestDelayApi(0).get()); });
    // What one line adds, measured on the application's own log file.
    if (state.range(0) == 2)
        Bench::results()["background_log_line_p50"] = Bench::committedLineP50(2000);
}
BENCHMARK(BM_BackgroundRoundTrip)
    ->ArgName("level")
    ->Arg(3)
    ->Arg(2)
    ->UseRealTime()
    ->Iterations(20000);

void BM_BackgroundLevelInFlight(benchmark::State& state) {
    const int depth = static_cast<int>(state.range(0));
    BackgroundSession session(state.range(1));
    if (!session.helper->managersReady()) {
        state.SkipWithError("the helper did not connect through tarvik-apphost");
        return;
    }
    int64_t total = 0;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const int batch = std::max(2000, depth * 20);
        Bench::keepInFlight(session.manager, depth, batch);
        total += batch;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    Bench::record(state,
                  Bench::atLevel("background_depth_" + std::to_string(depth), state.range(1)),
                  total / seconds, "req_per_s");
}
BENCHMARK(BM_BackgroundLevelInFlight)
    ->ArgNames({"depth", "level"})
    ->Args({1, 3})
    ->Args({16, 3})
    ->Args({16, 2})
    ->Args({64, 3})
    ->Args({64, 2})
    ->Args({256, 3})
    ->UseRealTime()
    ->Iterations(5);  // one session per run: no trial runs that start one each

}  // namespace

int main(int argc, char** argv) {
    std::vector<Bench::Ratio> ratios = {{"background TestDelayApi(0) p50 / raw two-hop relay p50",
                                         "background_p50", "raw_relay_p50", 1.5, true}};
    for (int depth : kDepths)
        ratios.push_back({"background at depth " + std::to_string(depth) + " / raw relay",
                          "background_depth_" + std::to_string(depth),
                          "raw_relay_depth_" + std::to_string(depth), 0.5, false});
    Bench::addLevelRatios(ratios, "background_p50", "background_depth_", "background_log_line_p50");
    return Bench::runAndReport(argc, argv, ratios);
}
