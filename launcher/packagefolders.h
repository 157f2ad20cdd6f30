#pragma once
// The folders of one package that a confined run gives it or keeps for itself.
#include <string>

namespace TarvikRun {

struct PackageFolders {
    std::string data;            // $XDG_DATA_HOME/tarvik/<family>, read-write inside
    std::string runtime;         // the package's socket folder, read-write inside
    std::string launcherSocket;  // outside the sandbox's view; bound to kLauncherSocketInside
    std::string instanceLock;    // outside the sandbox's view
};

/// Where the launcher's socket appears inside the sandbox.
inline constexpr const char* kLauncherSocketInside = "/run/tarvik/launcher.sock";

/// Creates the folders (private, the user's own); raises hresult_error when it cannot.
PackageFolders preparePackageFolders(const std::string& familyName);

}  // namespace TarvikRun
