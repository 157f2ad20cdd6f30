#include "tools/conformance/requestvalues.h"

#include <unistd.h>

#include "tools/conformance/helpersandbox.h"

namespace Conformance {

using Platform::hstring;
using Platform::PropertyValue;
using Tarvik::CommandTable::ValueType;

namespace {

PropertyValue ofType(ValueType type, uint64_t number, const std::string& text) {
    switch (type) {
        case ValueType::Int32:
            return static_cast<int32_t>(number);
        case ValueType::UInt32:
            return static_cast<uint32_t>(number);
        case ValueType::Int64:
            return static_cast<int64_t>(number);
        case ValueType::UInt64:
            return number;
        case ValueType::Boolean:
            return number != 0;
        case ValueType::String:
            return hstring::from_utf8(text);
    }
    return nullptr;
}

}  // namespace

PropertyValue RequestValues::valid(const Tarvik::CommandTable::CommandSpec& command,
                                   const Tarvik::CommandTable::KeySpec& key) const {
    const std::wstring name = key.name;
    // What an earlier answer gave under the same name and type names a real object.
    if (const auto it = answered_.find(name);
        it != answered_.end() && holdsType(it->second, key.type))
        return it->second;
    const int code = command.code;
    std::string text = "conformance";
    uint64_t number = 1;
    if (name == L"filePath") {
        // Each file command has its own place below the served folder; 2 creates the
        // folder that 3 deletes.
        text = code == 0   ? files_ + "/token.txt"
               : code == 2 ? files_ + "/made/inner"
               : code == 3 ? files_ + "/made"
                           : files_;
    } else if (name == L"filemode") {
        text = "write";
    } else if (name == L"fileCreateDirectory" || name == L"doRecursiveListing") {
        text = "true";
    } else if (name == L"AppXFolderName" || name == L"kAppPath") {
        text = files_;
    } else if (name == L"FilePathString") {
        // The manifest's client program, which does nothing.
        text = HelperSandbox::kClientProgram;
    } else if (name == L"ParametersString" || name == L"CommandLineArguments") {
        text = "";
    } else if (name == L"TargetSpecifier") {
        // No application of this family is installed, so LaunchApp starts nothing.
        text = "TarvikConformance.NotInstalled_0000000000000";
    } else if (name == L"EnvVariableName") {
        text = "TARVIK_CONFORMANCE";
    } else if (name == L"appVersion") {
        text = "1.0.0.0";
    } else if (name == L"message") {
        text = "conformance.Test";
    } else if (name == L"payload") {
        text = "{}";
    } else if (name == L"TestDelay") {
        number = 10;
    } else if (name == L"TestIterations") {
        number = 2;
    } else if (name == L"ProcessID") {
        // This process: watching it is harmless.
        number = static_cast<uint64_t>(::getpid());
    } else if (name == L"KeyCode") {
        number = 0x41;
    } else if (name == L"KeyMapType" || name == L"state" || name == L"Focus" ||
               name == L"enableCrashDetection") {
        number = 0;
    }
    return ofType(key.type, number, text);
}

void RequestValues::remember(const Platform::ValueSet& answer) {
    if (!answer) return;
    answer.ForEach([this](const hstring& key, const PropertyValue& value) {
        if (key != L"response" && key != L"result" && key != L"errorCode")
            answered_[std::wstring(key.c_str())] = value;
    });
}

PropertyValue wronglyTyped(ValueType type) {
    if (type == ValueType::String) return static_cast<int32_t>(7);
    return hstring(L"not a number");
}

bool holdsType(const PropertyValue& value, ValueType type) {
    switch (type) {
        case ValueType::Int32:
            return value.holds<int32_t>();
        case ValueType::UInt32:
            return value.holds<uint32_t>();
        case ValueType::Int64:
            return value.holds<int64_t>();
        case ValueType::UInt64:
            return value.holds<uint64_t>();
        case ValueType::Boolean:
            return value.holds<bool>();
        case ValueType::String:
            return value.holds<hstring>();
    }
    return false;
}

std::string describe(const Platform::ValueSet& message) {
    if (!message) return "no message";
    std::string out = "{";
    message.ForEach([&out](const hstring& key, const PropertyValue& value) {
        if (out.size() > 1) out += ", ";
        out += "\"" + key.to_utf8() + "\": " + Platform::property_type_name(value.Type());
        std::string shown;
        std::visit(
            [&shown](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, hstring>)
                    shown = "\"" + v.to_utf8() + "\"";
                else if constexpr (std::is_same_v<T, bool>)
                    shown = v ? "true" : "false";
                else if constexpr (!std::is_same_v<T, std::monostate>)
                    shown = std::to_string(v);
            },
            value.raw());
        if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
        if (!shown.empty()) out += " " + shown;
    });
    return out + "}";
}

}  // namespace Conformance
