#pragma once
// Tokens that stand for a file the application may use: the helper issues one for a
// path and mode and can later tell which file and mode a token names. They are kept in
// <user data root>/helper/filetokens/<package>.json, so a token outlives the helper,
// until it expires (filetokenpolicy.h).
#include <mutex>
#include <optional>
#include <string>

#include "helper/files/filetokenpolicy.h"

namespace TarvikHelper {

class FileTokens {
  public:
    struct Grant {
        std::string path;
        std::string mode;  // "read" or "write"
    };

    // `file` empty: the package's file under the user data root.
    explicit FileTokens(const std::string& package, std::string file = {});

    enum class Standing { Live, Unknown, Expired };
    struct Lookup {
        Standing standing = Standing::Unknown;
        Grant grant;  // set when live
    };

    // A token (32 hex digits) for the file: the live one issued for the same path and
    // mode, else a new one; empty when it cannot be recorded.
    std::string issue(const Grant& grant);
    // The live grant a token names.
    std::optional<Grant> resolve(const std::string& token) const;
    Lookup lookup(const std::string& token) const;
    // Where this package's tokens are kept.
    const std::string& file() const noexcept { return file_; }

  private:
    std::string file_;
    mutable std::mutex mutex_;
};

}  // namespace TarvikHelper
