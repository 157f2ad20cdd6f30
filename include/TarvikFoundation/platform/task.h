#pragma once
#include <atomic>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/cancellation.h>
#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/linger.h>
#include <TarvikFoundation/platform/threadpool.h>

namespace Platform {

/// How a task stands: running, or how it completed.
enum class task_status { pending, completed, error, canceled };

template <class T>
class task;

namespace detail {

struct unit {};

template <class T>
using stored_t = std::conditional_t<std::is_void_v<T>, unit, T>;

template <class T>
struct task_state {
    std::mutex m;
    // Written under m once, after the outcome; read without the lock: once it leaves
    // pending, value and error never change again.
    std::atomic<task_status> status{task_status::pending};
    std::optional<stored_t<T>> value;
    std::exception_ptr error;
    // Nearly every task has one continuation: it is kept without a vector's allocation.
    std::function<void()> firstWaiter;
    std::vector<std::function<void()>> moreWaiters;

    bool done() const noexcept {
        return status.load(std::memory_order_acquire) != task_status::pending;
    }

    // Returns false when the state was already complete (a second completion is ignored).
    template <class Fn>
    bool finish(task_status outcome, Fn&& fill) {
        std::function<void()> first;
        std::vector<std::function<void()>> more;
        {
            std::lock_guard g(m);
            if (status.load(std::memory_order_relaxed) != task_status::pending) return false;
            fill();
            status.store(outcome, std::memory_order_release);
            first.swap(firstWaiter);
            more.swap(moreWaiters);
        }
        // Costs no system call unless a thread blocks in wait().
        status.notify_all();
        if (first) first();
        for (auto& w : more) w();
        return true;
    }
    bool set_value(stored_t<T> v) {
        return finish(task_status::completed, [&] { value.emplace(std::move(v)); });
    }
    bool set_error(std::exception_ptr e) {
        return finish(task_status::error, [&] { error = std::move(e); });
    }
    bool set_canceled() {
        return finish(task_status::canceled, [] {});
    }
    /// Runs fn when complete: inline when already complete, else on the completing thread.
    void on_done(std::function<void()> fn) {
        if (!done()) {
            std::lock_guard g(m);
            if (status.load(std::memory_order_relaxed) == task_status::pending) {
                if (!firstWaiter)
                    firstWaiter = std::move(fn);
                else
                    moreWaiters.push_back(std::move(fn));
                return;
            }
        }
        fn();
    }
    void wait() const {
        if (done()) return;
        // What this thread's wait may need could come through a reading it holds.
        ThreadPool::leave_reading();
        linger([this] { return done(); });
        if (done()) return;
        const ThreadPool::Blocking waiting;
        for (;;) {
            const task_status s = status.load(std::memory_order_acquire);
            if (s != task_status::pending) return;
            status.wait(s, std::memory_order_acquire);
        }
    }
    // Completes this state from the outcome of the current exception.
    void set_current_exception() {
        try {
            throw;
        } catch (const task_canceled&) {
            set_canceled();
        } catch (...) {
            set_error(std::current_exception());
        }
    }
};

template <class T>
struct is_task : std::false_type {};
template <class T>
struct is_task<task<T>> : std::true_type {};

template <class T>
struct unwrap_task {
    using type = T;
};
template <class T>
struct unwrap_task<task<T>> {
    using type = T;
};

}  // namespace detail

/// Ends the running task body as cancelled.
[[noreturn]] inline void cancel_current_task() {
    throw task_canceled();
}

/// Awaitable that moves a coroutine onto the thread pool.
struct TARVIK_API resume_background {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const {
        ThreadPool::instance().post([h] { h.resume(); });
    }
    void await_resume() const noexcept {}
};

/// Awaitable sleep on the library's clock; resumes on the thread pool. Ends the
/// coroutine's wait early (without throwing) when the token is cancelled.
class TARVIK_API resume_after {
  public:
    /// Waits `d` on the library's clock, or until `token` is cancelled.
    resume_after(Clock::duration d, cancellation_token token = {})
        : d_(d), token_(std::move(token)) {}
    bool await_ready() const noexcept { return d_.count() <= 0 && !token_.is_canceled(); }
    void await_suspend(std::coroutine_handle<> h);
    /// True when the full time passed, false when cancelled.
    bool await_resume() noexcept { return !state_ || state_->elapsed; }

  private:
    struct State {
        std::mutex m;
        bool resumed = false;
        bool elapsed = false;
        std::coroutine_handle<> h;
        Clock::timer_id id = 0;
        cancellation_registration reg;
        void fire(bool elapsed_now) {
            cancellation_registration done_with;
            {
                std::lock_guard g(m);
                if (resumed) return;
                resumed = true;
                elapsed = elapsed_now;
                done_with = std::move(reg);
            }
            done_with.reset();
            auto handle = h;
            ThreadPool::instance().post([handle] { handle.resume(); });
        }
    };
    Clock::duration d_;
    cancellation_token token_;
    std::shared_ptr<State> state_;
};

inline void resume_after::await_suspend(std::coroutine_handle<> h) {
    state_ = std::make_shared<State>();
    state_->h = h;
    auto st = state_;
    std::lock_guard g(st->m);
    st->id = Clock::instance().schedule(d_, [st] { st->fire(true); });
    // The registration lives in the state; the callback only posts, so it never
    // waits on the state's own lock holder.
    auto reg = token_.register_callback([st] {
        Clock::instance().cancel(st->id);
        ThreadPool::instance().post([st] { st->fire(false); });
    });
    st->reg = std::move(reg);
}

/// task<T>: a shareable result that completes once with a value, an error or
/// cancellation. Supports blocking get(), continuations on the thread pool, and
/// coroutines (a function returning task<T> may co_await and co_return).
template <class T>
class task {
  public:
    /// The value a task completes with.
    using result_type = T;
    /// The shared completion state.
    using state_type = detail::task_state<T>;

    task() = default;
    /// A task over an existing state.
    explicit task(std::shared_ptr<state_type> s) : state_(std::move(s)) {}

    /// Whether the task has a state (a default-constructed task has none).
    bool valid() const noexcept { return state_ != nullptr; }
    /// Whether the task has completed in any way.
    bool is_done() const { return state_->done(); }
    /// Running, or how it completed.
    task_status status() const { return state_->status.load(std::memory_order_acquire); }
    /// Blocks until the task has completed.
    void wait() const { state_->wait(); }

    /// Blocks until done; returns the value, rethrows the error, or throws task_canceled.
    T get() const {
        state_->wait();
        const task_status s = status();
        if (s == task_status::error) std::rethrow_exception(state_->error);
        if (s == task_status::canceled) throw task_canceled();
        if constexpr (!std::is_void_v<T>) return *state_->value;
    }

    /// Continuation on the thread pool. f takes either `task<T>` (runs whatever the outcome)
    /// or T (runs only on success; errors and cancellation pass through). A continuation
    /// returning `task<U>` is unwrapped to `task<U>`.
    template <class F>
    auto then(F f, cancellation_token token = {}) const {
        return continue_with(std::move(f), std::move(token), true);
    }
    /// The same continuation, run on the thread that completes this task (at once when
    /// it is complete). Only for short continuations that never block: they run inside
    /// whoever completes the task, which saves a hand-off to the pool.
    template <class F>
    auto then_inline(F f, cancellation_token token = {}) const {
        return continue_with(std::move(f), std::move(token), false);
    }

    /// The shared completion state.
    const std::shared_ptr<state_type>& state() const noexcept { return state_; }

    struct promise_type;
    struct awaiter;
    /// co_await gives the value (or raises the error); the coroutine resumes on the pool.
    awaiter operator co_await() const noexcept { return awaiter{state_}; }

  private:
    template <class F>
    auto continue_with(F f, cancellation_token token, bool on_pool) const;
    std::shared_ptr<state_type> state_;
};

template <class T>
struct task<T>::awaiter {
    std::shared_ptr<state_type> st;
    bool await_ready() const { return st->done(); }
    void await_suspend(std::coroutine_handle<> h) const {
        st->on_done([h] { ThreadPool::instance().post([h] { h.resume(); }); });
    }
    T await_resume() const { return task<T>(st).get(); }
};

/// Awaits a task without taking its outcome, and resumes on the thread that completes
/// it (at once when it is complete). For a coroutine that looks at the outcome and
/// moves to the pool before anything that may block: it runs inside the completer.
template <class T>
struct resume_inline {
    /// Awaits `t`.
    explicit resume_inline(task<T> t) : work(std::move(t)) {}
    bool await_ready() const { return work.is_done(); }
    void await_suspend(std::coroutine_handle<> h) const {
        work.state()->on_done([h] { h.resume(); });
    }
    void await_resume() const noexcept {}
    /// The awaited task.
    task<T> work;
};

namespace detail {
template <class T>
struct promise_base {
    std::shared_ptr<task_state<T>> st = std::make_shared<task_state<T>>();
    task<T> get_return_object() { return task<T>(st); }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void unhandled_exception() { st->set_current_exception(); }
};
}  // namespace detail

template <class T>
struct task<T>::promise_type : detail::promise_base<T> {
    template <class U>
    void return_value(U&& v) {
        this->st->set_value(std::forward<U>(v));
    }
};

template <>
struct task<void>::promise_type : detail::promise_base<void> {
    void return_void() { this->st->set_value(detail::unit{}); }
};

/// Completion source for a task: set once from any thread.
template <class T>
class task_completion_event {
  public:
    /// An event whose task is not yet complete.
    task_completion_event() : state_(std::make_shared<detail::task_state<T>>()) {}
    /// Completes the task with `v`; false when it was already complete.
    template <class U = T>
    requires(!std::is_void_v<U>) bool set(U v) const { return state_->set_value(std::move(v)); }
    /// Completes a `task<void>`; false when it was already complete.
    template <class U = T>
    requires std::is_void_v<U>
    bool set() const { return state_->set_value(detail::unit{}); }
    /// Completes the task with an error; false when it was already complete.
    bool set_exception(std::exception_ptr e) const { return state_->set_error(std::move(e)); }
    /// Completes the task as cancelled; false when it was already complete.
    bool set_canceled() const { return state_->set_canceled(); }
    /// The task this event completes.
    task<T> get_task() const { return task<T>(state_); }

  private:
    std::shared_ptr<detail::task_state<T>> state_;
};

namespace detail {
/// Completes `out` from the outcome of calling f(args...), unwrapping returned tasks.
template <class R, class F, class... A>
void complete_from(const std::shared_ptr<task_state<typename unwrap_task<R>::type>>& out, F& f,
                   A&&... args) {
    using V = typename unwrap_task<R>::type;
    try {
        if constexpr (is_task<R>::value) {
            R inner = f(std::forward<A>(args)...);
            auto ist = inner.state();
            ist->on_done([out, inner] {
                try {
                    if constexpr (std::is_void_v<V>) {
                        inner.get();
                        out->set_value(unit{});
                    } else {
                        out->set_value(inner.get());
                    }
                } catch (...) {
                    out->set_current_exception();
                }
            });
        } else if constexpr (std::is_void_v<R>) {
            f(std::forward<A>(args)...);
            out->set_value(unit{});
        } else {
            out->set_value(f(std::forward<A>(args)...));
        }
    } catch (...) {
        out->set_current_exception();
    }
}
}  // namespace detail

template <class T>
template <class F>
auto task<T>::continue_with(F f, cancellation_token token, bool on_pool) const {
    constexpr bool task_based = std::is_invocable_v<F&, task<T>>;
    using R =
        typename std::conditional_t<task_based, std::invoke_result<F&, task<T>>,
                                    std::conditional_t<std::is_void_v<T>, std::invoke_result<F&>,
                                                       std::invoke_result<F&, T>>>::type;
    using V = typename detail::unwrap_task<R>::type;
    auto out = std::make_shared<detail::task_state<V>>();
    auto self = *this;
    auto run = [self, out, f = std::move(f), token]() mutable {
        if constexpr (task_based) {
            detail::complete_from<R>(out, f, self);
        } else {
            const auto st = self.status();
            if (st == task_status::canceled || token.is_canceled()) {
                out->set_canceled();
            } else if (st == task_status::error) {
                out->set_error(self.state()->error);
            } else if constexpr (std::is_void_v<T>) {
                detail::complete_from<R>(out, f);
            } else {
                detail::complete_from<R>(out, f, self.get());
            }
        }
    };
    if (on_pool)
        state_->on_done(
            [run = std::move(run)]() mutable { ThreadPool::instance().post(std::move(run)); });
    else
        state_->on_done(std::move(run));
    return task<V>(out);
}

/// Runs f on the thread pool. Cancelled before it starts when the token already is.
template <class F>
auto create_task(F f, cancellation_token token = {}) {
    using R = std::invoke_result_t<F&>;
    using V = typename detail::unwrap_task<R>::type;
    auto out = std::make_shared<detail::task_state<V>>();
    ThreadPool::instance().post([out, f = std::move(f), token]() mutable {
        if (token.is_canceled()) {
            out->set_canceled();
            return;
        }
        detail::complete_from<R>(out, f);
    });
    return task<V>(out);
}

/// A task already completed with `v`.
template <class T>
task<T> task_from_result(T v) {
    auto st = std::make_shared<detail::task_state<T>>();
    st->set_value(std::move(v));
    return task<T>(st);
}

/// A `task<void>` already completed.
inline task<void> task_from_result() {
    auto st = std::make_shared<detail::task_state<void>>();
    st->set_value(detail::unit{});
    return task<void>(st);
}

/// A task already failed with `e`.
template <class T>
task<T> task_from_exception(std::exception_ptr e) {
    auto st = std::make_shared<detail::task_state<T>>();
    st->set_error(std::move(e));
    return task<T>(st);
}

}  // namespace Platform
