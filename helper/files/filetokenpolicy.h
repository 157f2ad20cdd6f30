#pragma once
// How long file tokens live and how the store is kept small. A token lives
// kFileTokenLifetime from its issue; asking again for the same path and mode gives the
// live token back (renewed once less than half its life is left), and expired entries
// are dropped whenever the store is read for an issue. Time is wall time, so a token's
// end outlives the helper, but it moves with the platform clock: tests advance it.
#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace TarvikHelper {

inline constexpr std::chrono::hours kFileTokenLifetime{24};

// Wall-clock seconds, moved on by however far Platform::Clock is ahead of real time.
int64_t tokenClockSeconds();

// The seconds a token issued at `now` is valid until.
int64_t tokenExpiry(int64_t now);
// Whether the stored entry has expired (one without a valid end counts as expired).
bool tokenExpired(const nlohmann::json& entry, int64_t now);
// Drops expired and malformed entries from the store's object; returns how many.
std::size_t dropExpiredTokens(nlohmann::json& tokens, int64_t now);
// The live token already issued for `path` and `mode`, if there is one.
std::optional<std::string> liveTokenFor(const nlohmann::json& tokens, const std::string& path,
                                        const std::string& mode, int64_t now);
// Whether a live entry's end should move to a full lifetime from `now`.
bool tokenNeedsRenewal(const nlohmann::json& entry, int64_t now);

}  // namespace TarvikHelper
