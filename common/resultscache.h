#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>

#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/valueset.h>

namespace Tarvik {

/// Remembers which incoming request ids are executing and keeps the response of each
/// executed request until the peer acknowledges it, so a retry never runs twice.
class ResultsCache {
  public:
    enum class Admission { Started, InProgress, Cached };

    static void storeResult(uint64_t id, const Platform::ValueSet& result);
    static void markInProgress(uint64_t id);
    static void clearInProgress(uint64_t id);
    static bool isReqInProgress(uint64_t id);
    static Platform::ValueSet containsResult(uint64_t id);
    static void deleteResult(uint64_t id);

    /// The dispatcher's test-and-mark as one step: either the id is executing
    /// (InProgress, also after an acknowledgement took its mark), has a stored response
    /// (Cached, returned in `cached`), or it is now marked in progress by this call
    /// (Started) until storeResult() or clearInProgress().
    static Admission admit(uint64_t id, Platform::ValueSet& cached);

    static std::size_t resultCount();
    static std::size_t inProgressCount();

  private:
    friend class Platform::Immortal<ResultsCache>;
    static ResultsCache& instance();
    // Ids spread over shards, each under its own lock: every request passes through
    // here two or three times from several pool threads.
    struct Shard {
        std::map<uint64_t, Platform::ValueSet> results;
        std::set<uint64_t> inProgress;
        // Ids whose handler admit() started and neither storeResult() nor
        // clearInProgress() has ended. An acknowledgement (deleteResult) drops the
        // in-progress mark, not this one: a retry of a running request must never
        // start it again.
        std::set<uint64_t> running;
        std::mutex mutex;
    };
    static constexpr std::size_t kShards = 16;
    Shard& shardOf(uint64_t id) noexcept { return shards_[id % kShards]; }
    std::array<Shard, kShards> shards_;
    // Sizes over all shards, changed under the shard's lock that changes the shard.
    std::atomic<std::size_t> resultTotal_{0};
    std::atomic<std::size_t> inProgressTotal_{0};
};

}  // namespace Tarvik
