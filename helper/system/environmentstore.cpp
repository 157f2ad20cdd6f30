#include "helper/system/environmentstore.h"

#include <cstdlib>

#include <TarvikFoundation/platform/applicationdata.h>

#include "common/logger.h"
#include "helper/jsonfile.h"

namespace TarvikHelper {

EnvironmentStore::EnvironmentStore(const std::string& package, std::string file)
    : file_(std::move(file)) {
    if (file_.empty())
        file_ =
            Platform::ApplicationData::UserDataRoot() + "/helper/environment/" + package + ".json";
}

bool EnvironmentStore::validName(const std::string& name) {
    return !name.empty() && name.find('=') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string EnvironmentStore::get(const std::string& name) const {
    if (!validName(name)) return {};
    {
        std::lock_guard g(mutex_);
        const auto values = readJsonObject(file_);
        const auto it = values.find(name);
        if (it != values.end() && it->is_string()) return it->get<std::string>();
    }
    const char* own = std::getenv(name.c_str());
    return own ? own : "";
}

bool EnvironmentStore::set(const std::string& name, const std::string& value) {
    if (!validName(name)) {
        TLOG("WRN", "refusing environment variable name \"%s\"", name.c_str());
        return false;
    }
    std::lock_guard g(mutex_);
    auto values = readJsonObject(file_);
    if (value.empty())
        values.erase(name);
    else
        values[name] = value;
    return writeJsonAtomically(file_, values);
}

}  // namespace TarvikHelper
