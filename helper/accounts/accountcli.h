#pragma once
// `tarvik-helper account ...`: the operator's switch of the account service, for the
// demo and for tests. Signing in or out is announced on the message bus.
#include <string>
#include <vector>

namespace TarvikHelper {

// args start after "account". Returns the process exit code; usage errors are 2.
int runAccountCommand(const std::vector<std::string>& args);

}  // namespace TarvikHelper
