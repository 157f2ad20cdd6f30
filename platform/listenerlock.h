#pragma once
#include <string>

namespace Platform {

/// The right to listen on one service socket: an exclusive lock on a file next to it,
/// held until destroyed. Two hosts started at once cannot both bind the name (one would
/// take the other's socket file away between its bind and its listen), and a socket
/// file found while holding the lock belongs to a listener that is gone.
class ListenerLock {
  public:
    /// Takes the lock without waiting; raises hresult_error when another listener holds it.
    explicit ListenerLock(const std::string& socketPath);
    ~ListenerLock();
    ListenerLock(const ListenerLock&) = delete;
    ListenerLock& operator=(const ListenerLock&) = delete;

  private:
    int fd_ = -1;
};

}  // namespace Platform
