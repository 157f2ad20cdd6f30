#pragma once
// Values for the keys of a command's request: valid ones that do no harm outside the
// sandbox, and wrongly typed ones.
#include <map>
#include <optional>
#include <string>

#include <TarvikFoundation/platform/valueset.h>

#include "common/commandtable.h"

namespace Conformance {

class RequestValues {
  public:
    // `files` is the folder the helper serves to the file commands.
    explicit RequestValues(std::string files) : files_(std::move(files)) {}

    // A valid value for `key` of `command`.
    Platform::PropertyValue valid(const Tarvik::CommandTable::CommandSpec& command,
                                  const Tarvik::CommandTable::KeySpec& key) const;
    // Remembers an answer's values, so that later requests name what the helper gave
    // (a session handle, a group id).
    void remember(const Platform::ValueSet& answer);

  private:
    std::string files_;
    std::map<std::wstring, Platform::PropertyValue> answered_;
};

// A value of another type than `type`.
Platform::PropertyValue wronglyTyped(Tarvik::CommandTable::ValueType type);
bool holdsType(const Platform::PropertyValue& value, Tarvik::CommandTable::ValueType type);
// The value under `key` when it is there with type T; nullopt otherwise.
template <class T>
std::optional<T> typedValue(const Platform::ValueSet& message, std::wstring_view key) {
    const auto value = message.TryLookup(key);
    if (!value || !value->holds<T>()) return std::nullopt;
    return Platform::unbox_value<T>(*value);
}
// The message as one line, for the report.
std::string describe(const Platform::ValueSet& message);

}  // namespace Conformance
