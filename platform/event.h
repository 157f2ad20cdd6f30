#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace Platform {

/// Multicast events with registration tokens. Handlers are invoked outside the
/// event's lock, on a snapshot, so a handler may add or remove registrations.
struct event_token {
    int64_t value = 0;
    explicit operator bool() const noexcept { return value != 0; }
    friend bool operator==(event_token, event_token) = default;
};

template <class... Args>
/// A multicast event: handlers added with a token, removed by it, invoked in order.
class event {
  public:
    using handler_type = std::function<void(Args...)>;

    event_token add(handler_type h) {
        std::lock_guard g(m_);
        const int64_t id = next_++;
        handlers_.emplace(id, std::move(h));
        return event_token{id};
    }
    void remove(event_token t) {
        std::lock_guard g(m_);
        handlers_.erase(t.value);
    }
    std::size_t size() const {
        std::lock_guard g(m_);
        return handlers_.size();
    }
    /// Invokes every handler in registration order; returns the number invoked.
    std::size_t operator()(Args... args) const {
        std::map<int64_t, handler_type> snapshot;
        {
            std::lock_guard g(m_);
            snapshot = handlers_;
        }
        for (auto& [id, h] : snapshot) h(args...);
        return snapshot.size();
    }

  private:
    mutable std::mutex m_;
    std::map<int64_t, handler_type> handlers_;
    int64_t next_ = 1;
};

/// A handler that calls a member of an object only while the object is alive.
template <class T, class... Args>
std::function<void(Args...)> weak_handler(const std::shared_ptr<T>& obj, void (T::*fn)(Args...)) {
    std::weak_ptr<T> weak = obj;
    return [weak, fn](Args... args) {
        if (auto strong = weak.lock()) ((*strong).*fn)(std::forward<Args>(args)...);
    };
}

}  // namespace Platform
