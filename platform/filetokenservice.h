#pragma once
/// @file
/// The owner's end of file-token redemption: listens on the package's
/// `filetokens.sock` (0600), lets in only the expected peer, and answers each request
/// with what `redeem` decides, passing the opened descriptor with SCM_RIGHTS.
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <TarvikFoundation/platform/hstring.h>

#include "platform/filetokenwire.h"

namespace Platform {

class FileTokenService {
  public:
    /// Decides a request; the answer's descriptor, if any, is closed after it is sent.
    using Redeem = std::function<FileTokenWire::Answer(const FileTokenWire::Request&)>;

    /// Serves the package's socket on a thread of its own. A peer is let in only when
    /// it runs as this user and, where `expectedPid` > 0, is that process (as the
    /// kernel reports it in this process's pid namespace). Raises hresult_error when
    /// the socket cannot be made.
    FileTokenService(const hstring& packageFamilyName, pid_t expectedPid, Redeem redeem);
    ~FileTokenService();
    FileTokenService(const FileTokenService&) = delete;
    FileTokenService& operator=(const FileTokenService&) = delete;

    const std::string& path() const noexcept { return path_; }

  private:
    void run();
    void serve(int client);

    std::string path_;
    pid_t expectedPid_;
    Redeem redeem_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace Platform
