#pragma once
#include <locale.h>

namespace Platform {

/// Makes the calling thread's character conversions (printf's %ls, wprintf's %s) use
/// UTF-8 for the scope's lifetime, without touching the process locale of the host.
class Utf8LocaleScope {
  public:
    Utf8LocaleScope() noexcept {
        static const locale_t utf8 =
            ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        if (utf8) previous_ = ::uselocale(utf8);
    }
    ~Utf8LocaleScope() {
        if (previous_) ::uselocale(previous_);
    }
    Utf8LocaleScope(const Utf8LocaleScope&) = delete;
    Utf8LocaleScope& operator=(const Utf8LocaleScope&) = delete;

  private:
    locale_t previous_ = static_cast<locale_t>(0);
};

}  // namespace Platform
