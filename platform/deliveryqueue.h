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

  private:
    struct State;
    static void drain(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
};

}  // namespace Platform
