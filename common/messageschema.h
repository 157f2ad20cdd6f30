#pragma once
/// @file
/// Envelope keys and the constructors of request and response messages.
#include <cstdint>

#include "platform/valueset.h"

namespace Tarvik {

using Platform::ValueSet;

namespace Keys {
inline constexpr const wchar_t* kCommand = L"command";
inline constexpr const wchar_t* kCommandId = L"commandId";
inline constexpr const wchar_t* kRetry = L"retry";
inline constexpr const wchar_t* kAckCounts = L"ackCounts";
inline constexpr const wchar_t* kResponse = L"response";
inline constexpr const wchar_t* kResult = L"result";
inline constexpr const wchar_t* kErrorCode = L"errorCode";
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
