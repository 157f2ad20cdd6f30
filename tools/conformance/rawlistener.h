#pragma once
// The package's service socket without the platform's listener, for the checks that
// send the helper frames no library would: a malformed or an oversized one.
#include <memory>
#include <string>

#include "platform/listenerlock.h"

namespace Conformance {

class RawListener {
  public:
    // Raises std::runtime_error when the socket cannot be bound.
    explicit RawListener(const std::string& path);
    ~RawListener();
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    // The next connection's descriptor (the caller closes it), or -1 on time-out.
    int accept(int timeoutMs);

  private:
    std::string path_;
    std::unique_ptr<Platform::ListenerLock> lock_;
    int fd_ = -1;
};

// Reads and drops what the peer sends until it closes; false when it has not closed
// within the time.
bool waitForPeerClose(int fd, int timeoutMs);

}  // namespace Conformance
