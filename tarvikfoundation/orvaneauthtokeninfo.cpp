#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include <TarvikFoundation/orvaneauthtokeninfo.h>

#include "common/logger.h"

namespace TarvikFoundation {

using Platform::hstring;

OrvaneAuthTokenInfo::OrvaneAuthTokenInfo(const hstring& tokenJson) : raw_(tokenJson) {
    try {
        const auto json = nlohmann::json::parse(tokenJson.to_utf8());
        refreshToken_ = hstring::from_utf8(json.at("refresh_token").get<std::string>());
        accessToken_ = hstring::from_utf8(json.at("access_token").get<std::string>());
        const auto& expires = json.at("expires_in");
        if (expires.is_number_integer())
            expiresIn_ = expires.get<int64_t>();
        else {
            const double seconds = std::trunc(expires.get<double>());
            if (!std::isfinite(seconds) || std::fabs(seconds) >= 9.2e18)
                throw std::out_of_range("expires_in");
            expiresIn_ = static_cast<int64_t>(seconds);
        }
    } catch (...) {
        TLOG("CRT", "Exception while trying to parse userProfile for token details");
    }
}

}  // namespace TarvikFoundation
