#pragma once
#include <functional>
#include <memory>

#include "platform/clock.h"

namespace Platform {

/// One-shot and periodic timers on the library's clock; handlers run on the pool.
class ThreadPoolTimer {
  public:
    using Handler = std::function<void(const ThreadPoolTimer&)>;

    ThreadPoolTimer() = default;
    ThreadPoolTimer(std::nullptr_t) {}
    explicit operator bool() const noexcept { return state_ != nullptr; }
    // Copies of one timer share it; for log lines.
    const void* identity() const noexcept { return state_.get(); }

    static ThreadPoolTimer CreateTimer(Handler handler, Clock::duration delay);
    static ThreadPoolTimer CreatePeriodicTimer(Handler handler, Clock::duration period);

    // Stops the timer; a handler already running finishes.
    void Cancel() const;
    Clock::duration Delay() const;
    Clock::duration Period() const;

  private:
    struct State;
    explicit ThreadPoolTimer(std::shared_ptr<State> s) : state_(std::move(s)) {}
    static void arm(const std::shared_ptr<State>& s, Clock::duration d);
    std::shared_ptr<State> state_;
};

}  // namespace Platform
