#pragma once
// The command table as people read it, for tarvik-call --list.
#include <ostream>

namespace TarvikCall {

/// One block per command: code, name, direction, keys with their types, outcomes.
void printCommandTable(std::ostream& out);

}  // namespace TarvikCall
