#include "platform/threadpool.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/immortal.h"

namespace Platform {

namespace {
// Platform waits (connection waits, deferral waits) can park a pool thread, so the
// pool is sized well above the core count, as the original platform's pool grows.
std::size_t pool_size() {
    if (const char* env = std::getenv("TARVIK_THREADPOOL_THREADS")) {
        try {
            const long n = std::stol(env);
            if (n > 0 && n <= 1024) return static_cast<std::size_t>(n);
        } catch (...) {
        }
    }
    return std::max<std::size_t>(32, std::thread::hardware_concurrency() * 4);
}
}  // namespace

struct ThreadPool::Impl {
    explicit Impl(std::size_t n) : threads(n), pool(n) {}
    std::size_t threads;
    boost::asio::thread_pool pool;
};

ThreadPool::ThreadPool() : impl_(std::make_unique<Impl>(pool_size())) {}

ThreadPool::~ThreadPool() {
    impl_->pool.stop();
    impl_->pool.join();
}

ThreadPool& ThreadPool::instance() {
    static Immortal<ThreadPool> pool;
    return *pool;
}

void ThreadPool::post(std::function<void()> fn) {
    boost::asio::post(impl_->pool, [fn = std::move(fn)]() noexcept {
        try {
            fn();
        } catch (...) {
        }
    });
}

std::size_t ThreadPool::thread_count() const noexcept {
    return impl_->threads;
}

}  // namespace Platform
