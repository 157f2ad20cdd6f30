#pragma once
// Runs work items on the thread pool in arrival order, each on a pool thread, without
// one pool hand-off per item: a pool thread that finishes an item takes the next one
// waiting. No item ever waits behind one that is running, since whenever items are
// waiting and no thread is free to take them, another pool thread is called.
//
// A reading thread may also run an item itself and give its reading to the queue's
// lingering thread instead (Hold): the item then starts without a hand-off, and the
// reading goes on at once on a thread that was awake anyway.
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

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

    /// While alive, what this thread pushes to any queue is kept back. take() then
    /// either hands it all on as push() would, or, when it is a single item whose queue
    /// has nothing waiting and a thread lingering for its next item, gives that thread
    /// `turn` to run instead and keeps the item for this thread to run().
    class Hold {
      public:
        Hold() noexcept;
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        /// Whether an item was kept for run().
        bool take(std::function<void()> turn);
        /// Runs the kept item as its queue's, then lingers as the queue's thread.
        /// Returns a turn this thread was given meanwhile (the caller runs it, or goes
        /// on with what it stands for), empty when none came.
        std::function<void()> run();

        using Held = std::vector<std::pair<std::shared_ptr<State>, std::function<void()>>>;

      private:
        Held held_;
        Held* previous_;
        std::shared_ptr<State> keptQueue_;
        std::function<void()> kept_;
    };

  private:
    static void pushTo(const std::shared_ptr<State>& state, std::function<void()> work);
    static std::function<void()> drain(const std::shared_ptr<State>& state);
    static void runItem(const std::shared_ptr<State>& state, std::function<void()>& work);
    static void post(std::shared_ptr<State> state);
    // The queue whose item this thread runs, if any.
    static thread_local const std::shared_ptr<State>* running_;
    // What this thread keeps back, while a Hold lives.
    static thread_local Hold::Held* holding_;
    std::shared_ptr<State> state_;
};

}  // namespace Platform
