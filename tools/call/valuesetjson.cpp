#include "tools/call/valuesetjson.h"

#include <type_traits>

namespace TarvikCall {

nlohmann::json toJson(const Platform::ValueSet& message) {
    if (!message) return nullptr;
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [key, value] : message.GetItems()) {
        const char* type = Platform::property_type_name(value.Type());
        out[key.to_utf8()] = std::visit(
            [type](const auto& v) -> nlohmann::json {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::monostate>)
                    return {{type, nullptr}};
                else if constexpr (std::is_same_v<T, Platform::hstring>)
                    return {{type, v.to_utf8()}};
                else
                    return {{type, v}};
            },
            value.raw());
    }
    return out;
}

}  // namespace TarvikCall
