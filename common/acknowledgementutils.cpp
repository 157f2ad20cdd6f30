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
    // The set's node is made and freed outside the lock: senders on every thread pass
    // through here once per answer.
    std::set<uint64_t> made{id};
    auto node = made.extract(made.begin());
    std::size_t pending;
    {
        std::lock_guard g(a.mutex_);
        pending = a.pending_.size();
        a.pending_.insert(std::move(node));
    }
    TLOG("DBG", "Inserting %I64d, Pending %d", id, static_cast<int>(pending));
}

void AcknowledgementUtils::setAcknowledgementIDs(const Platform::ValueSet& request) {
    auto& a = instance();
    std::array<std::set<uint64_t>::node_type, kMaxAcks> taken;
    std::size_t n = 0, left;
    {
        std::lock_guard g(a.mutex_);
        while (n < taken.size() && !a.pending_.empty())
            taken[n++] = a.pending_.extract(a.pending_.begin());
        left = a.pending_.size();
    }
    request.Reserve(request.Size() + 1 + n);
    request.Insert(Keys::kAckCounts, static_cast<int32_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        TLOG("DBG", "Inserting %I64d", taken[i].value());
        request.Insert(a.ackKeys_[i], taken[i].value());
    }
    TLOG("DBG", "Setting acks,Pending %d", static_cast<int>(n + left));
}

// The keys never change after construction: no lock.
Platform::hstring AcknowledgementUtils::getAckKey(int32_t slot) {
    return instance().ackKeys_.at(static_cast<std::size_t>(slot));
}

void AcknowledgementUtils::processAcknowledgements(const Platform::ValueSet& request) {
    const auto count = request.TryLookup(Keys::kAckCounts);
    if (!count) return;
    const int32_t n = Platform::unbox_value<int32_t>(*count);
    if (n <= 0) return;
    const auto& keys = instance().ackKeys_;
    for (std::size_t i = 0; i < static_cast<std::size_t>(std::min(n, kMaxAcks)); ++i)
        ResultsCache::deleteResult(request.LookupAs<uint64_t>(keys[i]));
}

std::size_t AcknowledgementUtils::pendingCount() {
    auto& a = instance();
    std::lock_guard g(a.mutex_);
    return a.pending_.size();
}

}  // namespace Tarvik
