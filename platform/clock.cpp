#include <cstdlib>

#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/immortal.h>

namespace Platform {

Clock& Clock::instance() {
    static Immortal<Clock> clock;
    return *clock;
}

Clock::Clock() : thread_([this] { run(); }) {
    // Tests that span processes run every process's time faster the same way.
    if (const char* scale = std::getenv("TARVIK_CLOCK_SCALE")) {
        const double factor = std::atof(scale);
        if (factor > 0) set_scaled(factor);
    }
}

Clock::~Clock() {
    {
        std::lock_guard g(m_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

Clock::time_point Clock::now_locked() const {
    switch (mode_) {
        case ClockMode::Real:
            return std::chrono::steady_clock::now();
        case ClockMode::Scaled: {
            const auto real = std::chrono::steady_clock::now() - anchor_real_;
            return anchor_virtual_ + std::chrono::duration_cast<duration>(real * factor_);
        }
        case ClockMode::Manual:
            return manual_now_;
    }
    return std::chrono::steady_clock::now();
}

Clock::time_point Clock::now() const {
    std::lock_guard g(m_);
    return now_locked();
}

std::chrono::steady_clock::duration Clock::to_real_locked(duration virt) const {
    if (mode_ == ClockMode::Scaled) return std::chrono::duration_cast<duration>(virt / factor_);
    return virt;
}

void Clock::rebase_locked() {
    const time_point current = now_locked();
    anchor_virtual_ = current;
    anchor_real_ = std::chrono::steady_clock::now();
    manual_now_ = current;
}

void Clock::set_real() {
    std::lock_guard g(m_);
    // Virtual time may be ahead of the steady clock; entries keep their remaining time.
    const time_point current = now_locked();
    const auto real_now = std::chrono::steady_clock::now();
    std::multimap<time_point, Entry> moved;
    for (auto& [when, e] : entries_) moved.emplace(real_now + (when - current), std::move(e));
    entries_ = std::move(moved);
    mode_ = ClockMode::Real;
    factor_ = 1.0;
    cv_.notify_all();
}

void Clock::set_scaled(double factor) {
    std::lock_guard g(m_);
    rebase_locked();
    mode_ = ClockMode::Scaled;
    factor_ = factor > 0 ? factor : 1.0;
    cv_.notify_all();
}

void Clock::set_manual() {
    std::lock_guard g(m_);
    rebase_locked();
    mode_ = ClockMode::Manual;
    cv_.notify_all();
}

ClockMode Clock::mode() const {
    std::lock_guard g(m_);
    return mode_;
}

void Clock::advance(duration d) {
    std::vector<std::function<void()>> due;
    {
        std::lock_guard g(m_);
        if (mode_ != ClockMode::Manual) return;
        manual_now_ += d;
        while (!entries_.empty() && entries_.begin()->first <= manual_now_) {
            due.push_back(std::move(entries_.begin()->second.fn));
            entries_.erase(entries_.begin());
        }
    }
    for (auto& fn : due) {
        try {
            fn();
        } catch (...) {
        }
    }
}

std::vector<Clock::duration> Clock::pending() const {
    std::lock_guard g(m_);
    const time_point current = now_locked();
    std::vector<duration> out;
    out.reserve(entries_.size());
    for (const auto& [when, e] : entries_) out.push_back(when - current);
    return out;
}

std::size_t Clock::pending_count() const {
    std::lock_guard g(m_);
    return entries_.size();
}

std::size_t Clock::cancel_all() {
    std::lock_guard g(m_);
    const std::size_t n = entries_.size();
    entries_.clear();
    return n;
}

Clock::timer_id Clock::schedule(duration d, std::function<void()> fn) {
    std::lock_guard g(m_);
    const timer_id id = next_id_++;
    entries_.emplace(now_locked() + d, Entry{id, std::move(fn)});
    cv_.notify_all();
    return id;
}

bool Clock::cancel(timer_id id) {
    std::lock_guard g(m_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.id == id) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

void Clock::run() {
    std::unique_lock lk(m_);
    while (!stop_) {
        if (entries_.empty()) {
            cv_.wait(lk);
            continue;
        }
        const time_point current = now_locked();
        auto first = entries_.begin();
        if (first->first > current) {
            if (mode_ == ClockMode::Manual)
                cv_.wait(lk);
            else
                cv_.wait_for(lk, to_real_locked(first->first - current));
            continue;
        }
        auto fn = std::move(first->second.fn);
        entries_.erase(first);
        lk.unlock();
        try {
            fn();
        } catch (...) {
        }
        lk.lock();
    }
}

void Clock::sleep_for(duration d) {
    sleep_for(d, cancellation_token::none());
}

bool Clock::sleep_for(duration d, const cancellation_token& token) {
    if (d.count() <= 0) return !token.is_canceled();
    struct Waiter {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        bool canceled = false;
    };
    auto w = std::make_shared<Waiter>();
    const timer_id id = schedule(d, [w] {
        std::lock_guard g(w->m);
        w->done = true;
        w->cv.notify_all();
    });
    auto reg = token.register_callback([w] {
        std::lock_guard g(w->m);
        w->canceled = true;
        w->cv.notify_all();
    });
    std::unique_lock lk(w->m);
    const ThreadPool::Blocking waiting;
    w->cv.wait(lk, [&] { return w->done || w->canceled; });
    const bool finished = w->done;
    lk.unlock();
    if (!finished) cancel(id);
    return finished;
}

}  // namespace Platform
