#pragma once
// One instance per package: an exclusive flock held for as long as the application runs.
#include <string>

namespace TarvikRun {

class InstanceLock {
  public:
    /// Takes the lock at `path`; raises std::runtime_error naming the running
    /// instance when another holds it.
    InstanceLock(const std::string& path, const std::string& familyName);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

  private:
    int fd_ = -1;
};

}  // namespace TarvikRun
