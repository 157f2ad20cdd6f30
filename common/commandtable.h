#pragma once
/// @file
/// The contract of every command: who sends it, the keys of its request and of its
/// answer with their types, and the outcomes it may answer. The library's managers,
/// the reference helper, the conformance checker, tarvik-call and docs/commands.md all
/// read their keys from here.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace Tarvik::CommandTable {

/// Who sends the request.
enum class Direction { AppToHelper, HelperToApp };

/// The boxed type of a value on the wire.
enum class ValueType { Int32, UInt32, Int64, UInt64, Boolean, String };

/// One key of a request or of an answer.
struct KeySpec {
    const wchar_t* name;
    ValueType type;
    bool required;        // request: every sender includes it and a receiver may refuse
                          // the request without it; answer: present in every answer
                          // with "response" 0
    const char* meaning;  // one line for the docs
};

/// One command code.
struct CommandSpec {
    int32_t code;
    const char* name;  // e.g. "TestDelayMessage"; tarvik-call accepts it in any case
    Direction direction;
    const char* issuer;  // the manager method or handler behind it
    std::span<const KeySpec> request;
    std::span<const KeySpec> answer;    // besides "response"
    std::span<const int32_t> outcomes;  // the "response" values its handler answers;
                                        // 2 and 3 may come for any command (isRetryOutcome)
    const char* summary;
};

/// "response" values that the channel or the relay answer for any command, asking the
/// sender to send again.
constexpr bool isRetryOutcome(int32_t response) noexcept {
    return response == 2 || response == 3;
}

/// One value of "response".
struct ResponseSpec {
    int32_t value;
    const char* name;  // the constant's name, or "" where the value has none
    const char* meaning;
};

/// The keys the channel adds to every request ("Ack1" to "Ack25" stand as one entry).
std::span<const KeySpec> requestEnvelope() noexcept;
/// The keys any answer may carry besides a command's own: "response" and "reason".
std::span<const KeySpec> answerEnvelope() noexcept;
/// The "response" values, 0 to 3.
std::span<const ResponseSpec> responseValues() noexcept;
/// Whether the channel reads or writes this key for every command: "command",
/// "commandId", "retry", "ackCounts", "Ack1" to "Ack25", "response" and "reason".
bool isEnvelopeKey(std::wstring_view key) noexcept;

/// Every assigned command code, in ascending order.
std::span<const CommandSpec> all() noexcept;
/// The command with this code, or nullptr for a reserved or unknown code.
const CommandSpec* find(int32_t code) noexcept;
/// The command with this name, compared without regard to case, or nullptr.
const CommandSpec* findByName(std::string_view name) noexcept;
/// "Int32", "UInt32", "Int64", "UInt64", "Boolean", "String".
std::string_view typeName(ValueType type) noexcept;
/// The inverse of typeName, without regard to case.
std::optional<ValueType> typeFromName(std::string_view name) noexcept;

}  // namespace Tarvik::CommandTable
