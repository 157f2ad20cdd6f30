#pragma once
// Typed entries of an application's request, read without trusting the sender.
#include <optional>
#include <string>

#include <TarvikFoundation/platform/valueset.h>

#include "common/logger.h"

namespace TarvikHelper {

// The entry under `key` when it is there with type T.
template <class T>
std::optional<T> entryOf(const Platform::ValueSet& request, const wchar_t* key) {
    const auto value = request.TryLookup(key);
    if (!value || !value->holds<T>()) return std::nullopt;
    return Platform::unbox_value<T>(*value);
}

// A String entry as UTF-8, or "" when it is missing or of another type.
inline std::string textOrEmpty(const Platform::ValueSet& request, const wchar_t* key) {
    const auto value = entryOf<Platform::hstring>(request, key);
    return value ? value->to_utf8() : std::string();
}

// A String entry the command needs: nullopt, logged, when it is missing or of another type.
inline std::optional<std::string> requiredText(const Platform::ValueSet& request,
                                               const wchar_t* key) {
    const auto value = entryOf<Platform::hstring>(request, key);
    if (!value) {
        TLOGW("WRN", L"request without String %s", key);
        return std::nullopt;
    }
    return value->to_utf8();
}

}  // namespace TarvikHelper
