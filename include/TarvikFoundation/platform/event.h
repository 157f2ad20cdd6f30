#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <TarvikFoundation/export.h>

namespace Platform {

/// Multicast events with registration tokens. Handlers are invoked outside the
/// event's lock, on a snapshot, so a handler may add or remove registrations.
struct TARVIK_API event_token {
    /// The registration's number; 0 is no registration.
    int64_t value = 0;
    /// Whether the token names a registration.
    explicit operator bool() const noexcept { return value != 0; }
    /// Same registration.
    friend bool operator==(event_token, event_token) = default;
};

/// A multicast event: handlers added with a token, removed by it, invoked in order.
template <class... Args>
class event {
  public:
    /// A handler of the event's arguments.
    using handler_type = std::function<void(Args...)>;

    /// Adds a handler; its token removes it.
    event_token add(handler_type h) {
        std::lock_guard g(m_);
        const int64_t id = next_++;
        auto next =
            handlers_ ? std::make_shared<Handlers>(*handlers_) : std::make_shared<Handlers>();
        next->emplace_back(id, std::move(h));
        handlers_ = std::move(next);
        return event_token{id};
    }
    /// Removes the handler of that token, if still there.
    void remove(event_token t) {
        std::lock_guard g(m_);
        if (!handlers_) return;
        auto next = std::make_shared<Handlers>();
        for (const auto& entry : *handlers_)
            if (entry.first != t.value) next->push_back(entry);
        handlers_ = std::move(next);
    }
    /// Number of handlers.
    std::size_t size() const {
        std::lock_guard g(m_);
        return handlers_ ? handlers_->size() : 0;
    }
    /// Invokes every handler in registration order; returns the number invoked.
    std::size_t operator()(Args... args) const {
        // The list is never changed in place, only replaced: a raise shares the current
        // one instead of copying every handler.
        std::shared_ptr<const Handlers> snapshot;
        {
            std::lock_guard g(m_);
            snapshot = handlers_;
        }
        if (!snapshot) return 0;
        for (const auto& [id, h] : *snapshot) h(args...);
        return snapshot->size();
    }

  private:
    // In registration order, which is the order of the tokens.
    using Handlers = std::vector<std::pair<int64_t, handler_type>>;
    mutable std::mutex m_;
    std::shared_ptr<const Handlers> handlers_;
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
