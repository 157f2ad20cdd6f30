#pragma once
// The checks of a helper command line that the application asks the launcher to pass:
// it may name only its own package, write its log and lock only inside its own data
// folder, and the process it names is replaced by the one the launcher knows.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace TarvikRun {

struct ArgumentCheck {
    std::string familyName;
    std::string dataFolder;  // canonical
    pid_t applicationPid = 0;
};

/// The command line to pass, with --pid replaced; nullopt with `error` naming the
/// argument that failed.
std::optional<std::string> checkHelperArguments(const std::string& commandLine,
                                                const ArgumentCheck& check, std::string& error);
/// Whether `path` names a file inside `folder` (canonical): absolute, no "." or ".."
/// step, no link on the way or at the end that leads out.
bool insideFolder(const std::string& path, const std::string& folder);

}  // namespace TarvikRun
