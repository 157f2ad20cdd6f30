#pragma once
#include <cstddef>
#include <functional>
#include <memory>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/immortal.h>

namespace Platform {

class ConnectionWait;
class DeliveryQueue;

/// The process-wide thread pool that runs tasks, continuations and platform events.
class TARVIK_API ThreadPool {
  public:
    /// The process's pool.
    static ThreadPool& instance();

    /// Runs fn on a pool thread. Exceptions escaping fn are swallowed: the pool must
    /// keep its threads.
    void post(std::function<void()> fn);
    /// As post, never through a funnel (for the queues that funnels feed).
    void post_direct(std::function<void()> fn);
    /// Number of pool threads.
    std::size_t thread_count() const noexcept;
    /// Number of pool threads waiting inside a Blocking scope.
    std::size_t waiting_count() const noexcept;

    /// While alive, what this thread posts goes through `queue`: a burst posted by an
    /// I/O thread then calls pool threads only as they are needed, not one per item,
    /// and the I/O thread wakes none of them itself beyond the first.
    class Funnel {
      public:
        /// Routes this thread's posts through `queue` until destroyed.
        explicit Funnel(DeliveryQueue& queue) noexcept;
        ~Funnel();
        Funnel(const Funnel&) = delete;
        Funnel& operator=(const Funnel&) = delete;

      private:
        DeliveryQueue* previous_;
    };

    /// While alive on a pool thread, that thread counts as waiting, not working (a wait
    /// for the disk, say): work queued meanwhile is taken by another thread, added when
    /// fewer than the pool's usual number are working. No effect off the pool.
    class Blocking {
      public:
        /// A wait of any length: a reading thread hands its reading on first.
        Blocking() noexcept;
        /// Marks a wait as short as a commit to the disk.
        struct Brief {};
        /// A brief wait: a reading thread whose read left nothing behind the waiting
        /// item keeps its reading through it (what comes meanwhile is read once it ends,
        /// or handed on by the pool's watcher should it not end within a round), which
        /// saves waking a thread to read nothing.
        explicit Blocking(Brief) noexcept;
        ~Blocking();
        Blocking(const Blocking&) = delete;
        Blocking& operator=(const Blocking&) = delete;

      private:
        explicit Blocking(bool brief) noexcept;
        bool counted_;
    };

    /// While alive, this thread waits for the disk to commit, and threads of this
    /// process that would stay awake for what they await (linger()) sleep instead: on
    /// the 2-core VM, threads yielding awake made a commit a third slower, and the
    /// disk's answer wants a free core. Any thread, nested or not.
    class DiskWait {
      public:
        DiskWait() noexcept;
        ~DiskWait();
        DiskWait(const DiskWait&) = delete;
        DiskWait& operator=(const DiskWait&) = delete;
    };

    /// Whether a DiskWait is alive on any thread of this process.
    bool disk_wait_under_way() const noexcept;

    /// Called by a thread about to wait: a connection's reading that this thread holds
    /// while it runs what the reading brought goes on on another thread first, so that
    /// what the wait needs can still arrive. Blocking scopes call it themselves.
    static void leave_reading() noexcept;

    /// What the pool's watcher looks at on each of its rounds while it is watched: a
    /// reading thread running what it read, which the watcher relieves of the reading
    /// when one item keeps it for a whole round.
    class Watched {
      public:
        /// Called by the watcher, on its own thread, once a round.
        virtual void round() noexcept = 0;

      protected:
        Watched() = default;
        ~Watched() = default;
        Watched(const Watched&) = delete;
        Watched& operator=(const Watched&) = delete;

      private:
        friend class ThreadPool;
        Watched* prev_ = nullptr;
        Watched* next_ = nullptr;
    };

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ~ThreadPool();

  private:
    friend class Platform::Immortal<ThreadPool>;
    friend class Platform::ConnectionWait;
    friend class Platform::DeliveryQueue;
    ThreadPool();
    // Adds and removes w from the watcher's rounds; unwatch returns once no round
    // is looking at w.
    void watch(Watched& w) noexcept;
    void unwatch(Watched& w) noexcept;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Platform
