#pragma once
// The helper's most common answers: success with one entry, and a refusal that says why.
#include <string>

#include "common/commandkeys.h"
#include "common/messageschema.h"

namespace TarvikHelper {

// Optional on a failed answer: why the helper refused, in short English.
inline constexpr const wchar_t* kReasonKey = Tarvik::CommandKeys::kReason;

template <class T>
Platform::ValueSet answerWith(const wchar_t* key, T value) {
    Platform::ValueSet response = Tarvik::createResponse(true);
    response.Insert(key, std::move(value));
    return response;
}

inline Platform::ValueSet refusedBecause(const std::string& reason) {
    Platform::ValueSet response = Tarvik::createResponse(false);
    response.Insert(kReasonKey, Platform::hstring::from_utf8(reason));
    return response;
}

}  // namespace TarvikHelper
