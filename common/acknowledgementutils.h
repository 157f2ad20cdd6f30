#pragma once
#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include <TarvikFoundation/platform/immortal.h>
#include <TarvikFoundation/platform/valueset.h>

namespace Tarvik {

/// Carries the ids of received responses back to the peer, up to 25 per request, so
/// the peer can drop the responses it cached for retries.
class AcknowledgementUtils {
  public:
    static constexpr int32_t kMaxAcks = 25;

    static void storeId(uint64_t id);
    static void setAcknowledgementIDs(const Platform::ValueSet& request);
    static Platform::hstring getAckKey(int32_t slot);
    /// Receiving side: drops from the results cache every id the request acknowledges.
    static void processAcknowledgements(const Platform::ValueSet& request);

    static std::size_t pendingCount();

  private:
    friend class Platform::Immortal<AcknowledgementUtils>;
    AcknowledgementUtils();
    static AcknowledgementUtils& instance();
    std::array<Platform::hstring, kMaxAcks> ackKeys_;
    // Ascending and without repeats; nearly every id is above those before it, so it
    // joins at the end, and the lowest leave first.
    std::vector<uint64_t> pending_;
    std::mutex mutex_;
};

}  // namespace Tarvik
