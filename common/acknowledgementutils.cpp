#include "common/acknowledgementutils.h"

#include <algorithm>
#include <string>

#include "common/logger.h"
#include "common/messageschema.h"
#include "common/resultscache.h"
#include "platform/immortal.h"

namespace Tarvik {

namespace {
const bool g_created = (AcknowledgementUtils::pendingCount(), true);
}

AcknowledgementUtils::AcknowledgementUtils() {
    for (int32_t i = 0; i < kMaxAcks; ++i)
        ackKeys_[static_cast<std::size_t>(i)] = L"Ack" + std::to_wstring(i + 1);
}

AcknowledgementUtils& AcknowledgementUtils::instance() {
    static Platform::Immortal<AcknowledgementUtils> acks;
    return *acks;
}

void AcknowledgementUtils::storeId(uint64_t id) {
    auto& a = instance();
    std::lock_guard g(a.mutex_);
    TLOG("DBG", "Inserting %I64d, Pending %d", id, static_cast<int>(a.pending_.size()));
    a.pending_.insert(id);
}

void AcknowledgementUtils::setAcknowledgementIDs(const Platform::ValueSet& request) {
    auto& a = instance();
    std::lock_guard g(a.mutex_);
    const auto n = static_cast<int32_t>(std::min<std::size_t>(kMaxAcks, a.pending_.size()));
    request.Reserve(request.Size() + 1 + static_cast<std::size_t>(n));
    request.Insert(Keys::kAckCounts, n);
    auto it = a.pending_.begin();
    for (int32_t i = 0; i < n; ++i, ++it) {
        TLOG("DBG", "Inserting %I64d", *it);
        request.Insert(a.ackKeys_[static_cast<std::size_t>(i)], *it);
    }
    TLOG("DBG", "Setting acks,Pending %d", static_cast<int>(a.pending_.size()));
    a.pending_.erase(a.pending_.begin(), it);
}

Platform::hstring AcknowledgementUtils::getAckKey(int32_t slot) {
    auto& a = instance();
    std::lock_guard g(a.mutex_);
    return a.ackKeys_.at(static_cast<std::size_t>(slot));
}

void AcknowledgementUtils::processAcknowledgements(const Platform::ValueSet& request) {
    const auto count = request.TryLookup(Keys::kAckCounts);
    if (!count) return;
    const int32_t n = Platform::unbox_value<int32_t>(*count);
    if (n <= 0) return;
    for (int32_t i = 0; i < std::min(n, kMaxAcks); ++i)
        ResultsCache::deleteResult(request.LookupAs<uint64_t>(getAckKey(i)));
}

std::size_t AcknowledgementUtils::pendingCount() {
    auto& a = instance();
    std::lock_guard g(a.mutex_);
    return a.pending_.size();
}

}  // namespace Tarvik
