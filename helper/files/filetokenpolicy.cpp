#include "helper/files/filetokenpolicy.h"

#include <TarvikFoundation/platform/clock.h>

namespace TarvikHelper {

namespace {

constexpr int64_t kLifetimeSeconds =
    std::chrono::duration_cast<std::chrono::seconds>(kFileTokenLifetime).count();

std::optional<int64_t> expiryOf(const nlohmann::json& entry) {
    if (!entry.is_object()) return std::nullopt;
    const auto it = entry.find("expires");
    if (it == entry.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<int64_t>();
}

bool isText(const nlohmann::json& entry, const char* key) {
    const auto it = entry.find(key);
    return it != entry.end() && it->is_string();
}

}  // namespace

int64_t tokenClockSeconds() {
    const auto ahead = Platform::Clock::instance().now() - std::chrono::steady_clock::now();
    return std::chrono::duration_cast<std::chrono::seconds>(
               (std::chrono::system_clock::now() + ahead).time_since_epoch())
        .count();
}

int64_t tokenExpiry(int64_t now) {
    return now + kLifetimeSeconds;
}

bool tokenExpired(const nlohmann::json& entry, int64_t now) {
    const auto expiry = expiryOf(entry);
    return !expiry || *expiry <= now;
}

std::size_t dropExpiredTokens(nlohmann::json& tokens, int64_t now) {
    std::size_t dropped = 0;
    for (auto it = tokens.begin(); it != tokens.end();) {
        if (tokenExpired(*it, now) || !isText(*it, "path") || !isText(*it, "mode")) {
            it = tokens.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

std::optional<std::string> liveTokenFor(const nlohmann::json& tokens, const std::string& path,
                                        const std::string& mode, int64_t now) {
    for (auto it = tokens.begin(); it != tokens.end(); ++it)
        if (!tokenExpired(*it, now) && isText(*it, "path") && isText(*it, "mode") &&
            it->at("path") == path && it->at("mode") == mode)
            return it.key();
    return std::nullopt;
}

bool tokenNeedsRenewal(const nlohmann::json& entry, int64_t now) {
    const auto expiry = expiryOf(entry);
    return !expiry || *expiry - now < kLifetimeSeconds / 2;
}

}  // namespace TarvikHelper
