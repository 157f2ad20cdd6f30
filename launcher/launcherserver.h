#pragma once
// The launcher's socket: a SOCK_SEQPACKET listener that answers one request per
// connection, on a thread of its own, with the requester's pid read by SO_PEERCRED.
#include <atomic>
#include <string>
#include <thread>

#include "launcher/launchrequests.h"

namespace TarvikRun {

class LauncherServer {
  public:
    /// Listens at `path` (replacing a dead socket there); raises std::runtime_error.
    LauncherServer(const std::string& path, LaunchRequests& requests);
    ~LauncherServer();
    LauncherServer(const LauncherServer&) = delete;
    LauncherServer& operator=(const LauncherServer&) = delete;

  private:
    void run();
    void serve(int connection);

    std::string path_;
    LaunchRequests& requests_;
    int listenFd_ = -1;
    int stopFd_ = -1;
    std::thread thread_;
};

}  // namespace TarvikRun
