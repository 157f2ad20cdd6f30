#pragma once
// What a package's manifest says about its sandbox ("sandbox" key; see platform/README.md).
#include <string>
#include <vector>

namespace TarvikRun {

struct SandboxManifest {
    std::string manifestPath;   // absolute
    std::string installFolder;  // the manifest's folder
    std::string familyName;
    std::string hostProgram;                 // absolute
    std::vector<std::string> hostArguments;  // given before the command line's own
    bool network = false;
    std::vector<std::string> readOnly;  // further paths the application may read
};

/// Reads the manifest; raises std::runtime_error with the reason.
SandboxManifest readSandboxManifest(const std::string& path);

}  // namespace TarvikRun
