#pragma once
// A short yielding wait before a thread sleeps: what it waits for usually arrives
// within a round trip, and taking it awake saves being put to sleep and woken again.
// Real time: this watches the machine, not the library's clock. Yielding lets the
// threads that produce the awaited item run on a busy core.
#include <chrono>
#include <thread>

#include <TarvikFoundation/platform/threadpool.h>

namespace Platform {

/// How long linger() yields at most: long enough for an answer relayed through the app
/// host (about 100 µs on a 2-core VM), not only for a direct one.
inline constexpr auto kLinger = std::chrono::microseconds(200);

/// Yields until ready() holds or kLinger has passed, or until a thread of this process
/// waits for the disk: then the cores are better left to the disk's answer. ready() is
/// asked at least once in any case: a socket reader reads through it.
template <class Ready>
void linger(Ready&& ready) {
    const ThreadPool& pool = ThreadPool::instance();
    const auto until = std::chrono::steady_clock::now() + kLinger;
    while (!ready() && std::chrono::steady_clock::now() < until) {
        if (pool.disk_wait_under_way()) return;
        std::this_thread::yield();
    }
}

}  // namespace Platform
