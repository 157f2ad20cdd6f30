#include "helper/system/keyboardlayout.h"

#include <cstdlib>
#include <string_view>

namespace TarvikHelper {

namespace {

struct Language {
    std::string_view locale;  // language_TERRITORY
    uint16_t id;
};

// For each language its primary territory comes first.
constexpr Language kLanguages[] = {
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_IE", 0x1809},
    {"en_NZ", 0x1409}, {"de_DE", 0x0407}, {"de_CH", 0x0807}, {"de_AT", 0x0C07}, {"fr_FR", 0x040C},
    {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C}, {"es_ES", 0x0C0A}, {"es_MX", 0x080A},
    {"it_IT", 0x0410}, {"it_CH", 0x0810}, {"nl_NL", 0x0413}, {"nl_BE", 0x0813}, {"pt_BR", 0x0416},
    {"pt_PT", 0x0816}, {"sv_SE", 0x041D}, {"da_DK", 0x0406}, {"nb_NO", 0x0414}, {"fi_FI", 0x040B},
    {"pl_PL", 0x0415}, {"cs_CZ", 0x0405}, {"hu_HU", 0x040E}, {"tr_TR", 0x041F}, {"el_GR", 0x0408},
    {"ru_RU", 0x0419}, {"uk_UA", 0x0422}, {"he_IL", 0x040D}, {"ar_SA", 0x0401}, {"ja_JP", 0x0411},
    {"ko_KR", 0x0412}, {"zh_CN", 0x0804}, {"zh_TW", 0x0404},
};

constexpr uint16_t kUsEnglish = 0x0409;

}  // namespace

uint16_t languageIdOfLocale(const std::string& locale) {
    // "de_CH.UTF-8@euro" -> "de_CH"
    const std::string name = locale.substr(0, locale.find_first_of(".@"));
    for (const auto& l : kLanguages)
        if (l.locale == name) return l.id;
    const std::string language = name.substr(0, name.find('_'));
    for (const auto& l : kLanguages)
        if (l.locale.substr(0, l.locale.find('_')) == language) return l.id;
    return kUsEnglish;
}

uint64_t keyboardLayoutOfSession() {
    std::string locale;
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            locale = value;
            break;
        }
    }
    const uint64_t id = languageIdOfLocale(locale);
    return (id << 16) | id;
}

}  // namespace TarvikHelper
