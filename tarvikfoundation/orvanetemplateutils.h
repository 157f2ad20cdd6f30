#pragma once
#include <cstdint>
#include <sstream>
#include <string>

#include <TarvikFoundation/platform/appservicetypes.h>
#include <TarvikFoundation/platform/async.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "common/logger.h"
#include "common/messageschema.h"

namespace TarvikFoundation {

/// Typed reading of one result key from a response, and number parsing.
class OrvaneTemplateUtils {
  public:
    /// The value under `key`, or T's default when the exchange failed ("response" 1,
    /// no message) or the key is absent.
    template <class T>
    static T getResult(const Platform::AppServiceResponse& response, int32_t command,
                       const wchar_t* key) {
        const Platform::ValueSet message =
            response ? response.Message() : Platform::ValueSet(nullptr);
        const int status = response ? static_cast<int>(response.Status()) : -1;
        Tarvik::LogMessage("DBG", __FILE__, "OrvaneTemplateUtils::getResult", __LINE__,
                           "Received response for command = %d with status = %d", command, status);
        if (!message) return T{};
        if (message.LookupAs<int32_t>(Tarvik::Keys::kResponse) == Tarvik::kResponseFailure)
            return T{};
        auto value = message.TryLookup(key);
        if (!value) return T{};
        return Platform::unbox_value<T>(*value);
    }

    /// Sends the request and completes with getResult<T> of its answer.
    template <class T>
    static Platform::IAsyncOperation<T> sendForResult(
        const std::shared_ptr<Tarvik::TarvikAppServiceConnection>& connection,
        const Platform::ValueSet& request, int32_t command, const wchar_t* key) {
        return Platform::IAsyncOperation<T>::from_task(
            connection->sendCommandAsync(request).then_inline(
                [connection, command, key](Platform::AppServiceResponse response) {
                    return getResult<T>(response, command, key);
                }));
    }

    /// The number at the start of `text`; 0 (logged) when there is none.
    template <class T>
    static T StrToInt(const std::wstring& text) {
        T value = 0;
        try {
            std::wistringstream stream(text);
            stream >> value;
            if (stream.fail() || stream.bad()) {
                TLOG("CRT", "Fail/Bad in wstream.");
                return 0;
            }
            return value;
        } catch (...) {
            TLOG("CRT", "Error in converting.");
            return 0;
        }
    }
};

}  // namespace TarvikFoundation
