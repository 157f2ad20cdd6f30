#pragma once
// Process ids as the helper's application names them. A confined application has a pid
// namespace of its own, so an id it names is not the helper's id of that process: it is
// translated by finding the process of the application's namespace whose innermost id
// it is (the NSpid line of /proc/<pid>/status). An application in the helper's own
// namespace names processes by the helper's ids.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace TarvikHelper {

class ApplicationPids {
  public:
    // `application` is the application's process as the helper sees it; 0 when unknown.
    explicit ApplicationPids(pid_t application);

    // Whether the application's ids differ from the helper's.
    bool translates() const { return !namespace_.empty(); }
    // The helper's id of the process that the application calls `id`, or nullopt when
    // no process of the application's namespace has that id.
    std::optional<pid_t> toHelper(uint32_t id) const;

  private:
    std::string namespace_;  // the application's pid namespace when it is not ours
};

}  // namespace TarvikHelper
