#include "platform/package.h"

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>

#include <TarvikFoundation/platform/hresult.h>
#include <TarvikFoundation/platform/immortal.h>

#include "platform/socketpaths.h"

namespace Platform {

namespace {

std::string resolve(const boost::filesystem::path& base, const std::string& program) {
    if (program.empty()) return {};
    boost::filesystem::path p(program);
    if (p.is_relative()) p = base / p;
    return boost::filesystem::absolute(p).lexically_normal().string();
}

hstring bad(const std::string& path, const std::string& why) {
    return hstring::from_utf8("package manifest " + path + ": " + why);
}

PackageVersion parseVersion(const std::string& text, const std::string& path) {
    PackageVersion v;
    unsigned parts[4] = {};
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3],
                    &tail) != 4)
        throw hresult_invalid_argument(bad(path, "version must have four numbers: " + text));
    for (unsigned p : parts)
        if (p > 65535)
            throw hresult_invalid_argument(bad(path, "version number above 65535: " + text));
    v.Major = static_cast<uint16_t>(parts[0]);
    v.Minor = static_cast<uint16_t>(parts[1]);
    v.Build = static_cast<uint16_t>(parts[2]);
    v.Revision = static_cast<uint16_t>(parts[3]);
    return v;
}

std::optional<std::string> programIn(const std::map<std::string, std::string>& programs,
                                     const std::string& key) {
    const auto it = programs.find(key);
    if (it == programs.end()) return std::nullopt;
    return it->second;
}

// What is wrong with the manifest, in the reader's words rather than the parser's
// ("[json.exception.out_of_range.403] key 'familyName' not found").
std::string jsonProblem(const nlohmann::json::exception& e, const std::string& key) {
    std::string text = e.what();
    const auto end = text.find("] ");
    if (text.starts_with("[json.exception.") && end != std::string::npos) text.erase(0, end + 2);
    if (key.empty()) return "not valid JSON: " + text;
    // The key itself missing, not one inside its value.
    if (e.id == 403 && text == "key '" + key + "' not found") return "\"" + key + "\" is missing";
    return "\"" + key + "\": " + text;
}

}  // namespace

std::shared_ptr<const Package> Package::Load(const std::string& manifestPath) {
    std::ifstream in(manifestPath);
    if (!in) throw hresult_invalid_argument(bad(manifestPath, "cannot be read"));
    nlohmann::json j;
    // The key being read, so that a value of the wrong type is reported by its name.
    std::string key;
    try {
        j = nlohmann::json::parse(in);
        auto package = std::make_shared<Package>();
        const auto base = boost::filesystem::absolute(manifestPath).parent_path();
        package->manifestPath_ = boost::filesystem::absolute(manifestPath).string();
        key = "familyName";
        package->familyName_ = hstring::from_utf8(j.at(key).get<std::string>());
        SocketPaths::validateName(package->familyName_, L"package family name");
        key = "version";
        package->version_ = parseVersion(j.at(key).get<std::string>(), manifestPath);
        key = "fullTrustProgram";
        package->fullTrustProgram_ = resolve(base, j.value(key, std::string()));
        key = "uriSchemes";
        const nlohmann::json schemes = j.value(key, nlohmann::json::object());
        for (const auto& [scheme, program] : schemes.items())
            package->schemes_[scheme] = resolve(base, program.get<std::string>());
        key = "clientPrograms";
        const nlohmann::json clients = j.value(key, nlohmann::json::object());
        for (const auto& [name, program] : clients.items())
            package->clients_[name] = resolve(base, program.get<std::string>());
        key = "cartClient";
        package->cartClient_ = resolve(base, j.value(key, std::string()));
        key = "appServices";
        const nlohmann::json services = j.value(key, nlohmann::json::array());
        if (!services.is_array())
            throw hresult_invalid_argument(bad(manifestPath, "\"appServices\" must be an array"));
        for (const auto& s : services) {
            AppServiceDeclaration d{hstring::from_utf8(s.at("name").get<std::string>()),
                                    resolve(base, s.value("host", std::string()))};
            SocketPaths::validateName(d.name, L"app service name");
            package->services_.push_back(std::move(d));
        }
        return package;
    } catch (const nlohmann::json::exception& e) {
        throw hresult_invalid_argument(bad(manifestPath, jsonProblem(e, key)));
    }
}

std::shared_ptr<const Package> Package::Current() {
    static std::mutex m;
    static Immortal<std::shared_ptr<const Package>> current;
    static Immortal<std::string> loadedFrom;
    const char* path = std::getenv("TARVIK_PACKAGE_MANIFEST");
    if (!path || !*path)
        throw hresult_error(E_FAIL_, L"TARVIK_PACKAGE_MANIFEST names no package manifest");
    std::lock_guard g(m);
    if (!*current || *loadedFrom != path) {
        *current = Load(path);
        *loadedFrom = path;
    }
    return *current;
}

std::optional<std::string> Package::ProgramForScheme(const std::string& scheme) const {
    return programIn(schemes_, scheme);
}

std::optional<std::string> Package::ClientProgram(const std::string& name) const {
    return programIn(clients_, name);
}

std::optional<AppServiceDeclaration> Package::FindAppService(const hstring& name) const {
    for (const auto& s : services_)
        if (s.name == name) return s;
    return std::nullopt;
}

}  // namespace Platform
