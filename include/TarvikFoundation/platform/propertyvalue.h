#pragma once
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/hstring.h>

namespace Platform {

/// The types a PropertyValue can hold.
enum class PropertyType : uint8_t { Empty = 0, Int32, UInt32, Int64, UInt64, Boolean, String };

/// The type's name, e.g. "Int32".
TARVIK_API const char* property_type_name(PropertyType t) noexcept;

/// Boxed property values. A value keeps the type it was boxed with; unboxing as any
/// other type raises hresult_no_interface.
class TARVIK_API PropertyValue {
  public:
    /// The boxed value: empty or one of the six types.
    using storage =
        std::variant<std::monostate, int32_t, uint32_t, int64_t, uint64_t, bool, hstring>;

    PropertyValue() = default;
    /// An empty value.
    PropertyValue(std::nullptr_t) {}
    /// Boxes an Int32.
    PropertyValue(int32_t v) : v_(v) {}
    /// Boxes a UInt32.
    PropertyValue(uint32_t v) : v_(v) {}
    /// Boxes an Int64.
    PropertyValue(int64_t v) : v_(v) {}
    /// Boxes a UInt64.
    PropertyValue(uint64_t v) : v_(v) {}
    /// Boxes a Boolean.
    PropertyValue(bool v) : v_(v) {}
    /// Boxes a String.
    PropertyValue(hstring v) : v_(std::move(v)) {}
    /// Boxes a String.
    PropertyValue(const wchar_t* v) : v_(hstring(v)) {}
    /// A narrow literal would otherwise decay to bool.
    PropertyValue(const char*) = delete;

    /// The type the value was boxed with.
    PropertyType Type() const noexcept { return static_cast<PropertyType>(v_.index()); }
    /// Whether the value is empty.
    bool is_null() const noexcept { return v_.index() == 0; }
    /// The variant itself.
    const storage& raw() const noexcept { return v_; }

    /// Whether the value is a T.
    template <class T>
    bool holds() const noexcept {
        return std::holds_alternative<T>(v_);
    }

    /// Same type and same value.
    friend bool operator==(const PropertyValue&, const PropertyValue&) = default;

  private:
    storage v_;
};

/// Boxes `v` with its own type.
template <class T>
PropertyValue box_value(T v) {
    return PropertyValue(std::move(v));
}

/// The value as a T; raises hresult_no_interface when it holds another type.
template <class T>
T unbox_value(const PropertyValue& v) {
    if (const T* p = std::get_if<T>(&v.raw())) return *p;
    throw hresult_no_interface(hstring(L"value is not of the requested type"));
}

/// Unboxes when the type matches, else returns the fallback.
template <class T>
T unbox_value_or(const PropertyValue& v, T fallback) {
    if (const T* p = std::get_if<T>(&v.raw())) return *p;
    return fallback;
}

}  // namespace Platform
