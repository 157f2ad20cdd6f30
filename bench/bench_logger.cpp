// Cost of a line below the threshold against a line written and committed to disk.
#include <benchmark/benchmark.h>

#include <boost/filesystem.hpp>

#include <TarvikFoundation/platform/hstring.h>

#include "common/logger.h"

namespace {

struct LogFile {
    LogFile() {
        dir = boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path("tarvik-bench-%%%%%%");
        boost::filesystem::create_directories(dir);
        Tarvik::CloseLogFile();
        Tarvik::ConfigureLogger(2, "UWP");
        Tarvik::SetLogFilePath(Platform::utf8_to_wide((dir / "TRVK.log").string()));
    }
    ~LogFile() {
        Tarvik::CloseLogFile();
        boost::system::error_code ec;
        boost::filesystem::remove_all(dir, ec);
    }
    boost::filesystem::path dir;
};

LogFile& logFile() {
    static LogFile file;
    return file;
}

void BM_DroppedLine(benchmark::State& state) {
    logFile();
    uint64_t id = 0;
    for (auto _ : state) benchmark::DoNotOptimize(TLOG("DBG", "Try %d %I64d", 1, ++id));
}
BENCHMARK(BM_DroppedLine);

void BM_WrittenLine(benchmark::State& state) {
    logFile();
    uint64_t id = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            TLOG("INF", "[%d] sleep %d req %I64d API %d %x", 0, 300, ++id, 38, 0xabcu));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WrittenLine)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
