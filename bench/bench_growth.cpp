// Cost growth: the time per TestDelayApi(0) request from the first thousand requests
// to the millionth, with the helper's command handling on the other end of an
// in-memory connection, so that the results cache the helper keeps and the
// acknowledgements the application owes are both visible in this process. Each stretch
// (to 10^3, 10^4, 10^5, 10^6) reports the median of its thousand-request windows.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <vector>

#include "bench/benchsupport.h"
#include "common/acknowledgementutils.h"
#include "common/logger.h"
#include "common/resultscache.h"
#include "helper/helpercommands.h"
#include "platform/appserviceconnection.h"
#include "tarvikfoundation/orvanetestmanager.h"

namespace {

using TarvikFoundation::OrvaneInternal::OrvaneTestManager;

constexpr int kDepth = 16;
constexpr int64_t kWindow = 1000;

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
        int64_t done = 0;
        std::printf("\n%12s %14s %14s %14s %14s\n", "requests", "us/request", "cached results",
                    "in progress", "pending acks");
        for (int64_t upTo : {1000LL, 10000LL, 100000LL, 1000000LL}) {
            // The median window of a thousand requests: a busy moment of a shared
            // machine moves a window, not the cost of the whole stretch.
            std::vector<double> windows;
            for (int64_t at = done; at < upTo; at += kWindow) {
                const auto started = std::chrono::steady_clock::now();
                Bench::keepInFlight(manager, kDepth, kWindow);
                windows.push_back(std::chrono::duration<double, std::micro>(
                                      std::chrono::steady_clock::now() - started)
                                      .count() /
                                  static_cast<double>(kWindow));
            }
            std::nth_element(windows.begin(), windows.begin() + windows.size() / 2, windows.end());
            const double us = windows[windows.size() / 2];
            done = upTo;
            const auto cached = Tarvik::ResultsCache::resultCount();
            const auto inProgress = Tarvik::ResultsCache::inProgressCount();
            const auto acks = Tarvik::AcknowledgementUtils::pendingCount();
            std::printf("%12lld %14.2f %14zu %14zu %14zu\n", static_cast<long long>(upTo), us,
                        cached, inProgress, acks);
            const std::string at = std::to_string(upTo);
            Bench::record(state, "us_per_request_" + at, us, "us_" + at);
            state.counters["cached_" + at] = static_cast<double>(cached);
            state.counters["acks_" + at] = static_cast<double>(acks);
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
