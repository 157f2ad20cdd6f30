#pragma once
// Watches the helper's application through a pidfd and calls back once when it ends;
// where the kernel has no pidfds the process is looked for every 200 ms instead.
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <thread>

namespace TarvikHelper {

class ApplicationWatch {
  public:
    ApplicationWatch(pid_t pid, std::function<void()> onEnd);
    ~ApplicationWatch();
    ApplicationWatch(const ApplicationWatch&) = delete;
    ApplicationWatch& operator=(const ApplicationWatch&) = delete;

    bool ended() const { return ended_.load(); }

  private:
    void run();

    pid_t pid_;
    std::function<void()> onEnd_;
    int pidfd_ = -1;
    int stopFd_ = -1;
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

}  // namespace TarvikHelper
