#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include <TarvikFoundation/platform/applicationdata.h>

#include "platform/package.h"
#include "platform/privatefiles.h"
#include "platform/socketpaths.h"

namespace Platform {

namespace {

std::mutex g_settingsMutex;

std::string dataHome() {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return x;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share";
}

nlohmann::json toJson(const PropertyValue& v) {
    return std::visit(
        [](const auto& x) -> nlohmann::json {
            using X = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<X, std::monostate>)
                return {{"type", "Empty"}};
            else if constexpr (std::is_same_v<X, hstring>)
                return {{"type", "String"}, {"value", x.to_utf8()}};
            else
                return {{"type", property_type_name(PropertyValue(x).Type())}, {"value", x}};
        },
        v.raw());
}

PropertyValue fromJson(const nlohmann::json& j) {
    const std::string type = j.at("type").get<std::string>();
    if (type == "Int32") return j.at("value").get<int32_t>();
    if (type == "UInt32") return j.at("value").get<uint32_t>();
    if (type == "Int64") return j.at("value").get<int64_t>();
    if (type == "UInt64") return j.at("value").get<uint64_t>();
    if (type == "Boolean") return j.at("value").get<bool>();
    if (type == "String") return hstring::from_utf8(j.at("value").get<std::string>());
    return PropertyValue();
}

}  // namespace

ValueSet LocalSettings::load() const {
    ValueSet values;
    std::ifstream in(file_);
    if (!in) return values;
    try {
        const auto j = nlohmann::json::parse(in);
        for (const auto& [key, value] : j.items())
            values.Insert(hstring::from_utf8(key), fromJson(value));
    } catch (const std::exception&) {
        // An unreadable settings file counts as empty; the next change rewrites it.
    }
    return values;
}

void LocalSettings::save(const ValueSet& values) const {
    nlohmann::json j = nlohmann::json::object();
    for (const auto& [key, value] : values.GetItems()) j[key.to_utf8()] = toJson(value);
    std::string error;
    if (!PrivateFiles::replaceDurably(file_, j.dump(2), error))
        throw hresult_error(E_FAIL_, hstring::from_utf8("cannot replace settings: " + error));
}

void LocalSettings::Insert(const hstring& key, const PropertyValue& value) const {
    std::lock_guard g(g_settingsMutex);
    ValueSet values = load();
    values.Insert(key, value);
    save(values);
}

bool LocalSettings::Remove(const hstring& key) const {
    std::lock_guard g(g_settingsMutex);
    ValueSet values = load();
    const bool removed = values.Remove(key);
    if (removed) save(values);
    return removed;
}

std::optional<PropertyValue> LocalSettings::Lookup(const hstring& key) const {
    std::lock_guard g(g_settingsMutex);
    return load().TryLookup(key);
}

ValueSet LocalSettings::Values() const {
    std::lock_guard g(g_settingsMutex);
    return load();
}

ApplicationData::ApplicationData(const std::string& root)
    : local_(root + "/LocalState"),
      temporary_(root + "/TempState"),
      localCache_(root + "/LocalCache"),
      settings_(root + "/Settings/settings.json") {
    // A folder that cannot be made shows where it is used (logs, settings, lock file).
    std::string ignored;
    for (const auto* folder : {&local_, &temporary_, &localCache_})
        PrivateFiles::createFolders(*folder, ignored);
}

std::string ApplicationData::UserDataRoot() {
    return dataHome() + "/tarvik";
}

std::shared_ptr<ApplicationData> ApplicationData::ForPackage(const hstring& familyName) {
    SocketPaths::validateName(familyName, L"package family name");
    return std::make_shared<ApplicationData>(UserDataRoot() + "/" + familyName.to_utf8());
}

std::shared_ptr<ApplicationData> ApplicationData::Current() {
    return ForPackage(Package::Current()->FamilyName());
}

}  // namespace Platform
