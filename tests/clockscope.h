#pragma once
// Gives one test the process-wide clock in the mode it needs and checks, when the test
// ends, that it left no timer behind; leftovers are reported and dropped so the next
// test starts from an empty clock whatever the order.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

#include <TarvikFoundation/platform/clock.h>

namespace TestSupport {

class ClockScope {
  public:
    enum class Mode { Manual, Scaled, Real };
    explicit ClockScope(Mode mode = Mode::Manual, double factor = 1.0) {
        auto& clock = Platform::Clock::instance();
        if (const std::size_t stale = clock.cancel_all())
            ADD_FAILURE() << stale << " timer(s) left by an earlier test were dropped";
        if (mode == Mode::Manual) clock.set_manual();
        if (mode == Mode::Scaled) clock.set_scaled(factor);
        if (mode == Mode::Real) clock.set_real();
    }
    ~ClockScope() {
        auto& clock = Platform::Clock::instance();
        const auto left = clock.pending();
        if (!left.empty()) {
            std::ostringstream text;
            for (const auto& d : left)
                text << " " << std::chrono::duration_cast<std::chrono::milliseconds>(d).count()
                     << "ms";
            ADD_FAILURE() << "the test left " << left.size() << " timer(s) pending:" << text.str();
        }
        clock.cancel_all();
        clock.set_real();
    }
    ClockScope(const ClockScope&) = delete;
    ClockScope& operator=(const ClockScope&) = delete;
    Platform::Clock& clock() const { return Platform::Clock::instance(); }
};

}  // namespace TestSupport
