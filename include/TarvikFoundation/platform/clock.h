#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/cancellation.h>
#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/threadpool.h>

namespace Platform {

/// How the library's clock moves: with the steady clock, faster by a factor, or only
/// by advance().
enum class ClockMode { Real, Scaled, Manual };

/// The one clock through which every sleep, timer and timed wait of the library goes.
/// Real mode follows the steady clock; scaled mode runs time faster by a factor;
/// manual mode only moves when a test calls advance().
class TARVIK_API Clock {
  public:
    /// Durations of the clock.
    using duration = std::chrono::nanoseconds;
    /// Points in the clock's time.
    using time_point = std::chrono::steady_clock::time_point;
    /// Identifies a scheduled entry.
    using timer_id = uint64_t;

    /// The process's clock.
    static Clock& instance();

    /// The clock's current time.
    time_point now() const;

    /// Runs fn once, d after now, on the clock's own thread; fn must be short (it
    /// usually posts to the thread pool). Returns an id for cancel().
    timer_id schedule(duration d, std::function<void()> fn);
    /// True when the entry was removed before it ran.
    bool cancel(timer_id id);

    /// Blocks for `d` of the clock's time.
    void sleep_for(duration d);
    /// False when the token was cancelled before the time passed.
    bool sleep_for(duration d, const cancellation_token& token);

    /// Timed condition wait measured on this clock. Returns pred().
    template <class Lock, class Cv, class Pred>
    bool wait_for(Cv& cv, Lock& lk, duration d, Pred pred);

    /// Follow the steady clock (the default).
    void set_real();
    /// Run `factor` times faster than the steady clock.
    void set_scaled(double factor);
    /// Stand still until advance().
    void set_manual();
    /// The current mode.
    ClockMode mode() const;
    /// Manual mode: moves time on by `d` and runs what fell due.
    void advance(duration d);
    /// Remaining time of every scheduled entry, soonest first.
    std::vector<duration> pending() const;
    /// Number of scheduled entries.
    std::size_t pending_count() const;
    /// Drops every scheduled entry without running it; returns how many there were.
    std::size_t cancel_all();

    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;
    ~Clock();

  private:
    friend class Platform::Immortal<Clock>;
    Clock();
    time_point now_locked() const;
    void rebase_locked();
    std::chrono::steady_clock::duration to_real_locked(duration virt) const;
    void run();
    struct Entry {
        timer_id id;
        std::function<void()> fn;
    };

    mutable std::mutex m_;
    std::condition_variable cv_;
    ClockMode mode_ = ClockMode::Real;
    double factor_ = 1.0;
    time_point anchor_virtual_{};
    std::chrono::steady_clock::time_point anchor_real_{};
    time_point manual_now_{};
    std::multimap<time_point, Entry> entries_;
    timer_id next_id_ = 1;
    bool stop_ = false;
    std::thread thread_;
};

template <class Lock, class Cv, class Pred>
bool Clock::wait_for(Cv& cv, Lock& lk, duration d, Pred pred) {
    if (pred()) return true;
    // A pool thread waiting here leaves its turn to the work queued meanwhile.
    const ThreadPool::Blocking waiting;
    ClockMode mode;
    double factor;
    {
        std::lock_guard g(m_);
        mode = mode_;
        factor = factor_;
    }
    if (mode == ClockMode::Real) return cv.wait_for(lk, d, pred);
    if (mode == ClockMode::Scaled)
        return cv.wait_for(lk, std::chrono::duration_cast<duration>(d / factor), pred);
    // Manual: nothing wakes the caller's condition when time moves, so poll briefly.
    // The wait shows in pending() so tests can see it and step past it.
    const time_point deadline = now() + d;
    const timer_id marker = schedule(d, [] {});
    bool satisfied = true;
    while (!pred()) {
        if (now() >= deadline) {
            satisfied = pred();
            break;
        }
        cv.wait_for(lk, std::chrono::milliseconds(1));
    }
    cancel(marker);
    return satisfied;
}

}  // namespace Platform
