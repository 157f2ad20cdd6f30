#pragma once
// The environment variables that the application sets through the helper. They are
// the package's own, kept in <user data root>/helper/environment/<package>.json, so a
// value outlives the helper; the helper's own process environment is left as it is.
// A variable the package never set is read from the helper's environment.
#include <mutex>
#include <optional>
#include <string>

namespace TarvikHelper {

class EnvironmentStore {
  public:
    explicit EnvironmentStore(const std::string& package, std::string file = {});

    // The package's value, else the helper's own, else empty.
    std::string get(const std::string& name) const;
    // An empty value removes the variable. False for a name that is empty or holds '='
    // or NUL, and when the value cannot be kept.
    bool set(const std::string& name, const std::string& value);

    static bool validName(const std::string& name);

  private:
    std::string file_;
    mutable std::mutex mutex_;
};

}  // namespace TarvikHelper
