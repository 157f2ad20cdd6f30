#include "platform/keycache.h"

namespace Platform::Wire {

hstring KeyCache::get(std::string_view utf8) {
    Slot* hit = last_ ? last_->next : nullptr;
    if (!hit || hit->text != utf8) {
        if (const auto it = keys_.find(utf8); it != keys_.end()) {
            hit = &it->second;
        } else if (keys_.size() < kMaxKeys && utf8.size() <= kMaxKeyBytes) {
            auto& [text, slot] =
                *keys_.emplace(utf8, Slot{hstring::from_utf8(utf8), {}, nullptr}).first;
            slot.text = text;
            hit = &slot;
        } else {
            last_ = nullptr;
            return hstring::from_utf8(utf8);
        }
        if (last_) last_->next = hit;
    }
    last_ = hit;
    return hit->key;
}

}  // namespace Platform::Wire
