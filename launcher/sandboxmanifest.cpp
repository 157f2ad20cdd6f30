#include "launcher/sandboxmanifest.h"

#include <boost/filesystem.hpp>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include <TarvikFoundation/platform/hresult.h>

#include "platform/launchers.h"
#include "platform/package.h"

namespace TarvikRun {

namespace {
std::string resolve(const boost::filesystem::path& base, const std::string& path) {
    boost::filesystem::path p(path);
    if (p.is_relative()) p = base / p;
    return boost::filesystem::absolute(p).lexically_normal().string();
}
}  // namespace

SandboxManifest readSandboxManifest(const std::string& path) {
    SandboxManifest m;
    try {
        // The package's own keys are checked as every process of it checks them.
        const auto package = Platform::Package::Load(path);
        m.familyName = package->FamilyName().to_utf8();
    } catch (const Platform::hresult_error& e) {
        throw std::runtime_error(e.message().to_utf8());
    }
    m.manifestPath = boost::filesystem::canonical(path).string();
    m.installFolder = boost::filesystem::path(m.manifestPath).parent_path().string();
    std::ifstream in(m.manifestPath);
    try {
        const auto j = nlohmann::json::parse(in);
        if (!j.contains("sandbox"))
            throw std::runtime_error(path + ": the manifest has no \"sandbox\" section");
        const auto& s = j.at("sandbox");
        if (!s.is_object() || !s.contains("hostProgram") || !s.at("hostProgram").is_string() ||
            s.at("hostProgram").get<std::string>().empty())
            throw std::runtime_error(path + ": the \"sandbox\" section names no \"hostProgram\"");
        m.hostProgram = resolve(m.installFolder, s.at("hostProgram").get<std::string>());
        // Checked here, before a sandbox is built around it: a program that cannot run
        // would fail inside it with the sandbox's own words.
        if (const std::string problem = Platform::whyNotRunnable(m.hostProgram); !problem.empty())
            throw std::runtime_error(path + ": the sandbox's host program " + m.hostProgram +
                                     " cannot be run: " + problem);
        m.hostArguments = s.value("arguments", std::vector<std::string>{});
        m.network = s.value("network", false);
        for (const auto& p : s.value("readOnly", std::vector<std::string>{}))
            m.readOnly.push_back(resolve(m.installFolder, p));
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
    return m;
}

}  // namespace TarvikRun
