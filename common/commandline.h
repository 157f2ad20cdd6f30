#pragma once
// The helper's command line as one text (a launch URI, the settings' "args") is split
// the same way by the helper that reads it and by the launcher that checks it.
#include <string>
#include <vector>

namespace Tarvik {

// Splits a command line at blanks, keeping double-quoted parts together.
std::vector<std::string> splitCommandLine(const std::string& line);

}  // namespace Tarvik
