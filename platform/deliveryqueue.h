#pragma once
// Runs work items on the thread pool in arrival order, each on a pool thread, without
// one pool hand-off per item: a pool thread that finishes an item takes the next one
// waiting. No item ever waits behind one that is running, since whenever items are
// waiting and no thread is free to take them, another pool thread is called.
//
// A reading thread runs what one read set off itself (Hold): the items start without a
// hand-off, one after another. Should one of them wait, or keep the thread past a round
// of the pool's watcher, the rest goes to their queues and the reading to another
// thread, so that nothing waits behind it for long.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <TarvikFoundation/platform/threadpool.h>

namespace Platform {

class DeliveryQueue {
    struct State;

  public:
    DeliveryQueue();
    void push(std::function<void()> work);
    /// Called by an item about to wait (a ThreadPool::Blocking scope): every item
    /// waiting behind it gets a pool thread at once, instead of one being called only
    /// when the last has woken.
    static void itemBlocks();

    /// Called by a thread about to wait: if it runs a read's items (Hold::runHere),
    /// the rest of them goes to their queues and the reading to another thread. A
    /// brief wait with nothing behind it keeps the reading (ThreadPool::Blocking::Brief).
    static void readingThreadWaits(bool brief) noexcept;

    /// While alive, what this thread pushes to any queue is kept back, to be run here
    /// (runHere) or, should that not happen, handed on as push() would.
    class Hold : ThreadPool::Watched {
      public:
        Hold() noexcept;
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        /// How runHere ended.
        enum class Ran {
            Here,         // every item ran on this thread, which reads on
            Slowly,       // two in a row, or all so far, took long; the rest went to
                          // their queues; this thread reads on
            ReadingGiven  // one waited or kept the thread for a round of the pool's
                          // watcher; the rest went to their queues and `reading` to a
                          // pool thread: this thread is no longer the reader
        };
        /// Two items in a row that keep the thread this long end running here: their
        /// successors might take as long, and others would wait behind them.
        static constexpr auto kQuickItem = std::chrono::microseconds(200);
        /// So do items that together keep it this long: meanwhile nobody reads, and a
        /// peer that sends faster than one thread computes would fill its queue. A
        /// read's worth of quick items (256 in flight) takes about half of it.
        static constexpr auto kReadBudget = std::chrono::milliseconds(2);

        /// Stops keeping back and runs what was kept, in order, each as its queue's item
        /// (behind it, when its queue has items waiting), until one waits or takes long.
        /// `reading` learns whether it was handed on by the watcher (an item stuck where
        /// the platform cannot see it) rather than by a wait the platform saw.
        /// `release`, if given, runs once: when the items stop running here or the last
        /// one starts, once they have kept the thread kQuickItem, as soon as one waits
        /// (brief waits too), or at the watcher's next round, on the thread that finds
        /// it so. What the items left for later (their sends, held for one write) waits
        /// behind no long or waiting item, and no longer than a round.
        Ran runHere(std::function<void(bool byWatcher)> reading,
                    std::function<void()> release = {});
        /// After runHere, on its thread: whether an item kept the thread kQuickItem or
        /// longer, or waited.
        bool sawSlowItem() const noexcept { return sawSlow_; }

        /// Items kept back so far.
        std::size_t size() const noexcept { return held_.size(); }

        using Held = std::vector<std::pair<std::shared_ptr<State>, std::function<void()>>>;

      private:
        friend class DeliveryQueue;
        void round() noexcept override;
        // Gives the rest and the reading away, once, from any thread; for a brief wait,
        // only when items are left behind it.
        void handOff(bool brief) noexcept;
        // The items not yet run, [from, to) of held_, and the reading, when given away.
        struct Rest {
            std::size_t from = 0, to = 0;
            std::function<void(bool)> reading;
        };
        // Caller holds m_: takes the items not yet run (and the reading, if asked) for
        // the caller to hand on; this thread runs no more of them.
        Rest takeRestLocked(bool withReading);
        // Hands on what takeRestLocked took.
        void handOn(Rest rest, bool byWatcher) noexcept;

        Held held_;
        Held* previous_;
        // While runHere runs: the next of held_ to run, items started, what the last
        // round saw started, and whether it ended or was handed off.
        std::mutex m_;
        std::size_t next_ = 0;
        uint64_t started_ = 0;
        uint64_t seen_ = ~uint64_t{0};
        bool active_ = false;
        bool handedOff_ = false;
        std::function<void(bool)> reading_;
        std::function<void()> release_;
        // Set by the running thread only.
        bool sawSlow_ = false;
        // Whether runHere was given a release: set before the watcher looks, read by
        // both, so that a run without one takes no lock for it.
        bool releasing_ = false;
        Hold* outerRun_ = nullptr;
        // Runs release_ unless it ran already; never under m_.
        void releaseOnce() noexcept;
    };

  private:
    static void pushTo(const std::shared_ptr<State>& state, std::function<void()> work);
    static void drain(const std::shared_ptr<State>& state);
    static void runItem(const std::shared_ptr<State>& state, std::function<void()>& work);
    static void post(std::shared_ptr<State> state);
    // The queue whose item this thread runs, if any.
    static thread_local const std::shared_ptr<State>* running_;
    // What this thread keeps back, while a Hold lives.
    static thread_local Hold::Held* holding_;
    // The Hold whose items this thread runs, while runHere runs.
    static thread_local Hold* runningHere_;
    std::shared_ptr<State> state_;
};

}  // namespace Platform
