#pragma once
// Exit watches for processes that the application names by its own ids: each is watched
// by the helper's id of it and reported by the application's. An id that names no
// process of the application's is reported at once, as a process that has ended.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "helper/processes/applicationpids.h"
#include "helper/processes/processwatcher.h"

namespace TarvikHelper {

class ApplicationProcessWatch {
  public:
    using ExitHandler = ProcessWatcher::ExitHandler;

    // `application` as in ApplicationPids; `onExit` gets the application's ids.
    ApplicationProcessWatch(pid_t application, ExitHandler onExit);

    // False when `processId` names no process of the application's.
    bool watch(uint32_t processId);

  private:
    void ended(uint32_t helperId);

    ApplicationPids ids_;
    ExitHandler onExit_;
    std::mutex mutex_;
    std::map<uint32_t, uint32_t> named_;  // helper's id -> application's id
    ProcessWatcher watcher_;              // last: its thread calls ended()
};

}  // namespace TarvikHelper
