#include "common/resultscache.h"

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

void ResultsCache::storeResult(uint64_t id, const Platform::ValueSet& result) {
    if (invalid(id)) return;
    auto& c = instance();
    std::lock_guard g(c.mutex_);
    TLOG("DBG", "%I64d", id);
    c.results_.insert_or_assign(id, result);
    c.inProgress_.erase(id);
}

void ResultsCache::markInProgress(uint64_t id) {
    if (invalid(id)) return;
    auto& c = instance();
    std::lock_guard g(c.mutex_);
    TLOG("DBG", "%I64d", id);
    c.inProgress_.insert(id);
}

void ResultsCache::clearInProgress(uint64_t id) {
    if (invalid(id)) return;
    auto& c = instance();
    std::lock_guard g(c.mutex_);
    TLOG("DBG", "%I64d", id);
    c.inProgress_.erase(id);
}

bool ResultsCache::isReqInProgress(uint64_t id) {
    if (invalid(id)) return false;
    auto& c = instance();
    std::lock_guard g(c.mutex_);
    const bool found = c.inProgress_.contains(id);
    TLOG("DBG", "%I64d inProgress %d", id, found ? 1 : 0);
    return found;
}

Platform::ValueSet ResultsCache::containsResult(uint64_t id) {
    if (invalid(id)) return nullptr;
    auto& c = instance();
    std::lock_guard g(c.mutex_);
    auto it = c.results_.find(id);
    if (it == c.results_.end()) {
        TLOG("DBG", "!found.");
        return nullptr;
    }
    TLOG("DBG", "found ID %I64d", id);
    return it->second;
}

void ResultsCache::deleteResult(uint64_t id) {
    auto& c = instance();
    std::lock_guard g(c.mutex_);
    TLOG("DBG", "del ID %I64d , Pending %d", id, static_cast<int>(c.results_.size()));
    c.results_.erase(id);
    c.inProgress_.erase(id);
}

ResultsCache::Admission ResultsCache::admit(uint64_t id, Platform::ValueSet& cached) {
    cached = nullptr;
    if (invalid(id)) return Admission::Started;
    auto& c = instance();
    std::lock_guard g(c.mutex_);
    const bool running = c.inProgress_.contains(id);
    TLOG("DBG", "%I64d inProgress %d", id, running ? 1 : 0);
    if (running) return Admission::InProgress;
    if (auto it = c.results_.find(id); it != c.results_.end()) {
        TLOG("DBG", "found ID %I64d", id);
        cached = it->second;
        return Admission::Cached;
    }
    TLOG("DBG", "!found.");
    TLOG("DBG", "%I64d", id);
    c.inProgress_.insert(id);
    return Admission::Started;
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
