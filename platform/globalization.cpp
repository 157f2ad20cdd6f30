#include "platform/globalization.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>

namespace Platform {

namespace {

std::string toTag(std::string locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") return {};
    std::replace(locale.begin(), locale.end(), '_', '-');
    return locale;
}

void addUnique(std::vector<hstring>& out, const std::string& tag) {
    if (tag.empty()) return;
    const hstring h = hstring::from_utf8(tag);
    if (std::find(out.begin(), out.end(), h) == out.end()) out.push_back(h);
}

}  // namespace

std::vector<hstring> GlobalizationPreferences::Languages() {
    std::vector<hstring> languages;
    // LANGUAGE only counts when a locale is set at all, as with gettext.
    const char* lcAll = std::getenv("LC_ALL");
    const char* lcMessages = std::getenv("LC_MESSAGES");
    const char* lang = std::getenv("LANG");
    const char* primary = lcAll && *lcAll ? lcAll : lcMessages && *lcMessages ? lcMessages : lang;
    const std::string primaryTag = primary ? toTag(primary) : std::string();
    if (const char* list = std::getenv("LANGUAGE"); list && *list && !primaryTag.empty()) {
        std::istringstream in(list);
        for (std::string item; std::getline(in, item, ':');) addUnique(languages, toTag(item));
    }
    addUnique(languages, primaryTag);
    return languages;
}

}  // namespace Platform
