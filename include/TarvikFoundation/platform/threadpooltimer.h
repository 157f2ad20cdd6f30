#pragma once
#include <functional>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/clock.h>

namespace Platform {

/// One-shot and periodic timers on the library's clock; handlers run on the pool.
class TARVIK_API ThreadPoolTimer {
  public:
    /// Receives the timer that fired.
    using Handler = std::function<void(const ThreadPoolTimer&)>;

    ThreadPoolTimer() = default;
    /// A null timer.
    ThreadPoolTimer(std::nullptr_t) {}
    /// Whether this is a timer, not null.
    explicit operator bool() const noexcept { return state_ != nullptr; }
    /// What identifies the timer in log lines; copies of one timer share it.
    const void* identity() const noexcept { return state_.get(); }

    /// Runs `handler` once after `delay` of the library's clock.
    static ThreadPoolTimer CreateTimer(Handler handler, Clock::duration delay);
    /// Runs `handler` every `period` until cancelled.
    static ThreadPoolTimer CreatePeriodicTimer(Handler handler, Clock::duration period);

    /// Stops the timer; a handler already running finishes.
    void Cancel() const;
    /// The delay of a one-shot timer (0 for a periodic one).
    Clock::duration Delay() const;
    /// The period of a periodic timer (0 for a one-shot one).
    Clock::duration Period() const;

  private:
    struct State;
    explicit ThreadPoolTimer(std::shared_ptr<State> s) : state_(std::move(s)) {}
    static void arm(const std::shared_ptr<State>& s, Clock::duration d);
    std::shared_ptr<State> state_;
};

}  // namespace Platform
