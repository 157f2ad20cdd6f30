#pragma once
// A pool thread that holds a connection's reading waits for its bytes, maybe for the
// connection's whole life.
#include <TarvikFoundation/platform/threadpool.h>

namespace Platform {

/// While alive on a pool thread, that thread counts as waiting, as in a
/// ThreadPool::Blocking scope, and does not count against the pool's limit of threads
/// either, as a connection's own thread would not: idle connections never leave the pool
/// without threads for the work. No effect off the pool.
class ConnectionWait {
  public:
    ConnectionWait() noexcept;
    ~ConnectionWait();
    ConnectionWait(const ConnectionWait&) = delete;
    ConnectionWait& operator=(const ConnectionWait&) = delete;

  private:
    bool counted_;
};

}  // namespace Platform
