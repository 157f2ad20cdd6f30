#include "common/resultscache.h"

#include <array>

#include "common/logger.h"
#include "common/messageschema.h"
#include "platform/immortal.h"

namespace Tarvik {

namespace {
// Built with the library: the cache exists before any runtime class does.
const bool g_created = (ResultsCache::resultCount(), true);

bool invalid(uint64_t id) {
    if (id != kNoRequestId) return false;
    TLOG("CRT", "invalid reqID");
    return true;
}
}  // namespace

ResultsCache& ResultsCache::instance() {
    static Platform::Immortal<ResultsCache> cache;
    return *cache;
}

// Nodes of the two containers are made before the lock is taken and freed after it is
// released (a cached response is a whole ValueSet): every request passes through here
// from several pool threads, so the lock covers only the pointer work.
namespace {
using ResultNode = std::map<uint64_t, Platform::ValueSet>::node_type;
using IdNode = std::set<uint64_t>::node_type;

IdNode idNode(uint64_t id) {
    std::set<uint64_t> made{id};
    return made.extract(made.begin());
}
}  // namespace

void ResultsCache::storeResult(uint64_t id, const Platform::ValueSet& result) {
    if (invalid(id)) return;
    auto& c = instance();
    std::map<uint64_t, Platform::ValueSet> made{{id, result}};
    ResultNode node = made.extract(made.begin());
    IdNode running;
    {
        std::lock_guard g(c.mutex_);
        if (auto it = c.results_.find(id); it != c.results_.end())
            std::swap(it->second, node.mapped());
        else
            c.results_.insert(std::move(node));
        running = c.inProgress_.extract(id);
    }
    TLOG("DBG", "%I64d", id);
}

void ResultsCache::markInProgress(uint64_t id) {
    if (invalid(id)) return;
    auto& c = instance();
    IdNode node = idNode(id);
    {
        std::lock_guard g(c.mutex_);
        c.inProgress_.insert(std::move(node));
    }
    TLOG("DBG", "%I64d", id);
}

void ResultsCache::clearInProgress(uint64_t id) {
    if (invalid(id)) return;
    auto& c = instance();
    IdNode node;
    {
        std::lock_guard g(c.mutex_);
        node = c.inProgress_.extract(id);
    }
    TLOG("DBG", "%I64d", id);
}

bool ResultsCache::isReqInProgress(uint64_t id) {
    if (invalid(id)) return false;
    auto& c = instance();
    bool found;
    {
        std::lock_guard g(c.mutex_);
        found = c.inProgress_.contains(id);
    }
    TLOG("DBG", "%I64d inProgress %d", id, found ? 1 : 0);
    return found;
}

Platform::ValueSet ResultsCache::containsResult(uint64_t id) {
    if (invalid(id)) return nullptr;
    auto& c = instance();
    Platform::ValueSet found = nullptr;
    {
        std::lock_guard g(c.mutex_);
        if (auto it = c.results_.find(id); it != c.results_.end()) found = it->second;
    }
    if (!found) {
        TLOG("DBG", "!found.");
        return nullptr;
    }
    TLOG("DBG", "found ID %I64d", id);
    return found;
}

void ResultsCache::deleteResult(uint64_t id) {
    deleteResults(std::span<const uint64_t>(&id, 1));
}

void ResultsCache::deleteResults(std::span<const uint64_t> ids) {
    if (ids.empty()) return;
    auto& c = instance();
    constexpr std::size_t kChunk = 32;
    // Bounded chunks keep the freed nodes on the stack.
    for (std::size_t from = 0; from < ids.size(); from += kChunk) {
        const auto part = ids.subspan(from, std::min(kChunk, ids.size() - from));
        std::array<ResultNode, kChunk> results;
        std::array<IdNode, kChunk> running;
        std::array<int, kChunk> pending;
        {
            std::lock_guard g(c.mutex_);
            for (std::size_t i = 0; i < part.size(); ++i) {
                pending[i] = static_cast<int>(c.results_.size());
                results[i] = c.results_.extract(part[i]);
                running[i] = c.inProgress_.extract(part[i]);
            }
        }
        for (std::size_t i = 0; i < part.size(); ++i)
            TLOG("DBG", "del ID %I64d , Pending %d", part[i], pending[i]);
    }
}

ResultsCache::Admission ResultsCache::admit(uint64_t id, Platform::ValueSet& cached) {
    cached = nullptr;
    if (invalid(id)) return Admission::Started;
    auto& c = instance();
    IdNode node = idNode(id);
    Admission admission = Admission::Started;
    {
        std::lock_guard g(c.mutex_);
        if (c.inProgress_.contains(id)) {
            admission = Admission::InProgress;
        } else if (auto it = c.results_.find(id); it != c.results_.end()) {
            cached = it->second;
            admission = Admission::Cached;
        } else {
            c.inProgress_.insert(std::move(node));
        }
    }
    TLOG("DBG", "%I64d inProgress %d", id, admission == Admission::InProgress ? 1 : 0);
    if (admission == Admission::InProgress) return admission;
    if (admission == Admission::Cached) {
        TLOG("DBG", "found ID %I64d", id);
        return admission;
    }
    TLOG("DBG", "!found.");
    TLOG("DBG", "%I64d", id);
    return admission;
}

std::size_t ResultsCache::resultCount() {
    auto& c = instance();
    std::lock_guard g(c.mutex_);
    return c.results_.size();
}

std::size_t ResultsCache::inProgressCount() {
    auto& c = instance();
    std::lock_guard g(c.mutex_);
    return c.inProgress_.size();
}

}  // namespace Tarvik
