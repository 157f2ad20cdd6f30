#include "platform/valueset.h"

namespace Platform {

const char* property_type_name(PropertyType t) noexcept {
    switch (t) {
        case PropertyType::Empty:
            return "Empty";
        case PropertyType::Int32:
            return "Int32";
        case PropertyType::UInt32:
            return "UInt32";
        case PropertyType::Int64:
            return "Int64";
        case PropertyType::UInt64:
            return "UInt64";
        case PropertyType::Boolean:
            return "Boolean";
        case PropertyType::String:
            return "String";
    }
    return "?";
}

ValueSet::ValueSet() : impl_(std::make_shared<Impl>()) {}

ValueSet::Impl& ValueSet::impl() const {
    if (!impl_) throw hresult_error(static_cast<hresult>(0x80004003), L"null ValueSet");
    return *impl_;
}

bool ValueSet::Insert(hstring key, PropertyValue value) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    auto [it, inserted] = i.items.insert_or_assign(std::move(key), std::move(value));
    return !inserted;
}

PropertyValue ValueSet::Lookup(std::wstring_view key) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    auto it = i.items.find(key);
    if (it == i.items.end())
        throw hresult_out_of_bounds(hstring(L"key not found: " + std::wstring(key)));
    return it->second;
}

std::optional<PropertyValue> ValueSet::TryLookup(std::wstring_view key) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    auto it = i.items.find(key);
    if (it == i.items.end()) return std::nullopt;
    return it->second;
}

bool ValueSet::HasKey(std::wstring_view key) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    return i.items.contains(key);
}

bool ValueSet::Remove(std::wstring_view key) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    return i.items.erase(key) > 0;
}

void ValueSet::Clear() const {
    auto& i = impl();
    std::lock_guard g(i.m);
    i.items.clear();
}

std::size_t ValueSet::Size() const {
    auto& i = impl();
    std::lock_guard g(i.m);
    return i.items.size();
}

ValueSet::Items ValueSet::GetItems() const {
    auto& i = impl();
    std::lock_guard g(i.m);
    return Items(i.items.begin(), i.items.end());
}

ValueSet ValueSet::Clone() const {
    ValueSet copy;
    auto& i = impl();
    std::lock_guard g(i.m);
    copy.impl_->items = i.items;
    return copy;
}

bool ValueSet::equals(const ValueSet& other) const {
    if (!impl_ || !other.impl_) return !impl_ && !other.impl_;
    if (impl_ == other.impl_) return true;
    return GetItems() == other.GetItems();
}

}  // namespace Platform
