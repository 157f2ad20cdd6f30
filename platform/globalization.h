#pragma once
#include <vector>

#include <TarvikFoundation/platform/hstring.h>

namespace Platform {

/// The user's preferred languages, as BCP-47 tags, from the locale environment.
class GlobalizationPreferences {
  public:
    // LANGUAGE (a colon-separated list) first, then LC_ALL, LC_MESSAGES and LANG;
    // "de_AT.UTF-8@euro" becomes "de-AT". "C" and "POSIX" name no language.
    static std::vector<hstring> Languages();
};

}  // namespace Platform
