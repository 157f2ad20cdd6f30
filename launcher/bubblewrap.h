#pragma once
// Finding bubblewrap and telling whether it can make a sandbox on this machine.
#include <optional>
#include <string>

namespace TarvikRun {

/// The bubblewrap program (TARVIK_BWRAP, else `bwrap` on PATH), or nullopt.
std::optional<std::string> findBubblewrap();
/// Empty when bubblewrap can make user, pid and ipc namespaces here; else why not,
/// in one line.
std::string bubblewrapProblem(const std::string& bwrap);

}  // namespace TarvikRun
