#pragma once
// Small JSON records of the helper's, replaced whole so that a reader never sees half
// of one.
#include <nlohmann/json.hpp>
#include <string>

namespace TarvikHelper {

// The object in `path`; an empty object when the file is missing, and (logged) when it
// is unreadable or holds something else.
nlohmann::json readJsonObject(const std::string& path);

// Writes `value` next to `path`, commits it and renames it over, then commits the folder;
// creates the parent folders (0700) and the file 0600. False (logged) when that fails,
// with no temporary file left behind.
bool writeJsonAtomically(const std::string& path, const nlohmann::json& value);

}  // namespace TarvikHelper
