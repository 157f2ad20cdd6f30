#pragma once
// The bubblewrap command line that runs a package's host program confined.
#include <string>
#include <vector>

#include "launcher/packagefolders.h"
#include "launcher/sandboxmanifest.h"

namespace TarvikRun {

/// The full argv, starting with the bubblewrap program; `libraries` are further
/// files (the host program's own libraries) to show read-only.
std::vector<std::string> sandboxCommand(const std::string& bwrap, const SandboxManifest& manifest,
                                        const PackageFolders& folders,
                                        const std::vector<std::string>& libraries,
                                        const std::vector<std::string>& extraArguments);

}  // namespace TarvikRun
