#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "platform/connectionwait.h"
#include "platform/deliveryqueue.h"

namespace Platform {

namespace {

// One thread per core does the work: under load it takes what is queued without anyone
// being woken, where a wider pool wakes idle threads that can only take turns on the
// same cores. Threads that wait (Blocking) are made up for as they wait.
std::size_t core_threads() {
    if (const char* env = std::getenv("TARVIK_THREADPOOL_THREADS")) {
        try {
            const long n = std::stol(env);
            if (n > 0 && n <= 1024) return static_cast<std::size_t>(n);
        } catch (...) {
        }
    }
    return std::max<std::size_t>(2, std::thread::hardware_concurrency());
}

constexpr std::size_t kMaxThreads = 1024;
// How long queued work may see no item start before another thread joins. Real
// time: this watches the machine, not the library's clock.
constexpr auto kStarvedAfter = std::chrono::milliseconds(5);
// A thread added under a stall leaves after this long without work, on the library's
// clock, so that a burst of parked handlers does not keep a thousand threads for good.
constexpr auto kRetireAfterIdle = std::chrono::seconds(30);
// How often an idle added thread looks at the clock (real time).
constexpr auto kIdleCheck = std::chrono::milliseconds(100);

// The funnel of this thread, if any.
thread_local DeliveryQueue* t_funnel = nullptr;
// Whether this thread is one of the pool's.
thread_local bool t_poolThread = false;
// Whether this thread is inside a Blocking scope: a nested one counts it once.
thread_local bool t_blocking = false;

}  // namespace

// Platform waits and handlers may park pool threads; when queued work stops being
// taken, a watcher adds a thread, as a platform pool grows when it starves, and the
// added threads go again once they have been idle for a while.
struct ThreadPool::Impl {
    explicit Impl(std::size_t n) : core(n), threads(n) {
        for (std::size_t i = 0; i < n; ++i) workers.emplace_back([this] { work(false); });
        watcher = std::thread([this] { watch(); });
    }

    void work(bool added) {
        t_poolThread = true;
        std::unique_lock lk(m);
        auto idleSince = Clock::instance().now();
        for (;;) {
            if (stopping) return;
            if (!items.empty()) {
                auto fn = std::move(items.front());
                items.pop_front();
                --queued;
                ++started;
                lk.unlock();
                try {
                    fn();
                } catch (...) {
                }
                fn = nullptr;
                lk.lock();
                idleSince = Clock::instance().now();
                continue;
            }
            ++idle;
            if (!added) {
                cv.wait(lk, [&] { return stopping || !items.empty(); });
            } else if (!cv.wait_for(lk, kIdleCheck, [&] { return stopping || !items.empty(); }) &&
                       Clock::instance().now() - idleSince >= kRetireAfterIdle) {
                --idle;
                --threads;
                retired.push_back(std::this_thread::get_id());
                return;
            }
            --idle;
        }
    }

    void watch() {
        uint64_t seen = started.load();
        while (!stopping.load()) {
            std::this_thread::sleep_for(kStarvedAfter);
            const uint64_t now = started.load();
            {
                std::lock_guard g(m);
                if (queued.load() > 0 && now == seen && !atLimit()) {
                    ++threads;
                    added.emplace_back([this] { work(true); });
                }
                seen = now;
                joinRetired();
            }
            watchedRound();
        }
    }

    // Outside m: a round may post.
    void watchedRound() noexcept {
        std::lock_guard g(watchedLock);
        for (Watched* w = watched; w; w = w->next_) w->round();
    }

    // Caller holds m. Queued work that no idle thread will take and that fewer than the
    // core number of working threads could reach gets a thread of its own: the others
    // are waiting inside a Blocking scope.
    void addIfBlocked() noexcept {
        if (items.empty() || idle > 0 || blocked == 0 || threads.load() - blocked >= core ||
            atLimit())
            return;
        try {
            added.emplace_back([this] { work(true); });
            ++threads;
        } catch (...) {
            // No thread to add: the starvation watcher tries again.
        }
    }

    // A pool thread starts or ends waiting (Blocking, ConnectionWait).
    void enterBlocking(bool connection) noexcept {
        {
            std::lock_guard g(m);
            ++blocked;
            if (connection) ++connections;
            addIfBlocked();
        }
        try {
            DeliveryQueue::itemBlocks();
        } catch (...) {
            // The items keep their place and are taken as threads come free.
        }
    }
    void leaveBlocking(bool connection) noexcept {
        std::lock_guard g(m);
        --blocked;
        if (connection) --connections;
    }

    // Caller holds m. Threads that hold a connection's reading are not counted: there is
    // one per idle connection, and the work must still find threads.
    bool atLimit() const noexcept { return threads.load() - connections >= kMaxThreads; }

    // Caller holds m.
    void joinRetired() {
        for (const auto id : retired) {
            const auto it = std::find_if(added.begin(), added.end(),
                                         [id](const std::thread& t) { return t.get_id() == id; });
            if (it == added.end()) continue;
            it->join();  // it has returned or is about to: it gave up m to get here
            added.erase(it);
        }
        retired.clear();
    }

    const std::size_t core;
    std::atomic<std::size_t> threads;
    std::atomic<int64_t> queued{0};
    std::atomic<uint64_t> started{0};
    std::atomic<bool> stopping{false};
    std::atomic<int> diskWaits{0};  // DiskWait scopes alive, on any thread
    // What the watcher looks at each round (a list through the items themselves), and
    // the lock that keeps each alive while a round looks at it.
    std::mutex watchedLock;
    Watched* watched = nullptr;
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::function<void()>> items;
    std::size_t idle = 0;
    std::size_t blocked = 0;      // threads inside a Blocking scope
    std::size_t connections = 0;  // of which waiting for a connection's bytes
    std::vector<std::thread> workers;
    std::list<std::thread> added;
    std::vector<std::thread::id> retired;
    std::thread watcher;
};

ThreadPool::ThreadPool() : impl_(std::make_unique<Impl>(core_threads())) {}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard g(impl_->m);
        impl_->stopping = true;
    }
    impl_->cv.notify_all();
    impl_->watcher.join();
    for (auto& t : impl_->workers) t.join();
    std::lock_guard g(impl_->m);
    for (auto& t : impl_->added) t.join();
}

ThreadPool& ThreadPool::instance() {
    static Immortal<ThreadPool> pool;
    return *pool;
}

void ThreadPool::post(std::function<void()> fn) {
    if (t_funnel) {
        t_funnel->push(std::move(fn));
        return;
    }
    post_direct(std::move(fn));
}

ThreadPool::Funnel::Funnel(DeliveryQueue& queue) noexcept : previous_(t_funnel) {
    t_funnel = &queue;
}

ThreadPool::Funnel::~Funnel() {
    t_funnel = previous_;
}

void ThreadPool::post_direct(std::function<void()> fn) {
    Impl* impl = impl_.get();
    bool wake = false;
    {
        std::lock_guard g(impl->m);
        impl->items.push_back(std::move(fn));
        ++impl->queued;
        wake = impl->idle > 0;
        if (!wake) impl->addIfBlocked();
    }
    if (wake) impl->cv.notify_one();
}

ThreadPool::Blocking::Blocking() noexcept : Blocking(false) {}

ThreadPool::Blocking::Blocking(Brief) noexcept : Blocking(true) {}

ThreadPool::Blocking::Blocking(bool brief) noexcept : counted_(t_poolThread && !t_blocking) {
    DeliveryQueue::readingThreadWaits(brief);
    if (!counted_) return;
    t_blocking = true;
    instance().impl_->enterBlocking(false);
}

ThreadPool::Blocking::~Blocking() {
    if (!counted_) return;
    instance().impl_->leaveBlocking(false);
    t_blocking = false;
}

ConnectionWait::ConnectionWait() noexcept : counted_(t_poolThread) {
    if (counted_) ThreadPool::instance().impl_->enterBlocking(true);
}

ConnectionWait::~ConnectionWait() {
    if (counted_) ThreadPool::instance().impl_->leaveBlocking(true);
}

ThreadPool::DiskWait::DiskWait() noexcept {
    instance().impl_->diskWaits.fetch_add(1, std::memory_order_relaxed);
}

ThreadPool::DiskWait::~DiskWait() {
    instance().impl_->diskWaits.fetch_sub(1, std::memory_order_relaxed);
}

void ThreadPool::leave_reading() noexcept {
    DeliveryQueue::readingThreadWaits(false);
}

void ThreadPool::watch(Watched& w) noexcept {
    std::lock_guard g(impl_->watchedLock);
    w.prev_ = nullptr;
    w.next_ = impl_->watched;
    if (impl_->watched) impl_->watched->prev_ = &w;
    impl_->watched = &w;
}

void ThreadPool::unwatch(Watched& w) noexcept {
    std::lock_guard g(impl_->watchedLock);
    if (w.prev_)
        w.prev_->next_ = w.next_;
    else
        impl_->watched = w.next_;
    if (w.next_) w.next_->prev_ = w.prev_;
    w.prev_ = w.next_ = nullptr;
}

bool ThreadPool::disk_wait_under_way() const noexcept {
    return impl_->diskWaits.load(std::memory_order_relaxed) != 0;
}

std::size_t ThreadPool::thread_count() const noexcept {
    return impl_->threads.load();
}

std::size_t ThreadPool::waiting_count() const noexcept {
    std::lock_guard g(impl_->m);
    return impl_->blocked - impl_->connections;
}

}  // namespace Platform
