#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <TarvikFoundation/export.h>

namespace Platform {

namespace detail {
struct TARVIK_API cancellation_state {
    std::atomic<bool> canceled{false};
    std::mutex m;
    std::condition_variable cv;
    std::map<uint64_t, std::function<void()>> callbacks;
    uint64_t next_id = 1;
    uint64_t running_id = 0;
    std::thread::id running_thread;

    void cancel();
    uint64_t add(std::function<void()> fn);
    void remove(uint64_t id);
};
}  // namespace detail

/// Deregisters its callback when destroyed; waits for a callback that is running on
/// another thread, so the callback never outlives what it refers to.
class TARVIK_API cancellation_registration {
  public:
    cancellation_registration() = default;
    /// Made by register_callback.
    cancellation_registration(std::shared_ptr<detail::cancellation_state> s, uint64_t id)
        : state_(std::move(s)), id_(id) {}
    /// Takes over the other's callback.
    cancellation_registration(cancellation_registration&& o) noexcept
        : state_(std::move(o.state_)), id_(o.id_) {
        o.id_ = 0;
    }
    /// Deregisters the own callback, then takes over the other's.
    cancellation_registration& operator=(cancellation_registration&& o) noexcept {
        if (this != &o) {
            reset();
            state_ = std::move(o.state_);
            id_ = o.id_;
            o.id_ = 0;
        }
        return *this;
    }
    ~cancellation_registration() { reset(); }
    /// Deregisters now (waiting for a running callback).
    void reset() {
        if (state_ && id_) state_->remove(id_);
        state_.reset();
        id_ = 0;
    }

  private:
    std::shared_ptr<detail::cancellation_state> state_;
    uint64_t id_ = 0;
};

/// Cancellation sources and tokens for tasks. A token without a source never cancels.
class TARVIK_API cancellation_token {
  public:
    cancellation_token() = default;
    /// A token that never cancels.
    static cancellation_token none() { return {}; }

    /// Whether the source has cancelled.
    bool is_canceled() const noexcept {
        return state_ && state_->canceled.load(std::memory_order_acquire);
    }
    /// Whether a source stands behind the token.
    bool is_cancelable() const noexcept { return state_ != nullptr; }
    /// Runs fn once when the token is cancelled (at once when it already is).
    [[nodiscard]] cancellation_registration register_callback(std::function<void()> fn) const;

  private:
    friend class cancellation_token_source;
    explicit cancellation_token(std::shared_ptr<detail::cancellation_state> s)
        : state_(std::move(s)) {}
    std::shared_ptr<detail::cancellation_state> state_;
};

/// Owns a cancellation: hands out tokens and cancels them all at once.
class TARVIK_API cancellation_token_source {
  public:
    cancellation_token_source() : state_(std::make_shared<detail::cancellation_state>()) {}
    /// A source whose tokens never cancel: for operations nobody listens to, without a state.
    static cancellation_token_source none() { return cancellation_token_source(nullptr); }
    /// A token that this source cancels.
    cancellation_token get_token() const { return cancellation_token(state_); }
    /// Cancels every token of this source and runs their callbacks.
    void cancel() const {
        if (state_) state_->cancel();
    }
    /// Whether cancel() was called.
    bool is_canceled() const noexcept {
        return state_ && state_->canceled.load(std::memory_order_acquire);
    }

  private:
    explicit cancellation_token_source(std::nullptr_t) {}
    std::shared_ptr<detail::cancellation_state> state_;
};

}  // namespace Platform
