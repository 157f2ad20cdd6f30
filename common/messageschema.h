#pragma once
/// @file
/// Envelope keys and the constructors of request and response messages.
#include <cstdint>

#include <TarvikFoundation/platform/valueset.h>

/// The message channel between the application and the helper, and the logger.
namespace Tarvik {

using Platform::ValueSet;

/// The envelope keys every message may carry. Literals: a key copied into a message
/// costs no allocation.
namespace Keys {
/// Int32 command code of a request.
inline constinit const Platform::hstring kCommand{Platform::hstring::literal, L"command"};
/// UInt64 request id, the same on every resend.
inline constinit const Platform::hstring kCommandId{Platform::hstring::literal, L"commandId"};
/// Boolean true on every resend of a request.
inline constinit const Platform::hstring kRetry{Platform::hstring::literal, L"retry"};
/// Int32 number of "Ack1".."Ack25" entries that follow.
inline constinit const Platform::hstring kAckCounts{Platform::hstring::literal, L"ackCounts"};
/// Int32 outcome of a response: kResponseSuccess and the others below.
inline constinit const Platform::hstring kResponse{Platform::hstring::literal, L"response"};
/// Int32 status of the operation, for commands that return one number.
inline constinit const Platform::hstring kResult{Platform::hstring::literal, L"result"};
/// Int32 error code of a failed file or message command.
inline constinit const Platform::hstring kErrorCode{Platform::hstring::literal, L"errorCode"};
}  // namespace Keys

/// "response": the command succeeded.
inline constexpr int32_t kResponseSuccess = 0;
/// "response": the command failed.
inline constexpr int32_t kResponseFailure = 1;
/// "response": a request with this id is running now; the sender retries.
inline constexpr int32_t kResponseInProgress = 2;
/// "response": the relay is waiting for the other side; the sender retries.
inline constexpr int32_t kConnectionRestablishmentInProgress = 3;

/// The id that stands for "no request id"; never assigned.
inline constexpr uint64_t kNoRequestId = UINT64_MAX;

/// A new request holding only "command".
ValueSet createRequest(int32_t command);
/// A new response holding only "response": 0 when `ok`, else 1.
ValueSet createResponse(bool ok);
/// Raises when "command" is absent or not an Int32.
int32_t getCommand(const ValueSet& message);
/// Gives the request its "commandId" unless it has one, then attaches the pending
/// acknowledgements.
void assignRequestId(const ValueSet& request);
/// Next id of the process-wide counter (first is 1).
uint64_t nextRequestId() noexcept;

}  // namespace Tarvik
