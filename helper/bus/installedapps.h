#pragma once
// The applications installed for the user: each helper records its application (the
// package family name, its manifest and its program) when it starts, in
// <user data root>/applications/<family>.json. A specifier is a family name.
#include <optional>
#include <string>
#include <vector>

namespace TarvikHelper {

struct InstalledApp {
    std::string family;
    std::string manifest;
    std::string program;
};

class InstalledApps {
  public:
    // `folder` empty: <user data root>/applications.
    explicit InstalledApps(std::string folder = {});

    bool record(const InstalledApp& app);
    std::optional<InstalledApp> find(const std::string& family) const;
    std::vector<std::string> families() const;
    // Starts the application's program detached, with its manifest and the command line
    // arguments (split at blanks, quotes kept together). False when it cannot be started.
    bool launch(const InstalledApp& app, const std::string& arguments) const;

  private:
    std::string folder_;
};

}  // namespace TarvikHelper
