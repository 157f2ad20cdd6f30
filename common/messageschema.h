#pragma once
/// @file
/// Envelope keys and the constructors of request and response messages.
#include <cstdint>

#include <TarvikFoundation/platform/valueset.h>

namespace Tarvik {

using Platform::ValueSet;

// Literals: a key copied into a message costs no allocation.
namespace Keys {
inline constinit const Platform::hstring kCommand{Platform::hstring::literal, L"command"};
inline constinit const Platform::hstring kCommandId{Platform::hstring::literal, L"commandId"};
inline constinit const Platform::hstring kRetry{Platform::hstring::literal, L"retry"};
inline constinit const Platform::hstring kAckCounts{Platform::hstring::literal, L"ackCounts"};
inline constinit const Platform::hstring kResponse{Platform::hstring::literal, L"response"};
inline constinit const Platform::hstring kResult{Platform::hstring::literal, L"result"};
inline constinit const Platform::hstring kErrorCode{Platform::hstring::literal, L"errorCode"};
}  // namespace Keys

/// "response" values.
inline constexpr int32_t kResponseSuccess = 0;
inline constexpr int32_t kResponseFailure = 1;
inline constexpr int32_t kResponseInProgress = 2;
inline constexpr int32_t kConnectionRestablishmentInProgress = 3;

/// The id that stands for "no request id"; never assigned.
inline constexpr uint64_t kNoRequestId = UINT64_MAX;

ValueSet createRequest(int32_t command);
ValueSet createResponse(bool ok);
/// Raises when "command" is absent or not an Int32.
int32_t getCommand(const ValueSet& message);
/// Gives the request its "commandId" unless it has one, then attaches the pending
/// acknowledgements.
void assignRequestId(const ValueSet& request);
// Next id of the process-wide counter (first is 1).
uint64_t nextRequestId() noexcept;

}  // namespace Tarvik
