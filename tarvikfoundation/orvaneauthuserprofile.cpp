#include <nlohmann/json.hpp>

#include <TarvikFoundation/orvaneauthuserprofile.h>

#include "common/logger.h"

namespace TarvikFoundation {

using Platform::hstring;

OrvaneAuthUserProfile::OrvaneAuthUserProfile(const hstring& profileJson) {
    if (profileJson.empty()) {
        TLOG("CRT", "NULL userProfile");
        return;
    }
    raw_ = profileJson;
    try {
        const auto json = nlohmann::json::parse(profileJson.to_utf8());
        auto text = [&](const char* key) {
            return hstring::from_utf8(json.at(key).get<std::string>());
        };
        userId_ = text("userId");
        displayName_ = text("displayName");
        firstName_ = text("first_name");
        lastName_ = text("last_name");
        email_ = text("email");
        const std::string verified = json.at("emailVerified").get<std::string>();
        emailVerified_ = !verified.empty() && verified == "true";
        const std::string accountType = json.at("account_type").get<std::string>();
        nonType1_ = !accountType.empty() && accountType != "type1";
        if (json.contains("serviceAccounts")) {
            serviceAccounts_ = Platform::JsonArray::FromJson(json["serviceAccounts"]);
            hasServiceAccounts_ = true;
        } else {
            TLOG("CRT", "serviceAccounts !found");
        }
    } catch (...) {
        TLOG("CRT", "Exception while trying to parse userProfile");
    }
}

}  // namespace TarvikFoundation
