#pragma once
/// @file
/// Blocking frame I/O on a raw socket descriptor, for the opening handshake.
#include <sys/types.h>

#include <optional>
#include <string>

#include "appservice.pb.h"

namespace Platform::FramedIo {

bool writeFrame(int fd, const tarvik::wire::Frame& frame);
/// Waits up to timeoutMs for a whole frame; on failure returns nullopt with a reason.
std::optional<tarvik::wire::Frame> readFrame(int fd, int timeoutMs, std::string& error);
/// The user id of the process at the other end of a Unix socket, or -1.
long peerUid(int fd);

}  // namespace Platform::FramedIo
