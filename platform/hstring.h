#pragma once
#include <compare>
#include <cstddef>
#include <string>
#include <string_view>

namespace Platform {

/// Immutable-by-convention wide string of the platform layer. Values are stored as
/// wchar_t (UTF-32 on Linux); lengths that the library validates are counted in
/// UTF-16 code units, as the original platform counts them.
class hstring {
  public:
    hstring() = default;
    hstring(const wchar_t* s) : value_(s ? s : L"") {}
    hstring(std::wstring s) : value_(std::move(s)) {}
    hstring(std::wstring_view s) : value_(s) {}

    static hstring from_utf8(std::string_view utf8);
    std::string to_utf8() const;

    const std::wstring& wstr() const noexcept { return value_; }
    const wchar_t* c_str() const noexcept { return value_.c_str(); }
    bool empty() const noexcept { return value_.empty(); }
    std::size_t size() const noexcept { return value_.size(); }
    // Number of UTF-16 code units the text occupies (characters above U+FFFF count twice).
    std::size_t utf16_length() const noexcept;

    operator std::wstring_view() const noexcept { return value_; }

    friend bool operator==(const hstring&, const hstring&) = default;
    friend auto operator<=>(const hstring&, const hstring&) = default;
    friend hstring operator+(const hstring& a, const hstring& b) {
        return hstring(a.value_ + b.value_);
    }

  private:
    std::wstring value_;
};

/// UTF-8 <-> wide conversions that do not depend on the process locale. Invalid
/// input bytes become U+FFFD.
std::wstring utf8_to_wide(std::string_view utf8);
std::string wide_to_utf8(std::wstring_view wide);

inline hstring to_hstring(std::string_view utf8) {
    return hstring::from_utf8(utf8);
}
inline std::string to_string(const hstring& s) {
    return s.to_utf8();
}

}  // namespace Platform
