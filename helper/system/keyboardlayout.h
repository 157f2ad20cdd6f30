#pragma once
// The keyboard layout as a number in the form the application expects: the language
// identifier of the user's locale in both 16-bit halves, 0x04090409 for US English.
// The locale is the first of LC_ALL, LC_CTYPE and LANG that is set; "C", "POSIX" and
// unknown languages give US English. Every thread of the session has this layout.
#include <cstdint>
#include <string>

namespace TarvikHelper {

// The language identifier of a locale name such as "de_CH.UTF-8" (0x0807); a known
// language in an unknown territory gets the language's first listed identifier.
uint16_t languageIdOfLocale(const std::string& locale);
uint64_t keyboardLayoutOfSession();

}  // namespace TarvikHelper
