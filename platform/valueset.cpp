// GCC 12 reports the shared_ptr inside a sorted entry's variant as maybe uninitialized
// in std::sort's heap fallback, a false positive of its variant analysis.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <algorithm>

#include <TarvikFoundation/platform/valueset.h>

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

namespace {
// Most keys differ in their first character: that one is compared in place, and only
// keys that share it pay for a library comparison. The order is the text's, as before.
bool keyBelow(std::wstring_view a, std::wstring_view b) noexcept {
    if (!a.empty() && !b.empty() && a[0] != b[0]) return a[0] < b[0];
    return a < b;
}
// Sets up to this size are searched by a scan rather than by halves.
constexpr std::size_t kScanned = 8;
bool sameKey(std::wstring_view a, std::wstring_view b) noexcept {
    return a.size() == b.size() && (a.empty() || a[0] == b[0]) && a == b;
}
// Entries order by their keys' text; an entry also compares with a bare key.
struct KeyLess {
    using Entry = ValueSet::Items::value_type;
    bool operator()(const Entry& a, std::wstring_view b) const noexcept {
        return keyBelow(a.first, b);
    }
    bool operator()(const Entry& a, const Entry& b) const noexcept {
        return keyBelow(a.first, b.first);
    }
};
// The first entry whose key is not below `key`.
ValueSet::Items::iterator lowerBound(ValueSet::Items& items, std::wstring_view key) {
    return std::lower_bound(items.begin(), items.end(), key, KeyLess{});
}
}  // namespace

ValueSet ValueSet::FromItems(Items items) {
    // One sort, not one insert per entry: entries that arrive in reverse order would
    // otherwise cost a shift of the whole vector each. Repeats are refused, so the
    // sort need not be stable (a stable one would allocate a buffer per message).
    // Messages written from a ValueSet arrive in key order: one pass that finds every
    // key above the one before confirms both the order and that none repeats.
    const bool ascending =
        std::adjacent_find(items.begin(), items.end(), [](const auto& a, const auto& b) {
            return !keyBelow(a.first, b.first);
        }) == items.end();
    if (!ascending) {
        std::sort(items.begin(), items.end(), KeyLess{});
        const auto repeated = std::adjacent_find(
            items.begin(), items.end(),
            [](const auto& a, const auto& b) { return sameKey(a.first, b.first); });
        if (repeated != items.end())
            throw hresult_invalid_argument(L"repeated key: " + repeated->first.wstr());
    }
    ValueSet set;
    set.impl_->items = std::move(items);
    return set;
}

ValueSet::Items::iterator ValueSet::Impl::find(std::wstring_view key) {
    // A message's handful of keys is scanned: most differ from the wanted one in length
    // or first character, where a binary search compares whole keys to order them.
    if (items.size() <= kScanned) {
        return std::find_if(items.begin(), items.end(),
                            [&](const auto& entry) { return sameKey(entry.first, key); });
    }
    auto it = lowerBound(items, key);
    if (it != items.end() && sameKey(it->first, key)) return it;
    return items.end();
}

ValueSet::Impl& ValueSet::impl() const {
    if (!impl_) throw hresult_error(static_cast<hresult>(0x80004003), L"null ValueSet");
    return *impl_;
}

bool ValueSet::Insert(hstring key, PropertyValue value) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    // Reserve before searching: growing later would leave the position dangling.
    if (i.items.capacity() == 0) i.items.reserve(8);
    auto it = lowerBound(i.items, key);
    if (it != i.items.end() && sameKey(it->first, key)) {
        it->second = std::move(value);
        return true;
    }
    i.items.emplace(it, std::move(key), std::move(value));
    return false;
}

void ValueSet::throwNotFound(std::wstring_view key) {
    throw hresult_out_of_bounds(hstring(L"key not found: " + std::wstring(key)));
}

PropertyValue ValueSet::Lookup(std::wstring_view key) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    auto it = i.find(key);
    if (it == i.items.end()) throwNotFound(key);
    return it->second;
}

std::optional<PropertyValue> ValueSet::TryLookup(std::wstring_view key) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    auto it = i.find(key);
    if (it == i.items.end()) return std::nullopt;
    return it->second;
}

bool ValueSet::HasKey(std::wstring_view key) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    return i.find(key) != i.items.end();
}

bool ValueSet::Remove(std::wstring_view key) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    auto it = i.find(key);
    if (it == i.items.end()) return false;
    i.items.erase(it);
    return true;
}

void ValueSet::Clear() const {
    auto& i = impl();
    std::lock_guard g(i.m);
    i.items.clear();
}

void ValueSet::Reserve(std::size_t n) const {
    auto& i = impl();
    std::lock_guard g(i.m);
    i.items.reserve(n);
}

std::size_t ValueSet::Size() const {
    auto& i = impl();
    std::lock_guard g(i.m);
    return i.items.size();
}

ValueSet::Items ValueSet::GetItems() const {
    auto& i = impl();
    std::lock_guard g(i.m);
    return i.items;
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
