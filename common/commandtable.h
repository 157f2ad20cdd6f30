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
    bool required;        // request: the receiver refuses the request without it;
                          // answer: present in every successful answer
    const char* meaning;  // one line for the docs
};

/// One command code.
struct CommandSpec {
    int32_t code;
    const char* name;  // e.g. "TestDelayMessage"; tarvik-call accepts it in any case
    Direction direction;
    const char* issuer;  // the manager method or handler behind it
    std::span<const KeySpec> request;
    std::span<const KeySpec> answer;  // besides "response"
    std::span<const int32_t> outcomes;  // the "response" values it may answer
    const char* summary;
};

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
