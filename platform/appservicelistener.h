#pragma once
#include <functional>
#include <memory>
#include <string>

#include <TarvikFoundation/platform/appserviceconnection.h>

#include "platform/listenerlock.h"

namespace Platform {

/// Listens on one app service of a package and hands every accepted, authenticated
/// connection to a handler, as the platform activates a background task per connection.
class AppServiceListener : public std::enable_shared_from_this<AppServiceListener> {
  public:
    using Handler = std::function<void(const AppServiceTriggerDetails&)>;

    /// Raises hresult_error when the socket cannot be bound or another live process
    /// already listens on the service.
    static std::shared_ptr<AppServiceListener> start(const hstring& packageFamilyName,
                                                     const hstring& serviceName, Handler handler);
    struct Key {
        explicit Key() = default;
    };
    explicit AppServiceListener(Key) {}
    ~AppServiceListener();
    void stop();
    const std::string& path() const { return path_; }

    struct Impl;

  private:
    std::string path_;
    std::unique_ptr<ListenerLock> lock_;
    std::shared_ptr<Impl> impl_;
};

}  // namespace Platform
