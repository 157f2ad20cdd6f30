#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/jsonobject.h>

namespace Platform {

namespace {
constexpr hresult kValueNotFound = static_cast<hresult>(0x83750009);
constexpr hresult kIllegalMethodCall = static_cast<hresult>(0x8000000E);
}  // namespace

JsonObject JsonObject::FromJson(nlohmann::json value) {
    if (!value.is_object()) throw hresult_error(kIllegalMethodCall, L"JSON value is not an object");
    return JsonObject(std::move(value));
}

const nlohmann::json& JsonObject::member(const hstring& name) const {
    const auto found = value_.find(name.to_utf8());
    if (found == value_.end()) throw hresult_error(kValueNotFound, L"JSON member not found");
    return *found;
}

double JsonObject::GetNamedNumber(const hstring& name) const {
    const auto& value = member(name);
    if (!value.is_number()) throw hresult_error(kIllegalMethodCall, L"JSON member is not a number");
    return value.get<double>();
}

hstring JsonObject::GetNamedString(const hstring& name) const {
    const auto& value = member(name);
    if (!value.is_string()) throw hresult_error(kIllegalMethodCall, L"JSON member is not a string");
    return hstring::from_utf8(value.get<std::string>());
}

}  // namespace Platform
