#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/jsonarray.h>

namespace Platform {

namespace {
constexpr hresult kInvalidJson = static_cast<hresult>(0x83750007);
constexpr hresult kIllegalMethodCall = static_cast<hresult>(0x8000000E);
}  // namespace

JsonArray JsonArray::Parse(const hstring& text) {
    auto value = nlohmann::json::parse(text.to_utf8(), nullptr, false);
    if (value.is_discarded() || !value.is_array())
        throw hresult_error(kInvalidJson, L"JSON text is not an array");
    return JsonArray(std::move(value));
}

JsonArray JsonArray::FromJson(nlohmann::json value) {
    if (!value.is_array()) throw hresult_invalid_argument(L"JSON value is not an array");
    return JsonArray(std::move(value));
}

hstring JsonArray::GetStringAt(uint32_t index) const {
    if (index >= value_.size()) throw hresult_out_of_bounds();
    const auto& element = value_[index];
    if (!element.is_string())
        throw hresult_error(kIllegalMethodCall, L"JSON array element is not a string");
    return hstring::from_utf8(element.get<std::string>());
}

JsonObject JsonArray::GetObjectAt(uint32_t index) const {
    if (index >= value_.size()) throw hresult_out_of_bounds();
    return JsonObject::FromJson(value_[index]);
}

hstring JsonArray::Stringify() const {
    return hstring::from_utf8(value_.dump());
}

}  // namespace Platform
