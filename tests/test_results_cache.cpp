#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <TarvikFoundation/platform/hstring.h>

#include "common/acknowledgementutils.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "common/resultscache.h"
#include "testsupport.h"

using namespace Tarvik;
using Platform::ValueSet;

namespace {
// Captures the library's DBG lines in a file of the test's own.
class CacheLog : public ::testing::Test {
  protected:
    void SetUp() override {
        ConfigureLogger(1, "UWP");
        SetLogFilePath(Platform::utf8_to_wide(path));
        CloseLogFile();
    }
    void TearDown() override {
        CloseLogFile();
        ConfigureLogger(2, "UWP");
    }
    std::string log() const { return TestSupport::readFile(path); }
    TestSupport::TempDir dir;
    std::string path = dir.file("cache.log");
};
}  // namespace

TEST_F(CacheLog, StoredResultIsTheSameObjectUntilDeleted) {
    ValueSet response = createResponse(true);
    ResultsCache::markInProgress(501);
    EXPECT_TRUE(ResultsCache::isReqInProgress(501));
    ResultsCache::storeResult(501, response);
    EXPECT_FALSE(ResultsCache::isReqInProgress(501));  // storing ends "in progress"
    ValueSet found = ResultsCache::containsResult(501);
    ASSERT_TRUE(found);
    EXPECT_TRUE(found.same_object(response));
    ResultsCache::deleteResult(501);
    EXPECT_FALSE(ResultsCache::containsResult(501));
    const std::string text = log();
    EXPECT_NE(text.find(" 501 inProgress 1\n"), std::string::npos);
    EXPECT_NE(text.find(" found ID 501\n"), std::string::npos);
    EXPECT_NE(text.find(" del ID 501 , Pending "), std::string::npos);
    EXPECT_NE(text.find(" !found.\n"), std::string::npos);
}

TEST_F(CacheLog, AllOnesIdIsRejectedByTheFirstFiveOperations) {
    const std::size_t results = ResultsCache::resultCount();
    const std::size_t running = ResultsCache::inProgressCount();
    ResultsCache::storeResult(kNoRequestId, createResponse(true));
    ResultsCache::markInProgress(kNoRequestId);
    ResultsCache::clearInProgress(kNoRequestId);
    EXPECT_FALSE(ResultsCache::isReqInProgress(kNoRequestId));
    EXPECT_FALSE(ResultsCache::containsResult(kNoRequestId));
    EXPECT_EQ(ResultsCache::resultCount(), results);
    EXPECT_EQ(ResultsCache::inProgressCount(), running);
    const std::string text = log();
    std::size_t count = 0;
    for (std::size_t at = text.find("CRT"); at != std::string::npos; at = text.find("CRT", at + 1))
        if (text.compare(text.find('\n', at) - 13, 13, "invalid reqID") == 0) ++count;
    EXPECT_EQ(count, 5u);
}

TEST_F(CacheLog, DeletingAnAbsentIdOnlyLogs) {
    const std::size_t results = ResultsCache::resultCount();
    ResultsCache::deleteResult(424242);
    EXPECT_EQ(ResultsCache::resultCount(), results);
    EXPECT_NE(log().find(" del ID 424242 , Pending "), std::string::npos);
}

TEST(ResultsCacheAdmission, ConcurrentCopiesOfOneRequestStartOnce) {
    const std::size_t results = ResultsCache::resultCount();
    const std::size_t running = ResultsCache::inProgressCount();
    for (uint64_t id = 9000; id < 9050; ++id) {
        std::atomic<int> started{0}, busy{0}, cached{0};
        std::vector<std::thread> copies;
        for (int c = 0; c < 4; ++c) {
            copies.emplace_back([&] {
                ValueSet stored = nullptr;
                switch (ResultsCache::admit(id, stored)) {
                    case ResultsCache::Admission::Started:
                        ++started;
                        break;
                    case ResultsCache::Admission::InProgress:
                        ++busy;
                        break;
                    case ResultsCache::Admission::Cached:
                        ++cached;
                        break;
                }
            });
        }
        for (auto& t : copies) t.join();
        EXPECT_EQ(started.load(), 1);
        EXPECT_EQ(busy.load(), 3);
        ResultsCache::storeResult(id, createResponse(true));
        ValueSet stored = nullptr;
        EXPECT_EQ(ResultsCache::admit(id, stored), ResultsCache::Admission::Cached);
        EXPECT_TRUE(stored);
        ResultsCache::deleteResult(id);
    }
    // The sizes are kept apart from the shards: every path must keep them right.
    EXPECT_EQ(ResultsCache::resultCount(), results);
    EXPECT_EQ(ResultsCache::inProgressCount(), running);
}

TEST(ResultsCacheAdmission, SizesStayRightUnderConcurrentUse) {
    const std::size_t results = ResultsCache::resultCount();
    const std::size_t running = ResultsCache::inProgressCount();
    std::vector<std::thread> workers;
    for (uint64_t t = 0; t < 4; ++t) {
        workers.emplace_back([t] {
            for (uint64_t i = 0; i < 500; ++i) {
                const uint64_t id = 50000 + t * 1000 + i;
                ValueSet cached = nullptr;
                ResultsCache::admit(id, cached);
                ResultsCache::markInProgress(id);  // again: counted once
                if (i % 3 == 0) {
                    ResultsCache::clearInProgress(id);
                } else {
                    ResultsCache::storeResult(id, createResponse(true));
                    ResultsCache::storeResult(id, createResponse(true));  // replaced
                }
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(ResultsCache::resultCount(), results + 4 * 333);
    EXPECT_EQ(ResultsCache::inProgressCount(), running);
    std::vector<uint64_t> ids;
    for (uint64_t t = 0; t < 4; ++t)
        for (uint64_t i = 0; i < 500; ++i) ids.push_back(50000 + t * 1000 + i);
    for (uint64_t id : ids) ResultsCache::deleteResult(id);
    EXPECT_EQ(ResultsCache::resultCount(), results);
}

TEST(ResultsCacheAcknowledgements, ReceivedAcksDeleteCachedResponses) {
    for (uint64_t id : {71, 72, 73, 74}) ResultsCache::storeResult(id, createResponse(true));
    ValueSet request = createRequest(31);
    request.Insert(L"ackCounts", int32_t{3});
    request.Insert(L"Ack1", uint64_t{71});
    request.Insert(L"Ack2", uint64_t{72});
    request.Insert(L"Ack3", uint64_t{73});
    request.Insert(L"Ack4", uint64_t{74});  // beyond the count: not read
    AcknowledgementUtils::processAcknowledgements(request);
    EXPECT_FALSE(ResultsCache::containsResult(71));
    EXPECT_FALSE(ResultsCache::containsResult(73));
    EXPECT_TRUE(ResultsCache::containsResult(74));
    ResultsCache::deleteResult(74);
}

TEST(ResultsCacheAcknowledgements, CountAboveTwentyFiveReadsOnlyTwentyFiveSlots) {
    ValueSet request = createRequest(31);
    request.Insert(L"ackCounts", int32_t{40});
    for (int i = 1; i <= 25; ++i) {
        ResultsCache::storeResult(static_cast<uint64_t>(2000 + i), createResponse(true));
        request.Insert(L"Ack" + std::to_wstring(i), static_cast<uint64_t>(2000 + i));
    }
    // No Ack26..Ack40 keys: reading them would raise.
    EXPECT_NO_THROW(AcknowledgementUtils::processAcknowledgements(request));
    for (int i = 1; i <= 25; ++i)
        EXPECT_FALSE(ResultsCache::containsResult(static_cast<uint64_t>(2000 + i)));

    ValueSet none = createRequest(31);
    none.Insert(L"ackCounts", int32_t{-2});
    EXPECT_NO_THROW(AcknowledgementUtils::processAcknowledgements(none));
}

TEST(ResultsCacheAcknowledgements, BadSlotIsSkippedAndTheOthersStillCount) {
    for (uint64_t id : {81, 82, 83}) ResultsCache::storeResult(id, createResponse(true));
    ValueSet request = createRequest(31);
    request.Insert(L"ackCounts", int32_t{3});
    request.Insert(L"Ack1", uint64_t{81});
    request.Insert(L"Ack2", Platform::hstring(L"not an id"));
    request.Insert(L"Ack3", uint64_t{83});
    // The request still runs and gets its answer: a peer's bad slot only goes unread.
    EXPECT_NO_THROW(AcknowledgementUtils::processAcknowledgements(request));
    EXPECT_FALSE(ResultsCache::containsResult(81));
    EXPECT_TRUE(ResultsCache::containsResult(82));
    EXPECT_FALSE(ResultsCache::containsResult(83));

    ValueSet mistypedCount = createRequest(31);
    mistypedCount.Insert(L"ackCounts", Platform::hstring(L"1"));
    mistypedCount.Insert(L"Ack1", uint64_t{82});
    EXPECT_NO_THROW(AcknowledgementUtils::processAcknowledgements(mistypedCount));
    EXPECT_TRUE(ResultsCache::containsResult(82));
    ResultsCache::deleteResult(82);
}

TEST(ResultsCacheAcknowledgements, StoringAgainReplacesTheCachedResponse) {
    ValueSet first = createResponse(true), second = createResponse(false);
    ResultsCache::storeResult(91, first);
    ResultsCache::storeResult(91, second);
    ValueSet found = ResultsCache::containsResult(91);
    ASSERT_TRUE(found);
    EXPECT_TRUE(found.same_object(second));
    std::vector<uint64_t> many;
    for (uint64_t id = 3000; id < 3100; ++id) {
        ResultsCache::storeResult(id, createResponse(true));
        many.push_back(id);
    }
    many.push_back(91);
    for (uint64_t id : many) ResultsCache::deleteResult(id);
    for (uint64_t id : many) EXPECT_FALSE(ResultsCache::containsResult(id));
}
