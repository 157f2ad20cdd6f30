#pragma once
// For tests that widen the process-wide pool to hundreds of threads.
#include <chrono>
#include <cstddef>

#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "testsupport.h"

namespace TestSupport {

// The threads a test made the pool add go again once idle for 30 s of the library's
// clock: runs that clock on until the pool is back under a few dozen threads, so that no
// later test starts with a pool a thousand threads wide. Leaves the clock real.
inline bool poolShrinksBack() {
    auto& pool = Platform::ThreadPool::instance();
    auto& clock = Platform::Clock::instance();
    clock.set_manual();
    bool shrank = false;
    for (int i = 0; i < 10 && !shrank; ++i) {
        clock.advance(std::chrono::seconds(31));
        shrank = eventually([&] { return pool.thread_count() < 64; }, std::chrono::seconds(2));
    }
    clock.set_real();
    return shrank;
}

}  // namespace TestSupport
