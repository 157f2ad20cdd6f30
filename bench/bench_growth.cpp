// Cost growth: the time per TestDelayApi(0) request from the first thousand requests
// to the millionth, with the helper's command handling on the other end of an
// in-memory connection, so that the results cache the helper keeps and the
// acknowledgements the application owes are both visible in this process. One stream
// of a million requests; each stretch (to 10^3, 10^4, 10^5, 10^6) reports the median
// of its hundred-request windows.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <TarvikFoundation/orvanetestmanager.h>
#include <TarvikFoundation/platform/appserviceconnection.h>

#include "bench/benchsupport.h"
#include "common/acknowledgementutils.h"
#include "common/logger.h"
#include "common/resultscache.h"
#include "helper/helpercommands.h"

namespace {

using TarvikFoundation::OrvaneInternal::OrvaneTestManager;

constexpr int kDepth = 16;
// Requests per timed window: small enough that the first thousand requests give ten
// windows, so that each stretch reports a median rather than a single sample.
constexpr int64_t kWindow = 100;
constexpr int64_t kStretches[] = {1000, 10000, 100000, 1000000};
constexpr int64_t kTotal = 1000000;

struct Sizes {
    std::size_t cached = 0, inProgress = 0, acks = 0;
};

// One stream of kTotal requests with kDepth in flight: every kWindow-th completion
// stamps the time, and the completion that ends a stretch reads the bounded sizes.
struct Stream {
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> marks = std::vector<Clock::time_point>(kTotal / kWindow + 1);
    std::vector<Sizes> sizes = std::vector<Sizes>(std::size(kStretches));

    void run(const std::shared_ptr<OrvaneTestManager>& manager) {
        marks[0] = Clock::now();
        Bench::keepInFlight(manager, kDepth, kTotal, [this](int64_t n) {
            if (n % kWindow == 0) marks[static_cast<std::size_t>(n / kWindow)] = Clock::now();
            for (std::size_t i = 0; i < std::size(kStretches); ++i)
                if (n == kStretches[i])
                    sizes[i] = {Tarvik::ResultsCache::resultCount(),
                                Tarvik::ResultsCache::inProgressCount(),
                                Tarvik::AcknowledgementUtils::pendingCount()};
        });
    }

    // The median time per request of the windows in (from, upTo]: a busy moment of a
    // shared machine moves a window, not the cost of the whole stretch.
    double medianUs(int64_t from, int64_t upTo) const {
        std::vector<double> windows;
        for (int64_t w = from / kWindow; w < upTo / kWindow; ++w)
            windows.push_back(
                std::chrono::duration<double, std::micro>(marks[static_cast<std::size_t>(w + 1)] -
                                                          marks[static_cast<std::size_t>(w)])
                    .count() /
                static_cast<double>(kWindow));
        std::nth_element(windows.begin(), windows.begin() + windows.size() / 2, windows.end());
        return windows[windows.size() / 2];
    }
};

void BM_CostGrowth(benchmark::State& state) {
    Tarvik::ConfigureLogger(3, "UWP");
    auto [appEnd, helperEnd] = Platform::AppServiceConnection::CreateInMemoryPair(L"svc");
    auto helperChannel = Tarvik::TarvikAppServiceConnection::create("Helper");
    TarvikHelper::HelperCommands commands(helperChannel);
    commands.registerAll();
    helperChannel->setAppServiceConnection(helperEnd, false);
    auto manager = OrvaneTestManager::GetInstance();
    manager->setAppServiceConnection(appEnd, false);

    for (auto _ : state) {
        Stream stream;
        stream.run(manager);
        std::printf("\n%12s %14s %14s %14s %14s\n", "requests", "us/request", "cached results",
                    "in progress", "pending acks");
        int64_t from = 0;
        for (std::size_t i = 0; i < std::size(kStretches); ++i) {
            const int64_t upTo = kStretches[i];
            const double us = stream.medianUs(from, upTo);
            from = upTo;
            const Sizes& at = stream.sizes[i];
            std::printf("%12lld %14.2f %14zu %14zu %14zu\n", static_cast<long long>(upTo), us,
                        at.cached, at.inProgress, at.acks);
            const std::string label = std::to_string(upTo);
            Bench::record(state, "us_per_request_" + label, us, "us_" + label);
            state.counters["cached_" + label] = static_cast<double>(at.cached);
            state.counters["acks_" + label] = static_cast<double>(at.acks);
        }
    }
    manager->setAppServiceConnection(nullptr, false);
    helperChannel->setAppServiceConnection(nullptr, false);
}
BENCHMARK(BM_CostGrowth)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    return Bench::runAndReport(argc, argv,
                               {{"time per request at 10^6 / at 10^3", "us_per_request_1000000",
                                 "us_per_request_1000", 1.2, true},
                                {"time per request at 10^6 / at 10^4", "us_per_request_1000000",
                                 "us_per_request_10000", 1.2, true}});
}
