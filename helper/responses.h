#pragma once
// The helper's most common answer: success with one entry.
#include "common/messageschema.h"

namespace TarvikHelper {

template <class T>
Platform::ValueSet answerWith(const wchar_t* key, T value) {
    Platform::ValueSet response = Tarvik::createResponse(true);
    response.Insert(key, std::move(value));
    return response;
}

}  // namespace TarvikHelper
