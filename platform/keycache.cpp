#include "platform/keycache.h"

namespace Platform::Wire {

hstring KeyCache::get(std::string_view utf8) {
    if (const auto it = keys_.find(utf8); it != keys_.end()) return it->second;
    hstring key = hstring::from_utf8(utf8);
    if (keys_.size() < kMaxKeys && utf8.size() <= kMaxKeyBytes) keys_.emplace(utf8, key);
    return key;
}

}  // namespace Platform::Wire
