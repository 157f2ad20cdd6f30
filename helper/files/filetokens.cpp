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
    auto tokens = readJsonObject(file_);
    if (dropExpiredTokens(tokens, tokenClockSeconds()) > 0) writeJsonAtomically(file_, tokens);
}

std::string FileTokens::issue(const Grant& grant) {
    std::lock_guard g(mutex_);
    auto tokens = readJsonObject(file_);
    const int64_t now = tokenClockSeconds();
    const std::size_t dropped = dropExpiredTokens(tokens, now);
    if (auto live = liveTokenFor(tokens, grant.path, grant.mode, now)) {
        if (dropped == 0 && !tokenNeedsRenewal(tokens[*live], now)) return *live;
        tokens[*live]["expires"] = tokenExpiry(now);
        if (!writeJsonAtomically(file_, tokens)) return {};
        return *live;
    }
    std::string token = randomToken();
    while (tokens.contains(token)) token = randomToken();
    tokens[token] = {{"path", grant.path}, {"mode", grant.mode}, {"expires", tokenExpiry(now)}};
    if (!writeJsonAtomically(file_, tokens)) return {};
    TLOG("DBG", "token for %s (%s)", grant.path.c_str(), grant.mode.c_str());
    return token;
}

std::optional<FileTokens::Grant> FileTokens::resolve(const std::string& token) const {
    auto found = lookup(token);
    if (found.standing != Standing::Live) return std::nullopt;
    return std::move(found.grant);
}

FileTokens::Lookup FileTokens::lookup(const std::string& token) const {
    std::lock_guard g(mutex_);
    const auto tokens = readJsonObject(file_);
    const auto it = tokens.find(token);
    if (it == tokens.end() || !it->is_object()) return {};
    const auto path = it->find("path");
    const auto mode = it->find("mode");
    if (path == it->end() || !path->is_string() || mode == it->end() || !mode->is_string())
        return {};
    if (tokenExpired(*it, tokenClockSeconds())) return {Standing::Expired, {}};
    return {Standing::Live, Grant{path->get<std::string>(), mode->get<std::string>()}};
}

}  // namespace TarvikHelper
