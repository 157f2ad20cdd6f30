#pragma once
// What the file commands may touch. The helper serves the folders listed under
// "fileRoots" in $XDG_CONFIG_HOME/tarvik/helper.json (~/.config when unset) and
// everything below them; without that file it serves the user's home folder. A file
// that cannot be read or holds anything but absolute paths serves nothing, so a typo
// never widens what is served. The application cannot change this: the file is the
// user's, not part of any request.
#include <optional>
#include <string>
#include <vector>

namespace TarvikHelper {

class FileRoots {
  public:
    // The user's configuration, read once.
    static FileRoots fromUserConfig();
    // `roots` must be absolute; links in them are resolved now.
    explicit FileRoots(const std::vector<std::string>& roots);

    // nullopt when `path` (absolute; links resolved, "." and ".." applied) is a served
    // root or lies below one, else the reason it is refused.
    std::optional<std::string> refusal(const std::string& path) const;
    // Whether `path` resolves to a served root itself (which is never deleted).
    bool isRoot(const std::string& path) const;
    const std::vector<std::string>& roots() const noexcept { return roots_; }

    // The served root that `path` lies in by its text ("." and ".." applied, links not
    // resolved) and the rest of the path below it; nullopt when the text reaches no
    // root, i.e. only a link leads there.
    struct Place {
        std::string root;      // canonical, to be opened
        std::string relative;  // empty for the root itself
    };
    std::optional<Place> locate(const std::string& path) const;

  private:
    std::vector<std::string> roots_;  // canonical, without a trailing '/'
    std::vector<std::string> given_;  // as configured, normalised; same order
};

// Where fromUserConfig() reads.
std::string fileRootsConfigPath();

}  // namespace TarvikHelper
