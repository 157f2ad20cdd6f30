#include "platform/framedecoder.h"

#include <string_view>

#include "platform/wirecodec.h"

namespace Platform::Wire {

namespace {

constexpr unsigned kVarint = 0, kLengthDelimited = 2;

// Reads protobuf's wire format over [p, end). Every read says false for what this
// decoder leaves to protobuf: truncated or overlong fields, odd encodings.
class Reader {
  public:
    Reader(const unsigned char* p, const unsigned char* end) : p_(p), end_(end) {}
    bool atEnd() const noexcept { return p_ == end_; }

    bool varint(uint64_t& out) noexcept {
        // Tags, lengths and small numbers take one byte.
        if (p_ != end_ && *p_ < 0x80) {
            out = *p_++;
            return true;
        }
        uint64_t v = 0;
        for (unsigned shift = 0; shift < 64 && p_ != end_; shift += 7) {
            const uint64_t byte = *p_++;
            // The tenth byte holds the top bit only; more would be dropped or refused
            // depending on the parser, so such bytes take protobuf's path.
            if (shift == 63 && byte > 1) return false;
            v |= (byte & 0x7F) << shift;
            if (byte < 0x80) {
                out = v;
                return true;
            }
        }
        return false;
    }

    bool tag(unsigned& field, unsigned& type) noexcept {
        uint64_t t;
        if (!varint(t) || t > 0xFFFFFFFFu || (t >> 3) == 0) return false;
        field = static_cast<unsigned>(t >> 3);
        type = static_cast<unsigned>(t & 7);
        return true;
    }

    // A length-delimited field's bytes, as a reader of their own.
    bool nested(Reader& out) noexcept {
        uint64_t n;
        if (!varint(n) || n > static_cast<uint64_t>(end_ - p_)) return false;
        out = Reader(p_, p_ + n);
        p_ += n;
        return true;
    }

    // The whole of this reader as text, when it is ASCII (protobuf checks other text
    // for valid UTF-8; that is left to it).
    bool ascii(std::string_view& out) noexcept {
        const std::string_view text(reinterpret_cast<const char*>(p_),
                                    static_cast<std::size_t>(end_ - p_));
        if (!all_ascii(text)) return false;
        out = text;
        p_ = end_;
        return true;
    }

  private:
    const unsigned char* p_;
    const unsigned char* end_;
};

// Value: exactly one member of its oneof. None would be an entry without a value, and
// two would leave the last; both are left to protobuf's path.
bool readValue(Reader r, PropertyValue& out) {
    unsigned field, type;
    if (!r.tag(field, type)) return false;
    if (field == 7) {
        std::string_view text;
        if (type != kLengthDelimited) return false;
        Reader s(nullptr, nullptr);
        if (!r.nested(s) || !s.ascii(text)) return false;
        out = hstring::from_utf8(text);
    } else {
        uint64_t v;
        if (field > 6 || type != kVarint || !r.varint(v)) return false;
        switch (field) {
            case 1:
                break;  // null, whatever the flag says
            case 2:
                out = static_cast<int32_t>(static_cast<uint32_t>(v));
                break;
            case 3:
                out = static_cast<uint32_t>(v);
                break;
            case 4:
                out = static_cast<int64_t>(v);
                break;
            case 5:
                out = v;
                break;
            default:
                out = v != 0;
                break;
        }
    }
    return r.atEnd();
}

bool readEntry(Reader r, ValueSet::Items& items, KeyCache* keys) {
    bool haveKey = false, haveValue = false;
    std::string_view key;
    PropertyValue value;
    while (!r.atEnd()) {
        unsigned field, type;
        Reader part(nullptr, nullptr);
        if (!r.tag(field, type) || type != kLengthDelimited || !r.nested(part)) return false;
        if (field == 1 && !haveKey) {
            if (!part.ascii(key)) return false;
            haveKey = true;
        } else if (field == 2 && !haveValue) {
            if (!readValue(part, value)) return false;
            haveValue = true;
        } else {
            return false;
        }
    }
    if (!haveValue) return false;
    items.emplace_back(keys ? keys->get(key) : hstring::from_utf8(key), std::move(value));
    return true;
}

bool readEntries(Reader r, KeyCache* keys, ValueSet::Items& items) {
    while (!r.atEnd()) {
        unsigned field, type;
        Reader entry(nullptr, nullptr);
        if (!r.tag(field, type) || field != 1 || type != kLengthDelimited || !r.nested(entry))
            return false;
        if (items.empty()) items.reserve(8);
        if (!readEntry(entry, items, keys)) return false;
    }
    return true;
}

bool readRequest(Reader r, KeyCache* keys, DecodedFrame& out) {
    bool haveSequence = false, haveMessage = false;
    ValueSet::Items items;
    while (!r.atEnd()) {
        unsigned field, type;
        if (!r.tag(field, type)) return false;
        if (field == 1 && type == kVarint && !haveSequence) {
            if (!r.varint(out.sequence)) return false;
            haveSequence = true;
        } else if (field == 2 && type == kLengthDelimited && !haveMessage) {
            Reader message(nullptr, nullptr);
            if (!r.nested(message) || !readEntries(message, keys, items)) return false;
            haveMessage = true;
        } else {
            return false;
        }
    }
    // Made only once the whole frame has been read: a repeated key is refused only in
    // a frame that protobuf would parse.
    out.message = ValueSet::FromItems(std::move(items));
    return true;
}

bool readResponse(Reader r, KeyCache* keys, DecodedFrame& out) {
    bool seen[5] = {};
    bool present = false;
    ValueSet::Items items;
    while (!r.atEnd()) {
        unsigned field, type;
        if (!r.tag(field, type) || field > 4 || seen[field]) return false;
        seen[field] = true;
        uint64_t v = 0;
        if (field == 4) {
            Reader body(nullptr, nullptr);
            if (type != kLengthDelimited || !r.nested(body) || !readEntries(body, keys, items))
                return false;
            continue;
        }
        if (type != kVarint || !r.varint(v)) return false;
        if (field == 1)
            out.sequence = v;
        else if (field == 2)
            out.status = static_cast<int32_t>(static_cast<uint32_t>(v));
        else
            present = v != 0;
    }
    // A message that is not said to be present is read all the same, but not made:
    // its repeated keys are no fault, as protobuf's path never looks at them.
    if (present) out.message = ValueSet::FromItems(std::move(items));
    return true;
}

}  // namespace

std::optional<DecodedFrame> decodeCommonFrame(const char* data, std::size_t size, KeyCache* keys) {
    const auto* begin = reinterpret_cast<const unsigned char*>(data);
    Reader r(begin, begin + size);
    unsigned field, type;
    Reader body(nullptr, nullptr);
    if (!r.tag(field, type) || type != kLengthDelimited || !r.nested(body) || !r.atEnd())
        return std::nullopt;
    DecodedFrame out;
    if (field == 3) {
        out.kind = DecodedFrame::Kind::Request;
        if (!readRequest(body, keys, out)) return std::nullopt;
    } else if (field == 4) {
        out.kind = DecodedFrame::Kind::Response;
        if (!readResponse(body, keys, out)) return std::nullopt;
    } else {
        return std::nullopt;
    }
    return out;
}

std::optional<DecodedFrame> fromParsedFrame(const tarvik::wire::Frame& frame, KeyCache* keys) {
    DecodedFrame out;
    switch (frame.body_case()) {
        case tarvik::wire::Frame::kRequest:
            out.kind = DecodedFrame::Kind::Request;
            out.sequence = frame.request().sequence();
            out.message = fromProto(frame.request().message(), keys);
            return out;
        case tarvik::wire::Frame::kResponse: {
            const auto& r = frame.response();
            out.kind = DecodedFrame::Kind::Response;
            out.sequence = r.sequence();
            out.status = r.status();
            if (r.message_present()) out.message = fromProto(r.message(), keys);
            return out;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace Platform::Wire
