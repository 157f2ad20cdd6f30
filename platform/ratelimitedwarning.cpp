#include "platform/ratelimitedwarning.h"

namespace Platform {

bool RateLimitedWarning::due(uint64_t& times) {
    const auto now = Platform::Clock::instance().now();
    std::lock_guard g(mutex_);
    ++unwritten_;
    if (written_ && now - last_ < interval_) return false;
    written_ = true;
    last_ = now;
    times = unwritten_;
    unwritten_ = 0;
    return true;
}

}  // namespace Platform
