#pragma once
// Runs work items on the thread pool in arrival order, each on a pool thread, without
// one pool hand-off per item: a pool thread that finishes an item takes the next one
// waiting. No item ever waits behind one that is running, since whenever items are
// waiting and no thread is free to take them, another pool thread is called.
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace Platform {

class DeliveryQueue {
  public:
    DeliveryQueue();
    void push(std::function<void()> work);
    /// Called by an item about to wait (a ThreadPool::Blocking scope): every item
    /// waiting behind it gets a pool thread at once, instead of one being called only
    /// when the last has woken.
    static void itemBlocks();

  private:
    struct State;
    static void drain(const std::shared_ptr<State>& state);
    // The queue whose item this thread runs, if any.
    static thread_local const std::shared_ptr<State>* running_;
    std::shared_ptr<State> state_;
};

}  // namespace Platform
