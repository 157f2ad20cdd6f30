#include "helper/requestids.h"

#include <time.h>

#include <algorithm>
#include <atomic>

#include "common/messageschema.h"

namespace TarvikHelper {

uint64_t nextRequestId() noexcept {
    static std::atomic<uint64_t> last{0};
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const uint64_t clock =
        static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
    uint64_t previous = last.load(std::memory_order_relaxed);
    uint64_t id;
    do {
        id = std::max(previous + 1, clock);
    } while (!last.compare_exchange_weak(previous, id, std::memory_order_relaxed));
    return id;
}

Platform::ValueSet helperRequest(int32_t command) {
    Platform::ValueSet request = Tarvik::createRequest(command);
    request.Insert(Tarvik::Keys::kCommandId, nextRequestId());
    return request;
}

}  // namespace TarvikHelper
