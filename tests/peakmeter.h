#pragma once
// How far this process's resident memory and thread count rose above where they stood
// at the start of a scenario: the kernel's high-water mark, reset at the start, and a
// sampler. Rises, not levels, so that a row does not carry what earlier rows left.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace TestSupport {

// A field of /proc/self/status in kB (or a count), 0 when absent.
inline long processStatus(const char* field) {
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
    return 0;
}

class PeakMeter {
  public:
    PeakMeter()
        : startKiB_(processStatus("VmRSS")),
          startThreads_(static_cast<int>(processStatus("Threads"))) {
        // "5" resets the resident high-water mark to the current size.
        const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            hwmReset_ = ::write(fd, "5", 1) == 1;
            ::close(fd);
        }
        sampler_ = std::thread([this] {
            while (!stop_.load()) {
                sample();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~PeakMeter() { stop(); }
    PeakMeter(const PeakMeter&) = delete;
    PeakMeter& operator=(const PeakMeter&) = delete;

    void stop() {
        if (!sampler_.joinable()) return;
        stop_ = true;
        sampler_.join();
        sample();
    }
    long peakKiB() const {
        const long peak = std::max(rssKiB_.load(), hwmReset_ ? processStatus("VmHWM") : 0L);
        return std::max(0L, peak - startKiB_);
    }
    // Without the sampler itself.
    int peakThreads() const { return std::max(0, threads_.load() - 1 - startThreads_); }

  private:
    void sample() {
        long rss = processStatus("VmRSS");
        long seen = rssKiB_.load();
        while (rss > seen && !rssKiB_.compare_exchange_weak(seen, rss)) {
        }
        int threads = static_cast<int>(processStatus("Threads"));
        int most = threads_.load();
        while (threads > most && !threads_.compare_exchange_weak(most, threads)) {
        }
    }
    const long startKiB_;
    const int startThreads_;
    bool hwmReset_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<long> rssKiB_{0};
    std::atomic<int> threads_{0};
    std::thread sampler_;
};

}  // namespace TestSupport
