#include "helper/files/filetokens.h"

#include <cstdio>
#include <random>

#include <TarvikFoundation/platform/applicationdata.h>

#include "common/logger.h"
#include "helper/jsonfile.h"

namespace TarvikHelper {

namespace {

std::string randomToken() {
    std::random_device device;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(device()));
        token += part;
    }
    return token;
}

}  // namespace

FileTokens::FileTokens(const std::string& package, std::string file) : file_(std::move(file)) {
    if (file_.empty())
        file_ =
            Platform::ApplicationData::UserDataRoot() + "/helper/filetokens/" + package + ".json";
}

std::string FileTokens::issue(const Grant& grant) {
    std::lock_guard g(mutex_);
    auto tokens = readJsonObject(file_);
    std::string token = randomToken();
    while (tokens.contains(token)) token = randomToken();
    tokens[token] = {{"path", grant.path}, {"mode", grant.mode}};
    if (!writeJsonAtomically(file_, tokens)) return {};
    TLOG("DBG", "token for %s (%s)", grant.path.c_str(), grant.mode.c_str());
    return token;
}

std::optional<FileTokens::Grant> FileTokens::resolve(const std::string& token) const {
    std::lock_guard g(mutex_);
    const auto tokens = readJsonObject(file_);
    const auto it = tokens.find(token);
    if (it == tokens.end() || !it->is_object()) return std::nullopt;
    const auto path = it->find("path");
    const auto mode = it->find("mode");
    if (path == it->end() || !path->is_string() || mode == it->end() || !mode->is_string())
        return std::nullopt;
    return Grant{path->get<std::string>(), mode->get<std::string>()};
}

}  // namespace TarvikHelper
