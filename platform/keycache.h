#pragma once
/// @file
/// The keys a connection has decoded before, kept as shared strings.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <TarvikFoundation/platform/hstring.h>

namespace Platform::Wire {

/// A peer sends the same few keys in every message: decoding one it has sent before
/// gives a copy of the string kept here, which costs no allocation. Bounded, so that a
/// peer sending ever new keys grows it no further; not thread-safe (one reader owns it).
class KeyCache {
  public:
    static constexpr std::size_t kMaxKeys = 256;
    static constexpr std::size_t kMaxKeyBytes = 64;

    hstring get(std::string_view utf8);
    std::size_t size() const noexcept { return keys_.size(); }

  private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    struct Slot {
        hstring key;
        std::string_view text;  // the map's own key, which never moves
        // The key that came after this one last time: messages of one kind repeat
        // their keys in one order, so the next key is nearly always that one, which a
        // comparison confirms without hashing.
        Slot* next = nullptr;
    };
    std::unordered_map<std::string, Slot, Hash, std::equal_to<>> keys_;
    Slot* last_ = nullptr;
};

}  // namespace Platform::Wire
