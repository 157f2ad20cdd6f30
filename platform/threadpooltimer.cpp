#include <mutex>

#include <TarvikFoundation/platform/threadpool.h>
#include <TarvikFoundation/platform/threadpooltimer.h>

namespace Platform {

struct ThreadPoolTimer::State {
    std::mutex m;
    Handler handler;
    Clock::duration delay{};
    Clock::duration period{};
    Clock::timer_id id = 0;
    bool canceled = false;
};

void ThreadPoolTimer::arm(const std::shared_ptr<State>& s, Clock::duration d) {
    // The clock entry holds the timer: like the platform's timers it fires even when
    // the creator dropped its handle, until it is cancelled.
    std::lock_guard g(s->m);
    if (s->canceled) return;
    s->id = Clock::instance().schedule(d, [st = s] {
        ThreadPool::instance().post([st] {
            Handler h;
            {
                std::lock_guard g2(st->m);
                if (st->canceled) return;
                h = st->handler;
            }
            if (st->period.count() > 0) arm(st, st->period);
            h(ThreadPoolTimer(st));
        });
    });
}

ThreadPoolTimer ThreadPoolTimer::CreateTimer(Handler handler, Clock::duration delay) {
    auto s = std::make_shared<State>();
    s->handler = std::move(handler);
    s->delay = delay;
    arm(s, delay);
    return ThreadPoolTimer(s);
}

ThreadPoolTimer ThreadPoolTimer::CreatePeriodicTimer(Handler handler, Clock::duration period) {
    auto s = std::make_shared<State>();
    s->handler = std::move(handler);
    s->delay = period;
    s->period = period;
    arm(s, period);
    return ThreadPoolTimer(s);
}

void ThreadPoolTimer::Cancel() const {
    if (!state_) return;
    Clock::timer_id id;
    {
        std::lock_guard g(state_->m);
        state_->canceled = true;
        id = state_->id;
    }
    Clock::instance().cancel(id);
}

Clock::duration ThreadPoolTimer::Delay() const {
    return state_ ? state_->delay : Clock::duration{};
}
Clock::duration ThreadPoolTimer::Period() const {
    return state_ ? state_->period : Clock::duration{};
}

}  // namespace Platform
