#include "helper/jsonfile.h"

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>

#include "common/logger.h"

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
    boost::system::error_code ec;
    boost::filesystem::create_directories(boost::filesystem::path(path).parent_path(), ec);
    // The pid keeps two helpers of one user from writing the same temporary file.
    const std::string temporary = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << value.dump() << '\n';
        out.flush();
        if (!out) {
            TLOG("CRT", "cannot write %s", temporary.c_str());
            return false;
        }
    }
    boost::filesystem::rename(temporary, path, ec);
    if (ec) {
        TLOG("CRT", "cannot replace %s: %s", path.c_str(), ec.message().c_str());
        boost::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
}

}  // namespace TarvikHelper
