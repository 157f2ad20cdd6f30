#pragma once
// What every benchmark program shares: the frame sizes of one TestDelayApi(0)
// exchange, blocking socket I/O for the raw baselines, latency percentiles, and the
// ratio table printed after the run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <TarvikFoundation/orvanetestmanager.h>

#include "common/logger.h"
#include "common/messageschema.h"
#include "platform/wirecodec.h"

namespace Bench {

// Request and response frame sizes as the channel writes them for TestDelayApi(0).
inline std::pair<std::size_t, std::size_t> frameSizes() {
    using namespace Platform;
    ValueSet request = Tarvik::createRequest(38);
    request.Insert(L"TestDelay", uint64_t{0});
    request.Insert(L"commandId", uint64_t{123456});
    request.Insert(L"ackCounts", int32_t{1});
    request.Insert(L"Ack1", uint64_t{123455});
    tarvik::wire::Frame req;
    req.mutable_request()->set_sequence(1);
    Wire::toProto(request, *req.mutable_request()->mutable_message());
    ValueSet response = Tarvik::createResponse(true);
    response.Insert(L"TestReponse", hstring(L"Delayed 0 ms"));
    tarvik::wire::Frame resp;
    resp.mutable_response()->set_sequence(1);
    resp.mutable_response()->set_message_present(true);
    Wire::toProto(response, *resp.mutable_response()->mutable_message());
    return {Wire::encodeFrame(req)->size(), Wire::encodeFrame(resp)->size()};
}

inline bool readAll(int fd, char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

inline bool writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Results by name, filled by the benchmarks and read by the ratio table.
inline std::map<std::string, double>& results() {
    static std::map<std::string, double> values;
    return values;
}

inline void record(benchmark::State& state, const std::string& name, double value,
                   const std::string& unit) {
    results()[name] = value;
    state.counters[unit] = value;
}

// Requests per second through a raw baseline (a socket that answers each request with
// one response, in order) with `depth` requests kept in flight.
inline void recordPipelined(benchmark::State& state, int fd, std::size_t requestSize,
                            std::size_t responseSize, int depth, const std::string& name) {
    std::string out(requestSize, 'q'), in(responseSize, '\0');
    int64_t total = 0;
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const int batch = std::max(2000, depth * 20);
        for (int i = 0; i < depth; ++i) writeAll(fd, out.data(), out.size());
        for (int i = 0; i < batch; ++i) {
            readAll(fd, in.data(), in.size());
            if (i + depth < batch) writeAll(fd, out.data(), out.size());
        }
        total += batch;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    record(state, name, total / seconds, "req_per_s");
}

// Runs `once` per iteration and records the median of the single times, in µs: a
// shared machine throws in outliers that would move a mean.
template <class F>
void recordP50(benchmark::State& state, const std::string& name, F once) {
    std::vector<double> samples;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        once();
        samples.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started)
                .count());
    }
    double p50 = 0;
    if (!samples.empty()) {
        std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
        p50 = samples[samples.size() / 2];
    }
    record(state, name, p50, "p50_us");
}

// Keeps `depth` TestDelayApi(0) calls in flight until `count` have completed; each
// completion's number (1 to count) goes to `onCompleted` first, if one is given.
inline void keepInFlight(
    const std::shared_ptr<TarvikFoundation::OrvaneInternal::OrvaneTestManager>& manager, int depth,
    int64_t count, const std::function<void(int64_t)>& onCompleted = {}) {
    std::atomic<int64_t> issued{0}, completed{0}, settled{0};
    std::promise<void> finished;
    std::function<void()> issue = [&] {
        if (issued.fetch_add(1) >= count) return;
        manager->TestDelayApi(0).Completed([&](const auto&, Platform::AsyncStatus) {
            const int64_t n = completed.fetch_add(1) + 1;
            if (onCompleted) onCompleted(n);
            issue();
            // The last handler to finish, not the last to complete, ends the run: no
            // handler touches this frame once it has returned.
            if (settled.fetch_add(1, std::memory_order_acq_rel) + 1 == count) finished.set_value();
        });
    };
    for (int i = 0; i < depth; ++i) issue();
    finished.get_future().wait();
}

// A result's name at a log level: level 3 keeps the plain name.
inline std::string atLevel(const std::string& name, int64_t level) {
    return level == 3 ? name : name + "_level" + std::to_string(level);
}

// Sets this process's log level for one measurement and puts back level 3 after it.
class LogLevelScope {
  public:
    explicit LogLevelScope(int64_t level) {
        Tarvik::ConfigureLogger(static_cast<uint32_t>(level), "UWP");
    }
    ~LogLevelScope() { Tarvik::ConfigureLogger(3, "UWP"); }
    LogLevelScope(const LogLevelScope&) = delete;
    LogLevelScope& operator=(const LogLevelScope&) = delete;
};

// The median time, in µs, of one "INF" line written and committed to the log file the
// process has open: what level 2 adds to an answer.
inline double committedLineP50(int lines) {
    LogLevelScope level(2);
    std::vector<double> samples;
    for (int i = 0; i < lines; ++i) {
        const auto started = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(TLOG("INF", "received response for kTestDelayMessage"));
        samples.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started)
                .count());
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

struct Ratio {
    std::string label;
    std::string subject;
    std::string baseline;
    double target;
    // Latency: subject / baseline, at most target. Throughput: subject / baseline, at
    // least target.
    bool atMost;
    // When set, (subject - minus) / baseline: what one setting adds, against a cost.
    std::string minus = {};
};

// The ratios of the level dimension: what level 2 adds to the single round trip against
// 1.2 committed lines, and throughput at level 2 against level 3 at 16 and 64 in flight.
inline void addLevelRatios(std::vector<Ratio>& ratios, const std::string& p50Name,
                           const std::string& depthPrefix, const std::string& lineName) {
    ratios.push_back({"p50 level 2 - p50 level 3 / one committed line", atLevel(p50Name, 2),
                      lineName, 1.2, true, p50Name});
    for (int depth : {16, 64})
        ratios.push_back({"throughput at depth " + std::to_string(depth) + ", level 2 / level 3",
                          atLevel(depthPrefix + std::to_string(depth), 2),
                          depthPrefix + std::to_string(depth), 0.5, false});
}

// Runs the benchmarks of the program, then prints each ratio and whether it meets its
// target. Exit status 0 either way: a miss is a measurement, not a crash.
inline int runAndReport(int argc, char** argv, const std::vector<Ratio>& ratios) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (ratios.empty()) return 0;
    std::printf("\n%-52s %10s %10s %7s %8s\n", "ratio", "subject", "baseline", "ratio", "target");
    for (const auto& r : ratios) {
        const auto s = results().find(r.subject), b = results().find(r.baseline);
        const auto minus = r.minus.empty() ? results().end() : results().find(r.minus);
        if (s == results().end() || b == results().end() || b->second == 0 ||
            (!r.minus.empty() && minus == results().end())) {
            std::printf("%-52s not measured in this run\n", r.label.c_str());
            continue;
        }
        const double subject = s->second - (r.minus.empty() ? 0.0 : minus->second);
        const double ratio = subject / b->second;
        const bool met = r.atMost ? ratio <= r.target : ratio >= r.target;
        std::printf("%-52s %10.1f %10.1f %7.2f %s%-6.2f %s\n", r.label.c_str(), subject, b->second,
                    ratio, r.atMost ? "<=" : ">=", r.target, met ? "met" : "MISSED");
    }
    return 0;
}

}  // namespace Bench
