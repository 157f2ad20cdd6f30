#include "platform/deliveryqueue.h"

#include <atomic>
#include <system_error>
#include <thread>

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

DeliveryQueue::Hold::Ran DeliveryQueue::Hold::runHere(std::function<void(bool)> reading,
                                                      std::function<void()> release) {
    holding_ = previous_;
    if (held_.empty()) {
        if (release) release();
        return Ran::Here;
    }
    reading_ = std::move(reading);
    releasing_ = static_cast<bool>(release);
    {
        std::lock_guard g(m_);
        active_ = true;
        release_ = std::move(release);
    }
    // While the items run, this thread is the one a wait or the watcher relieves.
    struct Watching {
        Hold& hold;
        explicit Watching(Hold& h) : hold(h) {
            hold.outerRun_ = runningHere_;
            runningHere_ = &hold;
            ThreadPool::instance().watch(hold);
        }
        ~Watching() {
            // Returns once no round of the watcher looks at the hold any more.
            ThreadPool::instance().unwatch(hold);
            runningHere_ = hold.outerRun_;
        }
    } watching(*this);
    // Whatever way the run ends, what it left for later is done before the watcher lets go.
    struct Released {
        Hold& hold;
        ~Released() { hold.releaseOnce(); }
    } released{*this};
    const auto runStarted = std::chrono::steady_clock::now();
    auto itemStarted = runStarted;
    int slowItems = 0;
    for (;;) {
        std::shared_ptr<State> state;
        std::function<void()> work;
        bool last;
        {
            std::lock_guard g(m_);
            if (handedOff_ || next_ == held_.size()) {
                active_ = false;
                return handedOff_ ? Ran::ReadingGiven : Ran::Here;
            }
            state = std::move(held_[next_].first);
            work = std::move(held_[next_].second);
            ++next_;
            ++started_;
            last = next_ == held_.size();
        }
        // Nothing after the last item to wait for: what the run left for later (its
        // sends) need not wait behind it either.
        if (last) releaseOnce();
        // Items its queue already has come first.
        if (state->count.load(std::memory_order_acquire) != 0) {
            pushTo(state, std::move(work));
            continue;
        }
        runItem(state, work);
        const auto now = std::chrono::steady_clock::now();
        const bool slow = now - itemStarted >= kQuickItem;
        sawSlow_ = sawSlow_ || slow;
        // What the items left for later has waited long enough behind them.
        if (now - runStarted >= kQuickItem) releaseOnce();
        // Two in a row: one alone may only have lost the core for a while.
        slowItems = slow ? slowItems + 1 : 0;
        if (slowItems == 2 || now - runStarted >= kReadBudget) {
            Rest rest;
            {
                std::lock_guard g(m_);
                if (handedOff_) {
                    active_ = false;
                    return Ran::ReadingGiven;
                }
                rest = takeRestLocked(false);
                active_ = false;
            }
            handOn(std::move(rest), false);
            return Ran::Slowly;
        }
        itemStarted = now;
    }
}

DeliveryQueue::Hold::Rest DeliveryQueue::Hold::takeRestLocked(bool withReading) {
    Rest rest{next_, held_.size(), nullptr};
    next_ = held_.size();
    if (withReading) {
        handedOff_ = true;
        rest.reading = std::move(reading_);
    }
    return rest;
}

// The items taken are this thread's now: the runner takes none past next_, and held_
// lives until the runner has left the watcher's rounds.
void DeliveryQueue::Hold::handOn(Rest rest, bool byWatcher) noexcept {
    try {
        for (std::size_t i = rest.from; i < rest.to; ++i)
            pushTo(held_[i].first, std::move(held_[i].second));
        if (!rest.reading) return;
        if (byWatcher) {
            // The pool's threads may all be stuck as this one is, where the pool cannot
            // see it: the reading gets a thread of its own, as a connection's first has.
            try {
                std::thread([turn = rest.reading] { turn(true); }).detach();
                return;
            } catch (const std::system_error&) {
                // No thread to be had: the pool's, as soon as one comes free.
            }
        }
        ThreadPool::instance().post_direct(
            [turn = std::move(rest.reading), byWatcher] { turn(byWatcher); });
    } catch (...) {
        // Out of memory: nothing else can be done for them here.
    }
}

void DeliveryQueue::Hold::releaseOnce() noexcept {
    if (!releasing_) return;
    std::function<void()> release;
    {
        std::lock_guard g(m_);
        release = std::exchange(release_, nullptr);
    }
    if (!release) return;
    try {
        release();
    } catch (...) {
        // Out of memory: what was left for later is lost with it.
    }
}

void DeliveryQueue::Hold::handOff(bool brief) noexcept {
    {
        std::lock_guard g(m_);
        if (!active_ || handedOff_) return;
    }
    // Even a brief wait must not keep back what an item left for later.
    sawSlow_ = true;
    releaseOnce();
    Rest rest;
    {
        std::lock_guard g(m_);
        if (!active_ || handedOff_ || (brief && next_ == held_.size())) return;
        rest = takeRestLocked(true);
    }
    handOn(std::move(rest), false);
}

// Stuck: no item started since the last round. Checked and taken under one lock, so
// that a runner that has just moved on is not relieved for nothing.
void DeliveryQueue::Hold::round() noexcept {
    Rest rest;
    bool running, stuck = false;
    {
        std::lock_guard g(m_);
        running = active_ && !handedOff_;
        if (!running || started_ != seen_) {
            seen_ = started_;
        } else {
            rest = takeRestLocked(true);
            stuck = true;
        }
    }
    // What the items left for later waits no longer than a round, stuck or not.
    if (running) releaseOnce();
    if (stuck) handOn(std::move(rest), true);
}

void DeliveryQueue::readingThreadWaits(bool brief) noexcept {
    if (runningHere_) runningHere_->handOff(brief);
}

}  // namespace Platform
