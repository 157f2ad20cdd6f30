#pragma once
#include <sys/types.h>

#include <cstddef>

namespace Platform {

/// A connected TCP stream socket for the logger's network sink. Connection failures
/// are reported on standard error with the prefixes the logger documents.
class LoopbackSocket {
  public:
    LoopbackSocket() = default;
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;
    ~LoopbackSocket() { close(); }

    /// Tries each resolved address of host:service once; true on the first connection.
    bool connect(const char* host, const char* service) noexcept;
    bool is_connected() const noexcept { return fd_ >= 0; }
    /// One send call; returns its result (bytes sent or -1).
    ssize_t send(const char* data, std::size_t len) noexcept;
    void close() noexcept;

  private:
    int fd_ = -1;
};

}  // namespace Platform
