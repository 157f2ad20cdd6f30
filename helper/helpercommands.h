#pragma once
// The helper's answers to the application's commands.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>

#include <TarvikFoundation/tarvikappserviceconnection.h>

namespace TarvikHelper {

// The most messages TestKalder may have on the way at once, in one request or over
// all of them; a request for more than is left is refused.
inline constexpr int32_t kMaxTestIterations = 10'000;

class HelperCommands {
  public:
    explicit HelperCommands(std::shared_ptr<Tarvik::TarvikAppServiceConnection> channel);

    // Registers every command the helper implements on the channel.
    void registerAll();
    bool handles(int32_t command) const { return handled_.contains(command); }

    void add(int32_t command, Tarvik::TarvikAppServiceConnection::CommandHandler handler);
    const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& channel() const { return channel_; }

    // Set by the exit command; the main loop waits for it.
    bool waitForExitRequest(std::chrono::milliseconds timeout);
    void requestExit();
    bool exitRequested() const { return exitRequested_.load(); }
    // TestKalder messages sent and not yet answered or given up.
    int32_t kalderOnTheWay() const { return kalderOnTheWay_->load(); }

  private:
    Platform::ValueSet testDelay(const Platform::ValueSet& request);
    Platform::ValueSet testAppExit(const Platform::ValueSet& request);
    Platform::ValueSet testKalder(const Platform::ValueSet& request);

    std::shared_ptr<Tarvik::TarvikAppServiceConnection> channel_;
    std::set<int32_t> handled_;
    std::atomic<bool> exitRequested_{false};
    std::mutex exitMutex_;
    std::condition_variable exitCondition_;
    // Shared with the sends' continuations, which may outlive this object.
    std::shared_ptr<std::atomic<int32_t>> kalderOnTheWay_ =
        std::make_shared<std::atomic<int32_t>>(0);
};

}  // namespace TarvikHelper
