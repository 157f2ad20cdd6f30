#include <algorithm>

#include <TarvikFoundation/platform/hstring.h>

namespace Platform {

// Without an early exit, so that the compiler can test many characters at once: the
// text is a key or a short value, and nearly always ASCII.
bool all_ascii(std::string_view in) noexcept {
    unsigned bits = 0;
    for (char c : in) bits |= static_cast<unsigned char>(c);
    return bits < 0x80;
}

namespace {
constexpr char32_t kReplacement = 0xFFFD;

bool all_ascii(std::wstring_view in) noexcept {
    char32_t bits = 0;
    for (wchar_t c : in) bits |= static_cast<char32_t>(c);
    return bits < 0x80;
}
}  // namespace

std::wstring utf8_to_wide(std::string_view in) {
    // Keys and most values are ASCII: one widening copy instead of a decode.
    if (all_ascii(in)) return std::wstring(in.begin(), in.end());
    std::wstring out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        int extra = 0;
        char32_t cp = 0;
        if (b0 < 0x80) {
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            extra = 1;
            cp = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2;
            cp = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3;
            cp = b0 & 0x07;
        } else {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++i;
            continue;
        }
        if (i + static_cast<std::size_t>(extra) >= in.size()) {  // truncated sequence
            out.push_back(static_cast<wchar_t>(kReplacement));
            break;
        }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            const auto b = static_cast<unsigned char>(in[i + k]);
            if ((b & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

std::size_t utf8_size(std::wstring_view in) noexcept {
    if (all_ascii(in)) return in.size();
    std::size_t n = 0;
    for (wchar_t c : in) {
        char32_t cp = static_cast<char32_t>(c);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
        n += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    }
    return n;
}

char* write_utf8(std::wstring_view in, char* out) noexcept {
    for (wchar_t c : in) {
        char32_t cp = static_cast<char32_t>(c);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
        if (cp < 0x80) {
            *out++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out++ = static_cast<char>(0xC0 | (cp >> 6));
            *out++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (cp >> 12));
            *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (cp >> 18));
            *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::string wide_to_utf8(std::wstring_view in) {
    std::string out(utf8_size(in), '\0');
    write_utf8(in, out.data());
    return out;
}

hstring hstring::withRoom(std::size_t size, wchar_t*& text) {
    auto buffer = std::make_shared_for_overwrite<wchar_t[]>(size + 1);
    text = buffer.get();
    text[size] = L'\0';
    hstring out(literal, text, size);
    out.owner_ = std::move(buffer);
    return out;
}

hstring::hstring(std::wstring_view s) {
    if (s.empty()) return;
    wchar_t* text = nullptr;
    *this = withRoom(s.size(), text);
    std::copy(s.begin(), s.end(), text);
}

// A friend declared inside the class takes no visibility from it; hosts call this one.
TARVIK_API hstring operator+(const hstring& a, const hstring& b) {
    wchar_t* text = nullptr;
    hstring out = hstring::withRoom(a.size() + b.size(), text);
    const std::wstring_view va(a), vb(b);
    std::copy(vb.begin(), vb.end(), std::copy(va.begin(), va.end(), text));
    return out;
}

hstring hstring::from_utf8(std::string_view utf8) {
    if (utf8.empty()) return {};
    // ASCII widens straight into the buffer, without a string in between.
    if (all_ascii(utf8)) {
        wchar_t* text = nullptr;
        hstring out = withRoom(utf8.size(), text);
        for (char c : utf8) *text++ = static_cast<wchar_t>(c);
        return out;
    }
    return hstring(std::wstring_view(utf8_to_wide(utf8)));
}

std::string hstring::to_utf8() const {
    return wide_to_utf8(*this);
}

std::size_t hstring::utf16_length() const noexcept {
    std::size_t n = 0;
    for (wchar_t c : std::wstring_view(*this)) n += static_cast<char32_t>(c) > 0xFFFF ? 2 : 1;
    return n;
}

}  // namespace Platform
