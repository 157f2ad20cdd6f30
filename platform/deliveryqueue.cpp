#include "platform/deliveryqueue.h"

#include <atomic>

#include <TarvikFoundation/platform/linger.h>
#include <TarvikFoundation/platform/threadpool.h>

namespace Platform {

struct DeliveryQueue::State {
    std::mutex m;
    std::deque<std::function<void()>> waiting;
    // Pool threads called for this queue or between two items: free to take the next.
    int free = 0;
    // The length of waiting, readable without the lock by a lingering thread.
    std::atomic<std::size_t> count{0};
};

thread_local const std::shared_ptr<DeliveryQueue::State>* DeliveryQueue::running_ = nullptr;

DeliveryQueue::DeliveryQueue() : state_(std::make_shared<State>()) {}

void DeliveryQueue::push(std::function<void()> work) {
    {
        std::lock_guard g(state_->m);
        state_->waiting.push_back(std::move(work));
        state_->count.fetch_add(1, std::memory_order_release);
        if (state_->free > 0) return;
        ++state_->free;
    }
    ThreadPool::instance().post_direct([state = state_] { drain(state); });
}

void DeliveryQueue::itemBlocks() {
    if (!running_) return;
    const std::shared_ptr<State> state = *running_;
    std::size_t call = 0;
    {
        std::lock_guard g(state->m);
        if (state->waiting.size() > static_cast<std::size_t>(state->free))
            call = state->waiting.size() - static_cast<std::size_t>(state->free);
        state->free += static_cast<int>(call);
    }
    for (std::size_t i = 0; i < call; ++i)
        ThreadPool::instance().post_direct([state] { drain(state); });
}

void DeliveryQueue::drain(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> work;
        bool callAnother = false;
        {
            std::unique_lock g(state->m);
            // The last free thread lingers for the next item of a conversation; another
            // free one would take it anyway.
            if (state->waiting.empty() && state->free == 1) {
                g.unlock();
                linger([&] { return state->count.load(std::memory_order_acquire) != 0; });
                g.lock();
            }
            if (state->waiting.empty()) {
                --state->free;
                return;
            }
            work = std::move(state->waiting.front());
            state->waiting.pop_front();
            state->count.fetch_sub(1, std::memory_order_relaxed);
            --state->free;
            // This thread is busy now; the rest must not wait for it.
            if (!state->waiting.empty() && state->free == 0) {
                ++state->free;
                callAnother = true;
            }
        }
        if (callAnother) ThreadPool::instance().post_direct([state] { drain(state); });
        const auto* const outer = running_;
        running_ = &state;
        try {
            work();
        } catch (...) {
            // Items handle their own failures; the count must stay right regardless.
        }
        running_ = outer;
        std::lock_guard g(state->m);
        ++state->free;
    }
}

}  // namespace Platform
