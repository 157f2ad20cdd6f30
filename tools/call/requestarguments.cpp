#include "tools/call/requestarguments.h"

#include <charconv>
#include <limits>
#include <set>

#include "common/messageschema.h"

namespace TarvikCall {

using Platform::hstring;
using Platform::PropertyValue;
using Tarvik::CommandTable::ValueType;

namespace {

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Decimal, or hexadecimal after "0x"; the whole text must be the number.
template <class T>
bool parseInteger(std::string_view text, T& out) {
    int base = 10;
    bool negative = false;
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '-') {
        negative = true;
        digits.remove_prefix(1);
    }
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty() || digits.front() == '-' || digits.front() == '+') return false;
    if (negative && !std::numeric_limits<T>::is_signed) return false;
    // Read the magnitude unsigned so that the smallest negative value fits.
    unsigned long long magnitude = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (error != std::errc() || end != digits.data() + digits.size()) return false;
    if (negative) {
        const auto limit = static_cast<unsigned long long>(std::numeric_limits<T>::max()) + 1;
        if (magnitude > limit) return false;
        out = static_cast<T>(-static_cast<long long>(magnitude - 1) - 1);
        return true;
    }
    if (magnitude > static_cast<unsigned long long>(std::numeric_limits<T>::max())) return false;
    out = static_cast<T>(magnitude);
    return true;
}

template <class T>
PropertyValue integer(std::string_view text, std::string_view argument, std::string_view type) {
    T value{};
    if (!parseInteger(text, value))
        throw UsageError("bad value in \"" + std::string(argument) + "\": \"" + std::string(text) +
                         "\" is not a " + std::string(type));
    return PropertyValue(value);
}

ValueType typeOf(const PropertyValue& value) {
    switch (value.Type()) {
        case Platform::PropertyType::Int32:
            return ValueType::Int32;
        case Platform::PropertyType::UInt32:
            return ValueType::UInt32;
        case Platform::PropertyType::Int64:
            return ValueType::Int64;
        case Platform::PropertyType::UInt64:
            return ValueType::UInt64;
        case Platform::PropertyType::Boolean:
            return ValueType::Boolean;
        default:
            return ValueType::String;
    }
}

}  // namespace

namespace {

Command lookUp(std::string_view text) {
    Command command;
    const bool numeric =
        !text.empty() && (text.front() == '-' || (text.front() >= '0' && text.front() <= '9'));
    if (numeric) {
        if (!parseInteger(text, command.code))
            throw UsageError("bad command \"" + std::string(text) + "\": not an Int32 number");
        command.entry = Tarvik::CommandTable::find(command.code);
        return command;
    }
    command.entry = Tarvik::CommandTable::findByName(text);
    if (!command.entry)
        throw UsageError("unknown command \"" + std::string(text) +
                         "\" (tarvik-call --list shows the table)");
    command.code = command.entry->code;
    return command;
}

}  // namespace

Command resolveCommand(std::string_view text) {
    const Command command = lookUp(text);
    if (command.entry && command.entry->direction == Tarvik::CommandTable::Direction::HelperToApp)
        throw UsageError("command " + std::to_string(command.code) + " " + command.entry->name +
                         " is sent by the helper to the application, not to the helper");
    return command;
}

int32_t resolveWatchedCommand(std::string_view text) {
    return lookUp(text).code;
}

std::pair<hstring, PropertyValue> parseArgument(std::string_view text) {
    const auto equals = text.find('=');
    const auto colon = equals == std::string_view::npos ? equals : text.find(':', equals + 1);
    if (equals == 0 || colon == std::string_view::npos)
        throw UsageError("bad argument \"" + std::string(text) + "\": expected key=type:value");
    const std::string_view key = text.substr(0, equals);
    const std::string_view typeText = text.substr(equals + 1, colon - equals - 1);
    const std::string_view value = text.substr(colon + 1);
    if (Tarvik::CommandTable::isEnvelopeKey(Platform::utf8_to_wide(std::string(key))))
        throw UsageError("bad argument \"" + std::string(text) + "\": \"" + std::string(key) +
                         "\" belongs to the channel's envelope");
    const auto type = Tarvik::CommandTable::typeFromName(typeText);
    if (!type)
        throw UsageError("bad argument \"" + std::string(text) + "\": unknown type \"" +
                         std::string(typeText) +
                         "\" (Int32, UInt32, Int64, UInt64, Boolean or String)");
    const hstring name = hstring::from_utf8(std::string(key));
    switch (*type) {
        case ValueType::Int32:
            return {name, integer<int32_t>(value, text, "Int32")};
        case ValueType::UInt32:
            return {name, integer<uint32_t>(value, text, "UInt32")};
        case ValueType::Int64:
            return {name, integer<int64_t>(value, text, "Int64")};
        case ValueType::UInt64:
            return {name, integer<uint64_t>(value, text, "UInt64")};
        case ValueType::Boolean:
            if (equalNoCase(value, "true") || value == "1") return {name, PropertyValue(true)};
            if (equalNoCase(value, "false") || value == "0") return {name, PropertyValue(false)};
            throw UsageError("bad value in \"" + std::string(text) + "\": \"" + std::string(value) +
                             "\" is not a Boolean (true or false)");
        case ValueType::String:
            break;
    }
    return {name, PropertyValue(hstring::from_utf8(std::string(value)))};
}

Platform::ValueSet buildRequest(const Command& command, const std::vector<std::string>& arguments,
                                bool unchecked) {
    Platform::ValueSet request = Tarvik::createRequest(command.code);
    std::set<std::wstring> seen;
    for (const auto& argument : arguments) {
        auto [key, value] = parseArgument(argument);
        if (!seen.insert(key.wstr()).second)
            throw UsageError("key \"" + key.to_utf8() + "\" given twice");
        if (!unchecked && command.entry)
            for (const auto& entry : command.entry->request)
                if (key == entry.name && typeOf(value) != entry.type)
                    throw UsageError("\"" + argument + "\": " + command.entry->name + " takes " +
                                     key.to_utf8() + " as " +
                                     std::string(Tarvik::CommandTable::typeName(entry.type)) +
                                     " (--unchecked sends it anyway)");
        request.Insert(std::move(key), std::move(value));
    }
    if (!unchecked && command.entry)
        for (const auto& entry : command.entry->request)
            if (entry.required && !request.HasKey(entry.name))
                throw UsageError(std::string(command.entry->name) + " needs " +
                                 hstring(entry.name).to_utf8() + "=" +
                                 std::string(Tarvik::CommandTable::typeName(entry.type)) +
                                 ":... (--unchecked sends it without)");
    return request;
}

}  // namespace TarvikCall
