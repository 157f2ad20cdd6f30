#pragma once
// A warning that can repeat many times a second (a failing accept, a flood of refused
// connections) is written once per interval, saying how often it happened meanwhile,
// so that a fault cannot fill the log and push out what came before it.
#include <chrono>
#include <cstdint>
#include <mutex>

#include <TarvikFoundation/platform/clock.h>

namespace Platform {

class RateLimitedWarning {
  public:
    static constexpr std::chrono::seconds kDefaultInterval{10};

    explicit RateLimitedWarning(std::chrono::milliseconds interval = kDefaultInterval)
        : interval_(interval) {}

    // Counts one occurrence; true when this one is to be written, with `times` the
    // occurrences it stands for (itself and those left unwritten since the last).
    bool due(uint64_t& times);

  private:
    const std::chrono::milliseconds interval_;
    std::mutex mutex_;
    bool written_ = false;
    Clock::time_point last_{};
    uint64_t unwritten_ = 0;
};

}  // namespace Platform
