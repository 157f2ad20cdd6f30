#pragma once
// Tells when watched processes end. Each process is watched through a pidfd on one
// thread of the watcher's; where the kernel has no pidfds the process is looked for
// every 200 ms instead. A process watched again before it ends is reported once; one
// that is already gone is reported at once.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace TarvikHelper {

class ProcessWatcher {
  public:
    using ExitHandler = std::function<void(uint32_t processId)>;

    explicit ProcessWatcher(ExitHandler onExit);
    ~ProcessWatcher();
    ProcessWatcher(const ProcessWatcher&) = delete;
    ProcessWatcher& operator=(const ProcessWatcher&) = delete;

    void watch(uint32_t processId);
    std::size_t watching() const;

  private:
    void run();
    void wake() const;
    // Moves the ended processes out of the watch; the caller reports them unlocked.
    std::vector<uint32_t> collectEnded(const std::vector<uint32_t>& readable);

    ExitHandler onExit_;
    int wakeFd_ = -1;
    mutable std::mutex mutex_;
    std::map<uint32_t, int> pidfds_;  // process id -> pidfd
    std::set<uint32_t> polled_;       // watched without a pidfd
    std::vector<uint32_t> gone_;      // already gone when watched
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace TarvikHelper
