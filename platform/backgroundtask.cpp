#include <TarvikFoundation/platform/backgroundtask.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "platform/appservicelistener.h"

namespace Platform {

const char* cancellation_reason_name(BackgroundTaskCancellationReason reason) noexcept {
    static const char* names[] = {"Abort",
                                  "Terminating",
                                  "LoggingOff",
                                  "ServicingUpdate",
                                  "IdleTask",
                                  "Uninstall",
                                  "ConditionLoss",
                                  "SystemPolicy",
                                  "QuietHoursEntered",
                                  "ExecutionTimeExceeded",
                                  "ResourceRevocation",
                                  "EnergySaver"};
    const auto i = static_cast<std::size_t>(reason);
    return i < std::size(names) ? names[i] : "Unknown";
}

BackgroundTaskDeferral BackgroundTaskInstance::GetDeferral() {
    ++deferrals_;
    std::weak_ptr<BackgroundTaskInstance> weak = weak_from_this();
    return BackgroundTaskDeferral([weak] {
        if (auto self = weak.lock()) --self->deferrals_;
    });
}

void BackgroundTaskInstance::Cancel(BackgroundTaskCancellationReason reason) {
    if (cancelled_.exchange(true)) return;
    canceled_(shared_from_this(), reason);
}

std::shared_ptr<AppServiceTaskHost> AppServiceTaskHost::start(const hstring& packageFamilyName,
                                                              const hstring& serviceName,
                                                              Activation activation) {
    auto host = std::make_shared<AppServiceTaskHost>(Key{});
    std::weak_ptr<AppServiceTaskHost> weak = host;
    host->listener_ = AppServiceListener::start(
        packageFamilyName, serviceName,
        [weak, activation](const AppServiceTriggerDetails& details) {
            auto instance = std::make_shared<BackgroundTaskInstance>(details);
            std::weak_ptr<BackgroundTaskInstance> weakInstance = instance;
            instance->Canceled([weak](const std::shared_ptr<BackgroundTaskInstance>& done,
                                      BackgroundTaskCancellationReason) {
                if (auto self = weak.lock()) {
                    std::lock_guard g(self->m_);
                    std::erase(self->instances_, done);
                }
            });
            details.Connection().ServiceClosed(
                [weakInstance](const AppServiceConnection&, const AppServiceClosedEventArgs&) {
                    if (auto i = weakInstance.lock())
                        i->Cancel(BackgroundTaskCancellationReason::SystemPolicy);
                });
            if (auto self = weak.lock()) {
                std::lock_guard g(self->m_);
                self->instances_.push_back(instance);
            }
            activation(BackgroundActivatedEventArgs{instance});
        });
    return host;
}

void AppServiceTaskHost::stop() {
    if (listener_) listener_->stop();
    std::vector<std::shared_ptr<BackgroundTaskInstance>> live;
    {
        std::lock_guard g(m_);
        live.swap(instances_);
    }
    for (auto& i : live) i->Cancel(BackgroundTaskCancellationReason::Terminating);
}

std::size_t AppServiceTaskHost::liveInstances() {
    std::lock_guard g(m_);
    return instances_.size();
}

AppServiceTaskHost::~AppServiceTaskHost() {
    stop();
}

}  // namespace Platform
