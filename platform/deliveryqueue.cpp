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
    // The length of waiting, readable without the lock by the lingering thread.
    std::atomic<std::size_t> count{0};
};

thread_local const std::shared_ptr<DeliveryQueue::State>* DeliveryQueue::running_ = nullptr;
thread_local DeliveryQueue::Hold::Held* DeliveryQueue::holding_ = nullptr;
thread_local DeliveryQueue::Hold* DeliveryQueue::runningHere_ = nullptr;

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
    ThreadPool::instance().post_direct([state = std::move(state)] { drain(state); });
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

void DeliveryQueue::drain(const std::shared_ptr<State>& state) {
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
                linger([&] { return state->count.load(std::memory_order_acquire) != 0; });
                g.lock();
                state->lingering = false;
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
    if (holding_ == &held_) holding_ = previous_;
    // Whatever was not run here (an exception on the way) is not lost.
    for (std::size_t i = next_; i < held_.size(); ++i)
        pushTo(held_[i].first, std::move(held_[i].second));
}

bool DeliveryQueue::Hold::runHere(std::function<void()> reading) {
    holding_ = previous_;
    if (held_.empty()) return true;
    reading_ = std::move(reading);
    active_ = true;
    outerRun_ = runningHere_;
    runningHere_ = this;
    auto& pool = ThreadPool::instance();
    pool.watch(*this);
    bool allHere;
    for (;;) {
        std::shared_ptr<State> state;
        std::function<void()> work;
        {
            std::lock_guard g(m_);
            if (handedOff_ || next_ == held_.size()) {
                active_ = false;
                allHere = !handedOff_;
                break;
            }
            state = std::move(held_[next_].first);
            work = std::move(held_[next_].second);
            ++next_;
            ++started_;
        }
        bool behind;
        {
            std::lock_guard g(state->m);
            behind = !state->waiting.empty();
        }
        // Items its queue already has come first.
        if (behind)
            pushTo(state, std::move(work));
        else
            runItem(state, work);
    }
    // Returns once no round of the watcher looks at this any more.
    pool.unwatch(*this);
    runningHere_ = outerRun_;
    return allHere;
}

void DeliveryQueue::Hold::handOff() noexcept {
    std::size_t from, to;
    std::function<void()> reading;
    {
        std::lock_guard g(m_);
        if (!active_ || handedOff_) return;
        handedOff_ = true;
        from = next_;
        to = next_ = held_.size();
        reading = std::move(reading_);
    }
    // The items from `from` on are this thread's now: the runner takes none past next_,
    // and held_ lives until the runner has left the watcher's rounds.
    try {
        for (std::size_t i = from; i < to; ++i) pushTo(held_[i].first, std::move(held_[i].second));
        ThreadPool::instance().post_direct(std::move(reading));
    } catch (...) {
        // Out of memory: nothing else can be done for them here.
    }
}

void DeliveryQueue::Hold::round() noexcept {
    {
        std::lock_guard g(m_);
        if (!active_ || handedOff_ || started_ != seen_) {
            seen_ = started_;
            return;
        }
    }
    handOff();
}

void DeliveryQueue::readingThreadWaits() noexcept {
    if (runningHere_) runningHere_->handOff();
}

}  // namespace Platform
