#pragma once
// Descriptors handed across a Unix socket with their message (SCM_RIGHTS). The
// launcher's packets and the file-token answers both travel this way.
#include <sys/types.h>

#include <cstddef>
#include <span>
#include <vector>

namespace Platform::DescriptorPassing {

// At most this many descriptors travel with one message; more arrive truncated.
inline constexpr std::size_t kMaxDescriptors = 4;

// Sends `size` bytes with `fds` attached (at most kMaxDescriptors), retrying on EINTR.
// Returns what sendmsg returned.
ssize_t send(int socket, const void* data, std::size_t size, std::span<const int> fds);

// Receives up to `size` bytes with `flags` (MSG_CMSG_CLOEXEC is added), retrying on
// EINTR; the descriptors that came with them are appended to `fds`, owned by the
// caller also when the call fails. `truncated` tells whether bytes or descriptors
// did not fit. Returns what recvmsg returned.
ssize_t receive(int socket, void* data, std::size_t size, int flags, std::vector<int>& fds,
                bool& truncated);

}  // namespace Platform::DescriptorPassing
