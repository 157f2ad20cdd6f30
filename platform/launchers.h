#pragma once
#include <string>
#include <vector>

#include <TarvikFoundation/platform/async.h>

namespace Platform {

/// Starts a program detached from this one (it outlives us); false, with errno saying
/// why, when it cannot start.
bool spawnDetached(const std::string& program, const std::vector<std::string>& args,
                   int* pid = nullptr);

/// Why `program` cannot be started (not there, not executable, not a file), or empty
/// when it can: for refusing a program before anything waits for it to run.
std::string whyNotRunnable(const std::string& program);

/// Starting programs of the package: the full-trust program, and the program that the
/// manifest registers for a URI scheme.
class FullTrustProcessLauncher {
  public:
    // Starts the manifest's full-trust program without arguments; it reads them from
    // the package's LocalSettings "args".
    static IAsyncAction LaunchFullTrustProcessForCurrentAppAsync();
};

/// Starts the program that the manifest registers for a URI's scheme.
class Launcher {
  public:
    /// Starts the program registered for the URI's scheme with the URI as its one
    /// argument; completes with false when no program is registered or it cannot start.
    static IAsyncOperation<bool> LaunchUriAsync(const hstring& uri);
};

}  // namespace Platform
