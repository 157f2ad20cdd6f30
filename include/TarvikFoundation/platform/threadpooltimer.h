#pragma once
#include <functional>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/clock.h>

namespace Platform {

/// One-shot and periodic timers on the library's clock; handlers run on the pool.
class TARVIK_API ThreadPoolTimer {
  public:
    using Handler = std::function<void(const ThreadPoolTimer&)>;

    ThreadPoolTimer() = default;
    ThreadPoolTimer(std::nullptr_t) {}
    explicit operator bool() const noexcept { return state_ != nullptr; }

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
