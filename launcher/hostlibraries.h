#pragma once
// The shared libraries a program loads, as the dynamic loader resolves them.
#include <string>
#include <vector>

namespace TarvikRun {

/// Absolute paths of the program's shared libraries (empty when they cannot be listed).
std::vector<std::string> hostLibraries(const std::string& program);

}  // namespace TarvikRun
