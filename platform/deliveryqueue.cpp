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
    // Whether a free thread is lingering for the next item (at most one does).
    bool lingering = false;
    // What a reading thread gave the lingering thread to run instead of lingering on.
    std::function<void()> turn;
    // The length of waiting, and whether a turn was given, readable without the lock
    // by the lingering thread.
    std::atomic<std::size_t> count{0};
    std::atomic<bool> turnGiven{false};
};

thread_local const std::shared_ptr<DeliveryQueue::State>* DeliveryQueue::running_ = nullptr;
thread_local DeliveryQueue::Hold::Held* DeliveryQueue::holding_ = nullptr;

DeliveryQueue::DeliveryQueue() : state_(std::make_shared<State>()) {}

void DeliveryQueue::push(std::function<void()> work) {
    if (holding_) {
        holding_->emplace_back(state_, std::move(work));
        return;
    }
    pushTo(state_, std::move(work));
}

void DeliveryQueue::pushTo(const std::shared_ptr<State>& state, std::function<void()> work) {
    {
        std::lock_guard g(state->m);
        state->waiting.push_back(std::move(work));
        state->count.fetch_add(1, std::memory_order_release);
        if (state->free > 0) return;
        ++state->free;
    }
    post(state);
}

void DeliveryQueue::post(std::shared_ptr<State> state) {
    ThreadPool::instance().post_direct([state = std::move(state)] {
        // A turn given to this thread runs here, at the top of its pool item, so that
        // turns passed back and forth never nest.
        if (auto turn = drain(state)) turn();
    });
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
    for (std::size_t i = 0; i < call; ++i) post(state);
}

void DeliveryQueue::runItem(const std::shared_ptr<State>& state, std::function<void()>& work) {
    const auto* const outer = running_;
    running_ = &state;
    try {
        work();
    } catch (...) {
        // Items handle their own failures; the count must stay right regardless.
    }
    work = nullptr;
    running_ = outer;
}

std::function<void()> DeliveryQueue::drain(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> work;
        bool callAnother = false;
        {
            std::unique_lock g(state->m);
            // The last free thread lingers for the next item of a conversation; another
            // free one would take it anyway.
            if (state->waiting.empty() && state->free == 1 && !state->lingering) {
                state->lingering = true;
                g.unlock();
                linger([&] {
                    return state->count.load(std::memory_order_acquire) != 0 ||
                           state->turnGiven.load(std::memory_order_acquire);
                });
                g.lock();
                state->lingering = false;
                if (state->turn) {
                    // This thread leaves the queue for the turn; items that came
                    // meanwhile must not wait for it.
                    auto turn = std::move(state->turn);
                    state->turn = nullptr;
                    state->turnGiven.store(false, std::memory_order_relaxed);
                    --state->free;
                    if (!state->waiting.empty() && state->free == 0) {
                        ++state->free;
                        callAnother = true;
                    }
                    g.unlock();
                    if (callAnother) post(state);
                    return turn;
                }
            }
            if (state->waiting.empty()) {
                --state->free;
                return {};
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
        if (callAnother) post(state);
        runItem(state, work);
        std::lock_guard g(state->m);
        ++state->free;
    }
}

DeliveryQueue::Hold::Hold() noexcept : previous_(holding_) {
    holding_ = &held_;
}

DeliveryQueue::Hold::~Hold() {
    holding_ = previous_;
    // Whatever was not handed on or run (an exception on the way) is not lost.
    for (auto& [state, work] : held_) pushTo(state, std::move(work));
    if (kept_) pushTo(keptQueue_, std::move(kept_));
}

bool DeliveryQueue::Hold::take(std::function<void()> turn) {
    holding_ = previous_;
    Held held;
    held.swap(held_);
    if (held.size() == 1) {
        auto& [state, work] = held.front();
        std::lock_guard g(state->m);
        if (state->lingering && !state->turn && state->waiting.empty()) {
            state->turn = std::move(turn);
            state->turnGiven.store(true, std::memory_order_release);
            keptQueue_ = std::move(state);
            kept_ = std::move(work);
            return true;
        }
    }
    for (auto& [state, work] : held) pushTo(state, std::move(work));
    return false;
}

std::function<void()> DeliveryQueue::Hold::run() {
    const auto state = std::move(keptQueue_);
    auto work = std::move(kept_);
    kept_ = nullptr;
    if (!state) return {};
    runItem(state, work);
    {
        std::lock_guard g(state->m);
        ++state->free;
    }
    return drain(state);
}

}  // namespace Platform
