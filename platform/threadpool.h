#pragma once
#include <cstddef>
#include <functional>
#include <memory>

#include "platform/immortal.h"

namespace Platform {

/// The process-wide thread pool that runs tasks, continuations and platform events.
class ThreadPool {
  public:
    static ThreadPool& instance();

    /// Runs fn on a pool thread. Exceptions escaping fn are swallowed: the pool must
    /// keep its threads.
    void post(std::function<void()> fn);
    std::size_t thread_count() const noexcept;

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ~ThreadPool();

  private:
    friend class Platform::Immortal<ThreadPool>;
    ThreadPool();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Platform
