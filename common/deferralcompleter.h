#pragma once
#include <atomic>

#include <TarvikFoundation/platform/appserviceconnection.h>

namespace Tarvik {

/// Completes an app-service deferral exactly once: explicitly, or when the last
/// reference goes away.
class DeferralCompleter {
  public:
    explicit DeferralCompleter(Platform::AppServiceDeferral deferral)
        : deferral_(std::move(deferral)) {}
    ~DeferralCompleter() { complete(); }
    DeferralCompleter(const DeferralCompleter&) = delete;
    DeferralCompleter& operator=(const DeferralCompleter&) = delete;

    void complete() {
        if (!completed_.exchange(true)) deferral_.Complete();
    }
    bool completed() const noexcept { return completed_.load(); }

  private:
    Platform::AppServiceDeferral deferral_;
    std::atomic<bool> completed_{false};
};

}  // namespace Tarvik
