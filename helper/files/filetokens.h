#pragma once
// Tokens that stand for a file the application may use: the helper issues one for a
// path and mode and can later tell which file and mode a token names. They are kept in
// <user data root>/helper/filetokens/<package>.json, so a token outlives the helper.
#include <mutex>
#include <optional>
#include <string>

namespace TarvikHelper {

class FileTokens {
  public:
    struct Grant {
        std::string path;
        std::string mode;  // "read" or "write"
    };

    // `file` empty: the package's file under the user data root.
    explicit FileTokens(const std::string& package, std::string file = {});

    // A new token (32 hex digits) for the file; empty when it cannot be recorded.
    std::string issue(const Grant& grant);
    std::optional<Grant> resolve(const std::string& token) const;

  private:
    std::string file_;
    mutable std::mutex mutex_;
};

}  // namespace TarvikHelper
