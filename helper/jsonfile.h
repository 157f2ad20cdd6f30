#pragma once
// Small JSON records of the helper's, replaced whole so that a reader never sees half
// of one.
#include <nlohmann/json.hpp>
#include <string>

namespace TarvikHelper {

// The object in `path`; an empty object when the file is missing, and (logged) when it
// is unreadable or holds something else.
nlohmann::json readJsonObject(const std::string& path);

// Writes `value` next to `path` and renames it over; creates the parent folders.
// False (logged) when that fails.
bool writeJsonAtomically(const std::string& path, const nlohmann::json& value);

}  // namespace TarvikHelper
