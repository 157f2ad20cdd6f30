#include "helper/jsonfile.h"

#include <fstream>

#include "common/logger.h"
#include "platform/privatefiles.h"

namespace TarvikHelper {

nlohmann::json readJsonObject(const std::string& path) {
    std::ifstream in(path);
    if (!in) return nlohmann::json::object();
    try {
        auto value = nlohmann::json::parse(in);
        if (value.is_object()) return value;
        TLOG("CRT", "%s holds no JSON object; starting empty", path.c_str());
    } catch (const nlohmann::json::exception& e) {
        TLOG("CRT", "%s unreadable (%s); starting empty", path.c_str(), e.what());
    }
    return nlohmann::json::object();
}

bool writeJsonAtomically(const std::string& path, const nlohmann::json& value) {
    std::string error;
    if (Platform::PrivateFiles::replaceDurably(path, value.dump() + '\n', error)) return true;
    TLOG("CRT", "cannot replace %s: %s", path.c_str(), error.c_str());
    return false;
}

}  // namespace TarvikHelper
