#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "common/acknowledgementutils.h"
#include "common/commandcodes.h"
#include "common/messageschema.h"
#include "testchild.h"

using namespace Tarvik;
using Platform::ValueSet;

namespace {
// Empties the pending acknowledgements so a test starts from none.
void drainAcks() {
    while (AcknowledgementUtils::pendingCount() > 0)
        AcknowledgementUtils::setAcknowledgementIDs(ValueSet());
}
std::vector<uint64_t> ackIds(const ValueSet& request) {
    std::vector<uint64_t> ids;
    const int32_t n = request.LookupAs<int32_t>(L"ackCounts");
    for (int32_t i = 0; i < n; ++i)
        ids.push_back(request.LookupAs<uint64_t>(AcknowledgementUtils::getAckKey(i)));
    return ids;
}
}  // namespace

// In a process of its own: nothing has taken an id yet.
TEST(MessageSchema, FirstRequestsOfTheProcessGetOneAndTwo) {
    TARVIK_RUN_IN_CHILD();
    auto a = createRequest(Commands::kTestDelayMessage);
    auto b = createRequest(Commands::kGetProcessList);
    assignRequestId(a);
    assignRequestId(b);
    EXPECT_EQ(a.LookupAs<uint64_t>(L"commandId"), 1u);
    EXPECT_EQ(b.LookupAs<uint64_t>(L"commandId"), 2u);
}

TEST(MessageSchema, RequestAndResponseConstructors) {
    auto request = createRequest(38);
    EXPECT_EQ(request.Size(), 1u);
    EXPECT_EQ(getCommand(request), 38);

    auto ok = createResponse(true);
    auto failed = createResponse(false);
    EXPECT_EQ(ok.Size(), 1u);
    EXPECT_EQ(ok.LookupAs<int32_t>(L"response"), 0);
    EXPECT_EQ(failed.LookupAs<int32_t>(L"response"), 1);

    EXPECT_THROW(getCommand(ValueSet()), Platform::hresult_out_of_bounds);
    ValueSet wrongType;
    wrongType.Insert(L"command", uint32_t{38});
    EXPECT_THROW(getCommand(wrongType), Platform::hresult_no_interface);
}

TEST(MessageSchema, ReassigningKeepsTheIdAndRefreshesAcks) {
    drainAcks();
    auto request = createRequest(38);
    assignRequestId(request);
    const uint64_t id = request.LookupAs<uint64_t>(L"commandId");
    EXPECT_EQ(request.LookupAs<int32_t>(L"ackCounts"), 0);
    EXPECT_FALSE(request.HasKey(L"Ack1"));

    AcknowledgementUtils::storeId(id);
    assignRequestId(request);
    EXPECT_EQ(request.LookupAs<uint64_t>(L"commandId"), id);
    EXPECT_EQ(ackIds(request), std::vector<uint64_t>{id});
}

TEST(MessageSchema, IdsAreUniqueAcrossEightThreads) {
    constexpr int kThreads = 8, kPerThread = 5000;
    std::vector<std::vector<uint64_t>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                auto r = createRequest(38);
                if (i % 50 == 0) {
                    assignRequestId(r);
                    seen[t].push_back(r.LookupAs<uint64_t>(L"commandId"));
                } else {
                    seen[t].push_back(nextRequestId());
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<uint64_t> all;
    for (auto& v : seen) {
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));  // each thread sees its ids grow
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(all.count(kNoRequestId), 0u);
}

TEST(Acknowledgements, ThirtyPendingSplitTwentyFivePlusFiveAscending) {
    drainAcks();
    std::vector<uint64_t> ids;
    for (uint64_t i = 0; i < 30; ++i) ids.push_back(1000 + (i * 7919) % 30);  // stored out of order
    for (uint64_t id : ids) AcknowledgementUtils::storeId(id);
    AcknowledgementUtils::storeId(ids.front());  // a duplicate stays once
    EXPECT_EQ(AcknowledgementUtils::pendingCount(), 30u);

    ValueSet first, second, third;
    AcknowledgementUtils::setAcknowledgementIDs(first);
    AcknowledgementUtils::setAcknowledgementIDs(second);
    AcknowledgementUtils::setAcknowledgementIDs(third);

    std::vector<uint64_t> expectedFirst, expectedSecond;
    for (uint64_t i = 0; i < 25; ++i) expectedFirst.push_back(1000 + i);
    for (uint64_t i = 25; i < 30; ++i) expectedSecond.push_back(1000 + i);
    EXPECT_EQ(first.LookupAs<int32_t>(L"ackCounts"), 25);
    EXPECT_EQ(ackIds(first), expectedFirst);
    EXPECT_FALSE(first.HasKey(L"Ack26"));
    EXPECT_EQ(second.LookupAs<int32_t>(L"ackCounts"), 5);
    EXPECT_EQ(ackIds(second), expectedSecond);
    EXPECT_FALSE(second.HasKey(L"Ack6"));
    EXPECT_EQ(third.LookupAs<int32_t>(L"ackCounts"), 0);
    EXPECT_EQ(third.Size(), 1u);
}

TEST(Acknowledgements, SlotKeysAreAckOneToTwentyFive) {
    EXPECT_EQ(AcknowledgementUtils::getAckKey(0), Platform::hstring(L"Ack1"));
    EXPECT_EQ(AcknowledgementUtils::getAckKey(24), Platform::hstring(L"Ack25"));
    EXPECT_THROW(AcknowledgementUtils::getAckKey(25), std::out_of_range);
}

TEST(CommandCodes, ReservedRanges) {
    for (int32_t c : {5, 7, 9, 16, 57, 68}) EXPECT_TRUE(Commands::isReserved(c)) << c;
    for (int32_t c : {0, 4, 8, 17, 56, 69}) EXPECT_FALSE(Commands::isReserved(c)) << c;
}
