#include "platform/frameencoder.h"

#include <array>
#include <variant>
#include <vector>

#include "platform/wirecodec.h"

namespace Platform::Wire {

namespace {

// Protobuf's wire format: a tag is (field << 3) | type; lengths and integers are
// base-128 varints, negative int32 values sign-extended to ten bytes.
constexpr uint8_t kVarint = 0, kLengthDelimited = 2;
constexpr char tag(unsigned field, uint8_t type) {
    return static_cast<char>((field << 3) | type);
}

std::size_t varintSize(uint64_t v) noexcept {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

char* putVarint(char* p, uint64_t v) noexcept {
    while (v >= 0x80) {
        *p++ = static_cast<char>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<char>(v);
    return p;
}

uint64_t signExtended(int32_t v) noexcept {
    return static_cast<uint64_t>(static_cast<int64_t>(v));
}

// Sizes of one entry, worked out in the first pass and used by the second.
struct EntrySize {
    std::size_t key;    // UTF-8 bytes of the key
    std::size_t text;   // UTF-8 bytes of a string value
    std::size_t value;  // the Value message
    std::size_t entry;  // the Entry message
};

std::size_t valueSize(const PropertyValue::storage& v, std::size_t text) noexcept {
    return std::visit(
        [&](const auto& x) -> std::size_t {
            using X = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<X, std::monostate> || std::is_same_v<X, bool>)
                return 2;
            else if constexpr (std::is_same_v<X, int32_t>)
                return 1 + varintSize(signExtended(x));
            else if constexpr (std::is_same_v<X, hstring>)
                return 1 + varintSize(text) + text;
            else
                return 1 + varintSize(static_cast<uint64_t>(x));
        },
        v);
}

char* putValue(char* p, const PropertyValue::storage& v, std::size_t text) noexcept {
    return std::visit(
        [&](const auto& x) -> char* {
            using X = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<X, std::monostate>) {
                *p++ = tag(1, kVarint);
                *p++ = 1;
            } else if constexpr (std::is_same_v<X, int32_t>) {
                *p++ = tag(2, kVarint);
                p = putVarint(p, signExtended(x));
            } else if constexpr (std::is_same_v<X, uint32_t>) {
                *p++ = tag(3, kVarint);
                p = putVarint(p, x);
            } else if constexpr (std::is_same_v<X, int64_t>) {
                *p++ = tag(4, kVarint);
                p = putVarint(p, static_cast<uint64_t>(x));
            } else if constexpr (std::is_same_v<X, uint64_t>) {
                *p++ = tag(5, kVarint);
                p = putVarint(p, x);
            } else if constexpr (std::is_same_v<X, bool>) {
                *p++ = tag(6, kVarint);
                *p++ = x ? 1 : 0;
            } else {
                *p++ = tag(7, kLengthDelimited);
                p = putVarint(p, text);
                p = write_utf8(x, p);
            }
            return p;
        },
        v);
}

// The frame's fields before its ValueSet, which comes last in both kinds of frame:
// Frame.request (3) = Request{sequence (1), message (2)} and Frame.response (4) =
// Response{sequence (1), status (2), message_present (3), message (4)}. Fields at their
// default value are left out, as protobuf does. `set` is the ValueSet's size, null
// when there is no message.
struct Head {
    unsigned frameField;
    uint64_t sequence;
    bool isResponse;
    int32_t status;

    std::size_t body(const std::size_t* set) const noexcept {
        std::size_t n = sequence ? 1 + varintSize(sequence) : 0;
        if (isResponse && status) n += 1 + varintSize(signExtended(status));
        if (set) n += (isResponse ? 2 : 0) + 1 + varintSize(*set) + *set;
        return n;
    }
    std::size_t frame(const std::size_t* set) const noexcept {
        const std::size_t b = body(set);
        return 1 + varintSize(b) + b;
    }
    char* put(char* p, const std::size_t* set) const noexcept {
        *p++ = tag(frameField, kLengthDelimited);
        p = putVarint(p, body(set));
        if (sequence) {
            *p++ = tag(1, kVarint);
            p = putVarint(p, sequence);
        }
        if (isResponse && status) {
            *p++ = tag(2, kVarint);
            p = putVarint(p, signExtended(status));
        }
        if (set) {
            if (isResponse) {
                *p++ = tag(3, kVarint);
                *p++ = 1;
            }
            *p++ = tag(isResponse ? 4 : 2, kLengthDelimited);
            p = putVarint(p, *set);
        }
        return p;
    }
};

// One pass works out the sizes, the second writes; both under the set's lock, so
// they see the same entries.
std::optional<std::string> encode(const Head& head, const ValueSet& message,
                                  std::size_t& frameSize) {
    std::optional<std::string> out;
    const auto write = [&](const ValueSet::Items* items) {
        // Messages of up to 32 entries (nearly all) keep their sizes on the stack.
        std::array<EntrySize, 32> inline_;
        std::vector<EntrySize> heap;
        EntrySize* sizes = inline_.data();
        std::size_t set = 0;
        if (items) {
            if (items->size() > inline_.size()) {
                heap.resize(items->size());
                sizes = heap.data();
            }
            std::size_t at = 0;
            for (const auto& [key, value] : *items) {
                EntrySize s{};
                s.key = utf8_size(key);
                if (const auto* text = std::get_if<hstring>(&value.raw()))
                    s.text = utf8_size(*text);
                s.value = valueSize(value.raw(), s.text);
                // An empty key is a default string, which protobuf leaves out.
                s.entry =
                    (s.key ? 1 + varintSize(s.key) + s.key : 0) + 1 + varintSize(s.value) + s.value;
                set += 1 + varintSize(s.entry) + s.entry;
                sizes[at++] = s;
            }
        }
        const std::size_t* setSize = items ? &set : nullptr;
        frameSize = head.frame(setSize);
        if (frameSize > kMaxFrameSize) return;
        out.emplace(kLengthPrefixSize + frameSize, '\0');
        char* p = out->data();
        encodeLength(frameSize, p);
        p += kLengthPrefixSize;
        p = head.put(p, setSize);
        if (!items) return;
        std::size_t n = 0;
        for (const auto& [key, value] : *items) {
            const EntrySize& s = sizes[n++];
            *p++ = tag(1, kLengthDelimited);
            p = putVarint(p, s.entry);
            if (s.key) {
                *p++ = tag(1, kLengthDelimited);
                p = putVarint(p, s.key);
                p = write_utf8(key, p);
            }
            *p++ = tag(2, kLengthDelimited);
            p = putVarint(p, s.value);
            p = putValue(p, value.raw(), s.text);
        }
    };
    if (message)
        message.ReadItems([&](const ValueSet::Items& items) { write(&items); });
    else
        write(nullptr);
    return out;
}

}  // namespace

std::optional<std::string> encodeRequest(uint64_t sequence, const ValueSet& message,
                                         std::size_t& frameSize) {
    return encode(Head{3, sequence, false, 0}, message, frameSize);
}

std::optional<std::string> encodeResponse(uint64_t sequence, int32_t status,
                                          const ValueSet& message, std::size_t& frameSize) {
    return encode(Head{4, sequence, true, status}, message, frameSize);
}

}  // namespace Platform::Wire
