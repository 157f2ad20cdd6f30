#include "common/acknowledgementutils.h"

#include <algorithm>
#include <string>

#include <TarvikFoundation/platform/immortal.h>

#include "common/logger.h"
#include "common/messageschema.h"
#include "common/resultscache.h"

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
    std::size_t pending;
    {
        std::lock_guard g(a.mutex_);
        pending = a.pending_.size();
        if (a.pending_.empty() || a.pending_.back() < id) {
            a.pending_.push_back(id);
        } else {
            const auto at = std::lower_bound(a.pending_.begin(), a.pending_.end(), id);
            if (*at != id) a.pending_.insert(at, id);
        }
    }
    TLOG("DBG", "Inserting %I64d, Pending %d", id, static_cast<int>(pending));
}

void AcknowledgementUtils::setAcknowledgementIDs(const Platform::ValueSet& request) {
    auto& a = instance();
    std::array<uint64_t, kMaxAcks> taken;
    std::size_t n, left;
    {
        std::lock_guard g(a.mutex_);
        n = std::min(taken.size(), a.pending_.size());
        std::copy_n(a.pending_.begin(), n, taken.begin());
        a.pending_.erase(a.pending_.begin(), a.pending_.begin() + static_cast<std::ptrdiff_t>(n));
        left = a.pending_.size();
    }
    request.Reserve(request.Size() + 1 + n);
    request.Insert(Keys::kAckCounts, static_cast<int32_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        TLOG("DBG", "Inserting %I64d", taken[i]);
        request.Insert(a.ackKeys_[i], taken[i]);
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
    // A peer's malformed acknowledgements are dropped; the request itself still runs.
    if (!count->holds<int32_t>()) {
        TLOG("WRN", "ackCounts is not Int32, acknowledgements ignored");
        return;
    }
    const int32_t n = Platform::unbox_value<int32_t>(*count);
    if (n <= 0) return;
    const auto& keys = instance().ackKeys_;
    for (std::size_t i = 0; i < static_cast<std::size_t>(std::min(n, kMaxAcks)); ++i) {
        const auto id = request.TryLookup(keys[i]);
        if (!id || !id->holds<uint64_t>()) {
            TLOG("WRN", "Ack%d missing or not UInt64, ignored", static_cast<int>(i + 1));
            continue;
        }
        ResultsCache::deleteResult(Platform::unbox_value<uint64_t>(*id));
    }
}

std::size_t AcknowledgementUtils::pendingCount() {
    auto& a = instance();
    std::lock_guard g(a.mutex_);
    return a.pending_.size();
}

}  // namespace Tarvik
