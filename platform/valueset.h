#pragma once
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/propertyvalue.h"

namespace Platform {

/// ValueSet: a reference-counted map from case-sensitive keys to boxed values,
/// ordered by key. Copies of a ValueSet share one map; null ValueSets exist.
class ValueSet {
  public:
    using Items = std::vector<std::pair<hstring, PropertyValue>>;

    ValueSet();
    ValueSet(std::nullptr_t) noexcept {}

    explicit operator bool() const noexcept { return impl_ != nullptr; }
    friend bool operator==(const ValueSet& a, std::nullptr_t) noexcept { return !a.impl_; }
    /// Identity: both handles refer to the same map.
    bool same_object(const ValueSet& other) const noexcept { return impl_ == other.impl_; }
    const void* identity() const noexcept { return impl_.get(); }

    /// Inserts or replaces; true when an entry was replaced.
    bool Insert(const hstring& key, PropertyValue value) const;
    /// Raises hresult_out_of_bounds when the key is absent.
    PropertyValue Lookup(const hstring& key) const;
    std::optional<PropertyValue> TryLookup(const hstring& key) const;
    bool HasKey(const hstring& key) const;
    bool Remove(const hstring& key) const;
    void Clear() const;
    std::size_t Size() const;
    Items GetItems() const;
    ValueSet Clone() const;

    template <class T>
    T LookupAs(const hstring& key) const {
        return unbox_value<T>(Lookup(key));
    }
    template <class T>
    std::optional<T> TryLookupAs(const hstring& key) const {
        auto v = TryLookup(key);
        if (!v) return std::nullopt;
        return unbox_value<T>(*v);
    }

    /// Equal contents (keys, types and values).
    bool equals(const ValueSet& other) const;

  private:
    struct Impl {
        mutable std::mutex m;
        std::map<hstring, PropertyValue, std::less<>> items;
    };
    Impl& impl() const;
    std::shared_ptr<Impl> impl_;
};

}  // namespace Platform
