#pragma once
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/propertyvalue.h>

namespace Platform {

/// ValueSet: a reference-counted map from case-sensitive keys to boxed values,
/// ordered by key. Copies of a ValueSet share one map; null ValueSets exist.
class TARVIK_API ValueSet {
  public:
    /// Entries in key order.
    using Items = std::vector<std::pair<hstring, PropertyValue>>;

    ValueSet();
    /// A null set (no map).
    ValueSet(std::nullptr_t) noexcept {}
    /// A set of the given entries in any order, sorted once; raises
    /// hresult_invalid_argument naming the key when a key repeats.
    static ValueSet FromItems(Items items);

    /// Whether this is a set, not null.
    explicit operator bool() const noexcept { return impl_ != nullptr; }
    /// Whether the set is null.
    friend bool operator==(const ValueSet& a, std::nullptr_t) noexcept { return !a.impl_; }
    /// Identity: both handles refer to the same map.
    bool same_object(const ValueSet& other) const noexcept { return impl_ == other.impl_; }
    /// An address that identifies the shared map (for logs).
    const void* identity() const noexcept { return impl_.get(); }

    /// Inserts or replaces; true when an entry was replaced.
    bool Insert(hstring key, PropertyValue value) const;
    /// Raises hresult_out_of_bounds when the key is absent. Keys are looked up as
    /// views: a literal key costs no string of its own.
    PropertyValue Lookup(std::wstring_view key) const;
    /// The value under key; nullopt when absent.
    std::optional<PropertyValue> TryLookup(std::wstring_view key) const;
    /// Whether the key is present.
    bool HasKey(std::wstring_view key) const;
    /// Removes the key; true when it was present.
    bool Remove(std::wstring_view key) const;
    /// Removes every entry.
    void Clear() const;
    /// Room for n entries in all, so that filling a set of known size allocates once.
    void Reserve(std::size_t n) const;
    /// Number of entries.
    std::size_t Size() const;
    /// A copy of the entries in key order.
    Items GetItems() const;
    /// Calls f(key, value) for each entry in key order, without copying them; f runs
    /// under the set's lock and must not touch this set.
    template <class F>
    void ForEach(F f) const {
        auto& i = impl();
        std::lock_guard g(i.m);
        for (const auto& [key, value] : i.items) f(key, value);
    }
    /// Runs f with all entries, in key order, under the set's lock: for a reader that
    /// needs more than one pass over one consistent state.
    template <class F>
    void ReadItems(F f) const {
        auto& i = impl();
        std::lock_guard g(i.m);
        f(static_cast<const Items&>(i.items));
    }
    /// A new set with the same entries.
    ValueSet Clone() const;

    /// The typed lookups unbox in place, under the lock: no copy of the boxed value
    /// is made only to be unboxed and dropped.
    template <class T>
    T LookupAs(std::wstring_view key) const {
        auto& i = impl();
        std::lock_guard g(i.m);
        auto it = i.find(key);
        if (it == i.items.end()) throwNotFound(key);
        return unbox_value<T>(it->second);
    }
    /// The value under key as a T; nullopt when absent. Raises hresult_no_interface
    /// when it holds another type.
    template <class T>
    std::optional<T> TryLookupAs(std::wstring_view key) const {
        auto& i = impl();
        std::lock_guard g(i.m);
        auto it = i.find(key);
        if (it == i.items.end()) return std::nullopt;
        return unbox_value<T>(it->second);
    }
    /// The value under key as a T; the fallback when the key is absent or holds another type.
    template <class T>
    T LookupOr(std::wstring_view key, T fallback) const {
        auto& i = impl();
        std::lock_guard g(i.m);
        auto it = i.find(key);
        if (it == i.items.end()) return fallback;
        return unbox_value_or<T>(it->second, std::move(fallback));
    }

    /// Equal contents (keys, types and values).
    bool equals(const ValueSet& other) const;

  private:
    // A message holds a handful of keys: one sorted vector costs one allocation per
    // set where a tree costs one per key, and is searched by view all the same.
    struct Impl {
        mutable std::mutex m;
        Items items;
        Items::iterator find(std::wstring_view key);
    };
    Impl& impl() const;
    [[noreturn]] static void throwNotFound(std::wstring_view key);
    std::shared_ptr<Impl> impl_;
};

}  // namespace Platform
