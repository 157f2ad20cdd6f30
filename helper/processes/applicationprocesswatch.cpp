#include "helper/processes/applicationprocesswatch.h"

#include "common/logger.h"

namespace TarvikHelper {

ApplicationProcessWatch::ApplicationProcessWatch(pid_t application, ExitHandler onExit)
    : ids_(application),
      onExit_(std::move(onExit)),
      watcher_([this](uint32_t helperId) { ended(helperId); }) {}

bool ApplicationProcessWatch::watch(uint32_t processId) {
    if (!ids_.translates()) {
        watcher_.watch(processId);
        return true;
    }
    const auto helperId = ids_.toHelper(processId);
    if (!helperId) {
        TLOG("WRN", "watch refused: the application runs no process %u", processId);
        onExit_(processId);
        return false;
    }
    TLOG("INF", "watching the application's process %u as %d", processId,
         static_cast<int>(*helperId));
    {
        std::lock_guard g(mutex_);
        named_[static_cast<uint32_t>(*helperId)] = processId;
    }
    watcher_.watch(static_cast<uint32_t>(*helperId));
    return true;
}

void ApplicationProcessWatch::ended(uint32_t helperId) {
    uint32_t reported = helperId;
    {
        std::lock_guard g(mutex_);
        if (const auto it = named_.find(helperId); it != named_.end()) {
            reported = it->second;
            named_.erase(it);
        }
    }
    onExit_(reported);
}

}  // namespace TarvikHelper
