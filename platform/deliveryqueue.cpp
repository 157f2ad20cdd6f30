#include "platform/deliveryqueue.h"

#include "platform/threadpool.h"

namespace Platform {

struct DeliveryQueue::State {
    std::mutex m;
    std::deque<std::function<void()>> waiting;
    // Pool threads called for this queue or between two items: free to take the next.
    int free = 0;
};

DeliveryQueue::DeliveryQueue() : state_(std::make_shared<State>()) {}

void DeliveryQueue::push(std::function<void()> work) {
    {
        std::lock_guard g(state_->m);
        state_->waiting.push_back(std::move(work));
        if (state_->free > 0) return;
        ++state_->free;
    }
    ThreadPool::instance().post_direct([state = state_] { drain(state); });
}

void DeliveryQueue::drain(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> work;
        bool callAnother = false;
        {
            std::lock_guard g(state->m);
            if (state->waiting.empty()) {
                --state->free;
                return;
            }
            work = std::move(state->waiting.front());
            state->waiting.pop_front();
            --state->free;
            // This thread is busy now; the rest must not wait for it.
            if (!state->waiting.empty() && state->free == 0) {
                ++state->free;
                callAnother = true;
            }
        }
        if (callAnother) ThreadPool::instance().post_direct([state] { drain(state); });
        try {
            work();
        } catch (...) {
            // Items handle their own failures; the count must stay right regardless.
        }
        std::lock_guard g(state->m);
        ++state->free;
    }
}

}  // namespace Platform
