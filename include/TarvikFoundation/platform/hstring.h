#pragma once
#include <compare>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <TarvikFoundation/export.h>

/// The platform layer: strings, boxed values, messages, errors, tasks, asynchronous
/// operations, events, timers, the clock and app-service connections.
namespace Platform {

/// Immutable wide string of the platform layer. Values are stored as wchar_t (UTF-32
/// on Linux); lengths that the library validates are counted in UTF-16 code units, as
/// the wire contract counts them. Copies share one buffer, and a literal (see
/// `literal` and `_hs`) is referred to without any buffer: a message's keys are copied
/// into every set that holds them, and copying them must not allocate.
class TARVIK_API hstring {
  public:
    constexpr hstring() noexcept = default;
    /// A copy of a null-terminated text (null gives the empty string).
    hstring(const wchar_t* s) : hstring(std::wstring_view(s ? s : L"")) {}
    /// A copy of the text.
    hstring(const std::wstring& s) : hstring(std::wstring_view(s)) {}
    /// A copy of the text.
    hstring(std::wstring_view s);

    /// Shares the other's buffer.
    hstring(const hstring&) = default;
    /// Shares the other's buffer.
    hstring& operator=(const hstring&) = default;
    /// A moved-from string is empty: its text may belong to the buffer it gave away.
    hstring(hstring&& other) noexcept
        : data_(std::exchange(other.data_, L"")),
          size_(std::exchange(other.size_, 0)),
          owner_(std::move(other.owner_)) {}
    /// Takes the other's text; the other becomes empty.
    hstring& operator=(hstring&& other) noexcept {
        if (this != &other) {
            data_ = std::exchange(other.data_, L"");
            size_ = std::exchange(other.size_, 0);
            owner_ = std::move(other.owner_);
        }
        return *this;
    }
    ~hstring() = default;

    /// Marks text that outlives every copy (a string literal): it is referred to, never
    /// copied. Constant-initialised, so usable in constants of any translation unit.
    struct literal_t {
        explicit literal_t() = default;
    };
    /// The tag that selects the literal constructors.
    static constexpr literal_t literal{};
    /// Refers to a string literal without copying it.
    template <std::size_t N>
    constexpr hstring(literal_t, const wchar_t (&text)[N]) noexcept : data_(text), size_(N - 1) {}
    /// `text` must be null-terminated at `size`.
    constexpr hstring(literal_t, const wchar_t* text, std::size_t size) noexcept
        : data_(text), size_(size) {}

    /// Decodes UTF-8 (invalid sequences become U+FFFD).
    static hstring from_utf8(std::string_view utf8);
    /// The text as UTF-8.
    std::string to_utf8() const;

    /// A copy as std::wstring.
    std::wstring wstr() const { return std::wstring(data_, size_); }
    /// The null-terminated text, valid while this string lives.
    const wchar_t* c_str() const noexcept { return data_; }
    /// Whether the text is empty.
    bool empty() const noexcept { return size_ == 0; }
    /// Number of wchar_t characters.
    std::size_t size() const noexcept { return size_; }
    /// Number of UTF-16 code units the text occupies (characters above U+FFFF count twice).
    std::size_t utf16_length() const noexcept;

    /// A view of the text.
    constexpr operator std::wstring_view() const noexcept { return {data_, size_}; }

    /// Equal texts.
    friend bool operator==(const hstring& a, const hstring& b) noexcept {
        return std::wstring_view(a) == std::wstring_view(b);
    }
    /// Ordinal order of the texts.
    friend std::strong_ordering operator<=>(const hstring& a, const hstring& b) noexcept {
        return std::wstring_view(a) <=> std::wstring_view(b);
    }
    /// The two texts joined.
    friend hstring operator+(const hstring& a, const hstring& b);

  private:
    // Room for size characters and the terminator; the caller fills them.
    static hstring withRoom(std::size_t size, wchar_t*& text);

    const wchar_t* data_ = L"";
    std::size_t size_ = 0;
    // Null for literals and the empty string.
    std::shared_ptr<const wchar_t[]> owner_;
};

inline namespace literals {
/// L"key"_hs: an hstring that refers to the literal instead of copying it.
inline hstring operator""_hs(const wchar_t* text, std::size_t size) noexcept {
    return hstring(hstring::literal, text, size);
}
}  // namespace literals

/// UTF-8 <-> wide conversions that do not depend on the process locale. Invalid
/// input bytes become U+FFFD.
TARVIK_API std::wstring utf8_to_wide(std::string_view utf8);
/// Encodes wide text as UTF-8.
TARVIK_API std::string wide_to_utf8(std::wstring_view wide);
/// The number of bytes wide_to_utf8 makes of `wide`.
TARVIK_API std::size_t utf8_size(std::wstring_view wide) noexcept;
/// Writes wide_to_utf8(wide) to `out`, which has room for utf8_size(wide) bytes;
/// returns the end of what was written.
TARVIK_API char* write_utf8(std::wstring_view wide, char* out) noexcept;
/// True when every byte is below 0x80.
TARVIK_API bool all_ascii(std::string_view text) noexcept;

/// hstring::from_utf8.
inline hstring to_hstring(std::string_view utf8) {
    return hstring::from_utf8(utf8);
}
/// hstring::to_utf8.
inline std::string to_string(const hstring& s) {
    return s.to_utf8();
}

}  // namespace Platform
