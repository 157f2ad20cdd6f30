#pragma once
// A ValueSet as JSON that keeps each value's type: {"key": {"Int32": 0}, ...}.
#include <nlohmann/json.hpp>

#include <TarvikFoundation/platform/valueset.h>

namespace TarvikCall {

/// Each entry becomes "key": {"<type>": value}; a null set becomes null.
nlohmann::json toJson(const Platform::ValueSet& message);

}  // namespace TarvikCall
