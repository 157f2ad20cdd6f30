#include "common/messageschema.h"

#include <atomic>

#include "common/acknowledgementutils.h"

namespace Tarvik {

namespace {
std::atomic<uint64_t> g_requestCounter{0};
}

uint64_t nextRequestId() noexcept {
    uint64_t id = g_requestCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    // The all-ones value means "no id"; skip it if the counter ever gets there.
    if (id == kNoRequestId) id = g_requestCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    return id;
}

ValueSet createRequest(int32_t command) {
    ValueSet request;
    request.Insert(Keys::kCommand, command);
    return request;
}

ValueSet createResponse(bool ok) {
    ValueSet response;
    response.Insert(Keys::kResponse, ok ? kResponseSuccess : kResponseFailure);
    return response;
}

int32_t getCommand(const ValueSet& message) {
    return message.LookupAs<int32_t>(Keys::kCommand);
}

void assignRequestId(const ValueSet& request) {
    if (!request.HasKey(Keys::kCommandId)) request.Insert(Keys::kCommandId, nextRequestId());
    AcknowledgementUtils::setAcknowledgementIDs(request);
}

}  // namespace Tarvik
