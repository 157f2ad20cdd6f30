#include "platform/wirecodec.h"

namespace Platform::Wire {

void toProto(const ValueSet& values, tarvik::wire::ValueSet& out) {
    values.ForEach([&](const hstring& key, const PropertyValue& value) {
        auto* entry = out.add_entries();
        entry->set_key(key.to_utf8());
        auto* v = entry->mutable_value();
        std::visit(
            [&](const auto& x) {
                using X = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<X, std::monostate>)
                    v->set_null_value(true);
                else if constexpr (std::is_same_v<X, int32_t>)
                    v->set_int32_value(x);
                else if constexpr (std::is_same_v<X, uint32_t>)
                    v->set_uint32_value(x);
                else if constexpr (std::is_same_v<X, int64_t>)
                    v->set_int64_value(x);
                else if constexpr (std::is_same_v<X, uint64_t>)
                    v->set_uint64_value(x);
                else if constexpr (std::is_same_v<X, bool>)
                    v->set_boolean_value(x);
                else
                    v->set_string_value(x.to_utf8());
            },
            value.raw());
    });
}

ValueSet fromProto(const tarvik::wire::ValueSet& in, KeyCache* keys) {
    ValueSet::Items items;
    items.reserve(static_cast<std::size_t>(in.entries_size()));
    for (const auto& entry : in.entries()) {
        const auto& v = entry.value();
        PropertyValue value;
        switch (v.kind_case()) {
            case tarvik::wire::Value::kNullValue:
                break;
            case tarvik::wire::Value::kInt32Value:
                value = v.int32_value();
                break;
            case tarvik::wire::Value::kUint32Value:
                value = v.uint32_value();
                break;
            case tarvik::wire::Value::kInt64Value:
                value = v.int64_value();
                break;
            case tarvik::wire::Value::kUint64Value:
                value = v.uint64_value();
                break;
            case tarvik::wire::Value::kBooleanValue:
                value = v.boolean_value();
                break;
            case tarvik::wire::Value::kStringValue:
                value = hstring::from_utf8(v.string_value());
                break;
            default:
                throw hresult_invalid_argument(L"message entry without a value: " +
                                               hstring::from_utf8(entry.key()).wstr());
        }
        items.emplace_back(keys ? keys->get(entry.key()) : hstring::from_utf8(entry.key()),
                           std::move(value));
    }
    return ValueSet::FromItems(std::move(items));
}

std::optional<std::string> encodeFrame(const tarvik::wire::Frame& frame) {
    const std::size_t size = frame.ByteSizeLong();
    if (size > kMaxFrameSize) return std::nullopt;
    std::string out(kLengthPrefixSize + size, '\0');
    encodeLength(size, out.data());
    frame.SerializeToArray(out.data() + kLengthPrefixSize, static_cast<int>(size));
    return out;
}

void encodeLength(std::size_t size, char* p) noexcept {
    p[0] = static_cast<char>((size >> 24) & 0xFF);
    p[1] = static_cast<char>((size >> 16) & 0xFF);
    p[2] = static_cast<char>((size >> 8) & 0xFF);
    p[3] = static_cast<char>(size & 0xFF);
}

uint32_t decodeLength(const unsigned char* p) noexcept {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace Platform::Wire
