#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "platform/deliveryqueue.h"

namespace Platform {

namespace {

// A few threads per core do the work: under load they take what is queued without
// anyone being woken, where a wide pool wakes an idle thread for every item.
std::size_t core_threads() {
    if (const char* env = std::getenv("TARVIK_THREADPOOL_THREADS")) {
        try {
            const long n = std::stol(env);
            if (n > 0 && n <= 1024) return static_cast<std::size_t>(n);
        } catch (...) {
        }
    }
    return std::max<std::size_t>(4, std::thread::hardware_concurrency() * 2);
}

constexpr std::size_t kMaxThreads = 1024;
// How long queued work may see no item start before another thread joins. Real
// time: this watches the machine, not the library's clock.
constexpr auto kStarvedAfter = std::chrono::milliseconds(5);

// The funnel of this thread, if any.
thread_local DeliveryQueue* t_funnel = nullptr;

}  // namespace

// Platform waits and handlers may park pool threads; when queued work stops being
// taken, a watcher adds a thread, as a platform pool grows when it starves.
struct ThreadPool::Impl {
    explicit Impl(std::size_t n) : threads(n), pool(n) {
        watcher = std::thread([this] { watch(); });
    }

    void watch() {
        uint64_t seen = started.load();
        while (!stopping.load()) {
            std::this_thread::sleep_for(kStarvedAfter);
            const uint64_t now = started.load();
            if (queued.load() > 0 && now == seen && threads.load() < kMaxThreads) {
                ++threads;
                std::lock_guard g(m);
                extra.emplace_back([this] { pool.attach(); });
            }
            seen = now;
        }
    }

    std::atomic<std::size_t> threads;
    std::atomic<int64_t> queued{0};
    std::atomic<uint64_t> started{0};
    std::atomic<bool> stopping{false};
    boost::asio::thread_pool pool;
    std::mutex m;
    std::vector<std::thread> extra;
    std::thread watcher;
};

ThreadPool::ThreadPool() : impl_(std::make_unique<Impl>(core_threads())) {}

ThreadPool::~ThreadPool() {
    impl_->stopping = true;
    impl_->watcher.join();
    impl_->pool.stop();
    impl_->pool.join();
    std::lock_guard g(impl_->m);
    for (auto& t : impl_->extra) t.join();
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
    ++impl->queued;
    boost::asio::post(impl->pool, [impl, fn = std::move(fn)]() noexcept {
        --impl->queued;
        ++impl->started;
        try {
            fn();
        } catch (...) {
        }
    });
}

std::size_t ThreadPool::thread_count() const noexcept {
    return impl_->threads.load();
}

}  // namespace Platform
