#include "common/resultscache.h"

#include <TarvikFoundation/platform/immortal.h>

#include "common/logger.h"
#include "common/messageschema.h"

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
    auto& cache = instance();
    auto& c = cache.shardOf(id);
    std::map<uint64_t, Platform::ValueSet> made{{id, result}};
    ResultNode node = made.extract(made.begin());
    IdNode running, started;
    {
        std::lock_guard g(c.mutex);
        // With its response stored, a retry is answered from it: the run is over.
        started = c.running.extract(id);
        if (auto it = c.results.find(id); it != c.results.end()) {
            std::swap(it->second, node.mapped());
        } else {
            c.results.insert(std::move(node));
            cache.resultTotal_.fetch_add(1, std::memory_order_relaxed);
        }
        running = c.inProgress.extract(id);
        if (running) cache.inProgressTotal_.fetch_sub(1, std::memory_order_relaxed);
    }
    TLOG("DBG", "%I64d", id);
}

void ResultsCache::markInProgress(uint64_t id) {
    if (invalid(id)) return;
    auto& cache = instance();
    auto& c = cache.shardOf(id);
    IdNode node = idNode(id);
    {
        std::lock_guard g(c.mutex);
        if (c.inProgress.insert(std::move(node)).inserted)
            cache.inProgressTotal_.fetch_add(1, std::memory_order_relaxed);
    }
    TLOG("DBG", "%I64d", id);
}

void ResultsCache::clearInProgress(uint64_t id) {
    if (invalid(id)) return;
    auto& cache = instance();
    auto& c = cache.shardOf(id);
    IdNode node, started;
    {
        std::lock_guard g(c.mutex);
        node = c.inProgress.extract(id);
        if (node) cache.inProgressTotal_.fetch_sub(1, std::memory_order_relaxed);
        started = c.running.extract(id);
    }
    TLOG("DBG", "%I64d", id);
}

bool ResultsCache::isReqInProgress(uint64_t id) {
    if (invalid(id)) return false;
    auto& cache = instance();
    auto& c = cache.shardOf(id);
    bool found;
    {
        std::lock_guard g(c.mutex);
        found = c.inProgress.contains(id);
    }
    TLOG("DBG", "%I64d inProgress %d", id, found ? 1 : 0);
    return found;
}

Platform::ValueSet ResultsCache::containsResult(uint64_t id) {
    if (invalid(id)) return nullptr;
    auto& cache = instance();
    auto& c = cache.shardOf(id);
    Platform::ValueSet found = nullptr;
    {
        std::lock_guard g(c.mutex);
        if (auto it = c.results.find(id); it != c.results.end()) found = it->second;
    }
    if (!found) {
        TLOG("DBG", "!found.");
        return nullptr;
    }
    TLOG("DBG", "found ID %I64d", id);
    return found;
}

void ResultsCache::deleteResult(uint64_t id) {
    auto& cache = instance();
    auto& c = cache.shardOf(id);
    ResultNode result;
    IdNode running;
    int pending;
    {
        std::lock_guard g(c.mutex);
        pending = static_cast<int>(cache.resultTotal_.load(std::memory_order_relaxed));
        result = c.results.extract(id);
        if (result) cache.resultTotal_.fetch_sub(1, std::memory_order_relaxed);
        running = c.inProgress.extract(id);
        if (running) cache.inProgressTotal_.fetch_sub(1, std::memory_order_relaxed);
    }
    TLOG("DBG", "del ID %I64d , Pending %d", id, pending);
}

ResultsCache::Admission ResultsCache::admit(uint64_t id, Platform::ValueSet& cached) {
    cached = nullptr;
    if (invalid(id)) return Admission::Started;
    auto& cache = instance();
    auto& c = cache.shardOf(id);
    IdNode node = idNode(id), started = idNode(id);
    Admission admission = Admission::Started;
    {
        std::lock_guard g(c.mutex);
        if (c.inProgress.contains(id) || c.running.contains(id)) {
            admission = Admission::InProgress;
        } else if (auto it = c.results.find(id); it != c.results.end()) {
            cached = it->second;
            admission = Admission::Cached;
        } else {
            if (c.inProgress.insert(std::move(node)).inserted)
                cache.inProgressTotal_.fetch_add(1, std::memory_order_relaxed);
            c.running.insert(std::move(started));
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
    return instance().resultTotal_.load(std::memory_order_relaxed);
}

std::size_t ResultsCache::inProgressCount() {
    return instance().inProgressTotal_.load(std::memory_order_relaxed);
}

}  // namespace Tarvik
