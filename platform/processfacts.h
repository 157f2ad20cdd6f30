#pragma once
/// @file
/// What /proc says about a process: when it started and who its parent is. A pid
/// together with its start time names one process even after the pid is reused.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace Platform::ProcessFacts {

/// The process's start time in clock ticks since boot, or nullopt when it is gone.
std::optional<uint64_t> startTime(pid_t pid);
/// The process's parent, or nullopt when it is gone.
std::optional<pid_t> parentOf(pid_t pid);
/// The process and its ancestors up to (not including) pid 1, nearest first.
std::vector<pid_t> lineage(pid_t pid);
/// The pid of the process at the other end of a Unix socket, as seen from this
/// process's pid namespace (0 when the peer lives outside it), or -1.
pid_t peerPid(int fd);

}  // namespace Platform::ProcessFacts
