// Incoming requests: dispatch by command, duplicate suppression, failed results.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include <TarvikFoundation/platform/appservicetransport.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "common/logger.h"
#include "common/messageschema.h"
#include "common/resultscache.h"
#include "scriptedpeer.h"

using namespace Tarvik;
using namespace std::chrono_literals;
using Platform::AppServiceResponse;
using Platform::AppServiceResponseStatus;
using Platform::ValueSet;
using TestSupport::eventually;

namespace {

// The application's end attached to a channel object; the test plays the helper and
// sends requests on the peer end.
class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override { channel->setAppServiceConnection(peer.appSide(), false); }

    ValueSet request(int32_t command, std::optional<uint64_t> id) {
        ValueSet r = createRequest(command);
        if (id) r.Insert(L"commandId", *id);
        return r;
    }
    AppServiceResponse send(const ValueSet& r) { return peer.peerSide().SendMessageAsync(r).get(); }

    TestSupport::ScriptedPeer peer;
    std::shared_ptr<TarvikAppServiceConnection> channel =
        TarvikAppServiceConnection::create("disp");
};

}  // namespace

TEST_F(Dispatch, RetryOfARunningRequestGetsTwoAndTheHandlerRunsOnce) {
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> calls{0};
    channel->addCommand(55, [&](const ValueSet&) {
        ++calls;
        released.wait();
        auto r = createResponse(true);
        r.Insert(L"value", int32_t{7});
        return r;
    });
    auto first = peer.peerSide().SendMessageAsync(request(55, 7001));
    ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
    auto retry = request(55, 7001);
    retry.Insert(L"retry", true);
    const auto busy = send(retry);
    EXPECT_EQ(busy.Message().LookupAs<int32_t>(L"response"), 2);
    release.set_value();
    const auto done = first.get();
    EXPECT_EQ(done.Message().LookupAs<int32_t>(L"value"), 7);

    // A later retry is answered from the stored response.
    const auto again = send(retry);
    EXPECT_EQ(again.Message().LookupAs<int32_t>(L"value"), 7);
    EXPECT_EQ(calls.load(), 1);

    // Once acknowledged, the stored response is gone.
    auto next = request(55, 7002);
    next.Insert(L"ackCounts", int32_t{1});
    next.Insert(L"Ack1", uint64_t{7001});
    send(next);
    EXPECT_FALSE(ResultsCache::containsResult(7001));
    EXPECT_EQ(calls.load(), 2);
    ResultsCache::deleteResult(7002);
}

TEST_F(Dispatch, AnAcknowledgementOfARunningRequestDoesNotLetItsRetryRunAgain) {
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> calls{0}, firstRuns{0};
    channel->addCommand(55, [&](const ValueSet& r) {
        ++calls;
        // Only the first run of 7401 is held; a second one (the fault) answers at once.
        if (r.LookupAs<uint64_t>(L"commandId") == 7401 && ++firstRuns == 1) released.wait_for(10s);
        return createResponse(true);
    });
    auto first = peer.peerSide().SendMessageAsync(request(55, 7401));
    ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
    // A peer (or a hostile one) acknowledges the id while its handler still runs.
    auto carrier = request(55, 7402);
    carrier.Insert(L"ackCounts", int32_t{1});
    carrier.Insert(L"Ack1", uint64_t{7401});
    send(carrier);
    EXPECT_EQ(calls.load(), 2);
    auto retry = request(55, 7401);
    retry.Insert(L"retry", true);
    EXPECT_EQ(send(retry).Message().LookupAs<int32_t>(L"response"), 2);
    release.set_value();
    EXPECT_EQ(first.get().Message().LookupAs<int32_t>(L"response"), 0);
    EXPECT_EQ(send(retry).Message().LookupAs<int32_t>(L"response"), 0);
    EXPECT_EQ(calls.load(), 2) << "the acknowledged request ran twice";
    ResultsCache::deleteResult(7401);
    ResultsCache::deleteResult(7402);
}

TEST_F(Dispatch, MalformedEnvelopeValuesAreAnsweredAndOnlyTheWellFormedAcksCount) {
    std::atomic<int> calls{0};
    channel->addCommand(55, [&](const ValueSet&) {
        ++calls;
        return createResponse(true);
    });
    ASSERT_EQ(send(request(55, 7501)).Message().LookupAs<int32_t>(L"response"), 0);
    ASSERT_TRUE(ResultsCache::containsResult(7501));

    // "ackCounts" of another type: ignored, the request runs.
    auto mistypedCount = request(55, 7502);
    mistypedCount.Insert(L"ackCounts", Platform::hstring(L"1"));
    mistypedCount.Insert(L"Ack1", uint64_t{7501});
    EXPECT_EQ(send(mistypedCount).Message().LookupAs<int32_t>(L"response"), 0);
    EXPECT_TRUE(ResultsCache::containsResult(7501));

    // A missing and a mistyped slot are skipped; the well-formed one still acknowledges.
    auto partial = request(55, 7503);
    partial.Insert(L"ackCounts", int32_t{3});
    partial.Insert(L"Ack2", Platform::hstring(L"7501"));
    partial.Insert(L"Ack3", uint64_t{7501});
    EXPECT_EQ(send(partial).Message().LookupAs<int32_t>(L"response"), 0);
    EXPECT_FALSE(ResultsCache::containsResult(7501));
    EXPECT_EQ(calls.load(), 3);

    // An id of another type cannot be matched with its retries: refused, not run.
    auto mistypedId = createRequest(55);
    mistypedId.Insert(L"commandId", Platform::hstring(L"7504"));
    EXPECT_EQ(send(mistypedId).Message().LookupAs<int32_t>(L"response"), 1);
    EXPECT_EQ(calls.load(), 3);
    ResultsCache::deleteResult(7502);
    ResultsCache::deleteResult(7503);
}

TEST_F(Dispatch, UnregisteredCommandAndMissingCommandGetNoAnswerFromTheChannel) {
    const auto unhandled = send(request(99, 7101));
    EXPECT_EQ(unhandled.Status(), AppServiceResponseStatus::Failure);
    EXPECT_FALSE(unhandled.Message());
    ValueSet noCommand;
    noCommand.Insert(L"commandId", uint64_t{7102});
    EXPECT_FALSE(send(noCommand).Message());
}

TEST_F(Dispatch, NullOrRaisingHandlerAnswersFailure) {
    channel->addCommand(31, [](const ValueSet&) { return ValueSet(nullptr); });
    channel->addCommand(
        37, [](const ValueSet&) -> ValueSet { throw std::runtime_error("handler bug"); });
    for (int32_t command : {31, 37}) {
        const auto r = send(request(command, 7200 + static_cast<uint64_t>(command)));
        ASSERT_TRUE(r.Message()) << command;
        EXPECT_EQ(r.Message().Size(), 1u);
        EXPECT_EQ(r.Message().LookupAs<int32_t>(L"response"), 1);
    }
    // Neither answer came from the handler, so neither is cached: a retry executes again.
    EXPECT_FALSE(ResultsCache::containsResult(7237));
    EXPECT_FALSE(ResultsCache::containsResult(7231));
}

TEST_F(Dispatch, AnswersWithStatusTwoOrWithoutResponseAreNotCached) {
    std::atomic<int> calls{0};
    channel->addCommand(31, [&](const ValueSet&) {
        ++calls;
        return TestSupport::responseWith(2);
    });
    channel->addCommand(37, [&](const ValueSet&) {
        ++calls;
        ValueSet plain;
        plain.Insert(L"other", int32_t{1});
        return plain;
    });
    send(request(31, 7301));
    send(request(31, 7301));
    const auto plain = send(request(37, 7302));
    EXPECT_FALSE(plain.Message().HasKey(L"response"));  // sent unchanged
    send(request(37, 7302));
    EXPECT_EQ(calls.load(), 4);
}

TEST_F(Dispatch, RequestWithoutIdRunsEveryTime) {
    std::atomic<int> calls{0};
    channel->addCommand(31, [&](const ValueSet&) {
        ++calls;
        return createResponse(true);
    });
    send(request(31, std::nullopt));
    send(request(31, std::nullopt));
    EXPECT_EQ(calls.load(), 2);
    EXPECT_FALSE(ResultsCache::containsResult(kNoRequestId));
}

// Detaching waits for the in-flight count to reach zero: each way a request can end
// must count it out, or every later detach waits out its full limit.
TEST_F(Dispatch, EveryWayARequestEndsCountsItOut) {
    channel->addCommand(31, [](const ValueSet&) { return createResponse(true); });
    channel->addCommand(33, [](const ValueSet&) { return ValueSet(nullptr); });
    channel->addCommand(
        37, [](const ValueSet&) -> ValueSet { throw std::runtime_error("handler bug"); });
    send(request(31, 7351));
    ASSERT_TRUE(eventually([&] { return channel->inFlight() == 0; })) << "answered";
    send(request(31, 7351));
    ASSERT_TRUE(eventually([&] { return channel->inFlight() == 0; })) << "from the cache";
    send(request(33, 7352));
    ASSERT_TRUE(eventually([&] { return channel->inFlight() == 0; })) << "null result";
    send(request(37, 7353));
    ASSERT_TRUE(eventually([&] { return channel->inFlight() == 0; })) << "handler raised";
    // Acknowledgements announced but missing: reading them raises before any answer.
    ValueSet broken = request(31, 7354);
    broken.Insert(Keys::kAckCounts, int32_t{1});
    auto unanswered = peer.peerSide().SendMessageAsync(broken);
    ASSERT_TRUE(eventually([&] { return channel->inFlight() == 0; })) << "bad acknowledgements";
    ResultsCache::deleteResult(7351);
    ResultsCache::deleteResult(7354);
}

TEST_F(Dispatch, DetachingWaitsForRunningHandlers) {
    std::atomic<bool> finished{false};
    channel->addCommand(31, [&](const ValueSet&) {
        std::this_thread::sleep_for(50ms);
        finished = true;
        return createResponse(true);
    });
    auto pending = peer.peerSide().SendMessageAsync(request(31, 7401));
    ASSERT_TRUE(eventually([&] { return channel->inFlight() == 1; }));
    channel->setAppServiceConnection(nullptr, false);
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(pending.get().Message().LookupAs<int32_t>(L"response"), 0);
    ResultsCache::deleteResult(7401);
}

TEST_F(Dispatch, ApplicationExitStopsAnswers) {
    std::promise<void> release;
    auto released = release.get_future().share();
    channel->addCommand(31, [&](const ValueSet&) {
        released.wait();
        return createResponse(true);
    });
    auto pending = peer.peerSide().SendMessageAsync(request(31, 7501));
    ASSERT_TRUE(eventually([&] { return channel->inFlight() == 1; }));
    std::thread exiting([&] { channel->setAppServiceConnection(nullptr, true); });
    std::this_thread::sleep_for(20ms);
    release.set_value();
    exiting.join();
    // The handler's answer is withheld; the platform ends the exchange without a message.
    EXPECT_FALSE(pending.get().Message());
    ResultsCache::deleteResult(7501);
}

TEST(CreateFailedResult, FillsWhatTheHandlerLeftOut) {
    ValueSet none = nullptr;
    TarvikAppServiceConnection::createFailedResult(none, 1);
    ASSERT_TRUE(none);
    EXPECT_EQ(none.LookupAs<int32_t>(L"response"), 1);

    ValueSet partial;
    partial.Insert(L"x", int32_t{1});
    TarvikAppServiceConnection::createFailedResult(partial, 2);
    EXPECT_EQ(partial.LookupAs<int32_t>(L"response"), 1);
    EXPECT_EQ(partial.Size(), 2u);

    ValueSet complete = TestSupport::responseWith(0);
    TarvikAppServiceConnection::createFailedResult(complete, 3);
    EXPECT_EQ(complete.LookupAs<int32_t>(L"response"), 0);
}

namespace {

// The application's end over a transport whose answers end cancelled, as a response
// send that the platform cut off; the test delivers requests itself.
class CancelledAnswers : public Platform::AppServiceTransport {
  public:
    void start(std::weak_ptr<Sink> sink) override {
        std::lock_guard g(m_);
        sink_ = std::move(sink);
    }
    AppServiceResponseStatus sendRequest(uint64_t, const ValueSet&) override {
        return AppServiceResponseStatus::Failure;
    }
    AppServiceResponseStatus sendResponse(uint64_t, AppServiceResponseStatus,
                                          const ValueSet&) override {
        ++answers;
        throw Platform::task_canceled();
    }
    void close() override {}
    void deliver(uint64_t sequence, const ValueSet& request) {
        std::shared_ptr<Sink> sink;
        {
            std::lock_guard g(m_);
            sink = sink_.lock();
        }
        ASSERT_TRUE(sink);
        sink->onRequestFrame(sequence, request);
    }
    std::atomic<int> answers{0};

  private:
    std::mutex m_;
    std::weak_ptr<Sink> sink_;
};

}  // namespace

TEST(DispatchAnswers, ACancelledAnswerIsTheTasksCancellationNotAnException) {
    TestSupport::TempDir dir;
    const std::string log = dir.file("dispatch.log");
    ConfigureLogger(0, "UWP");
    SetLogFilePath(Platform::utf8_to_wide(log));
    CloseLogFile();
    auto transport = std::make_shared<CancelledAnswers>();
    auto channel = TarvikAppServiceConnection::create("cancelled");
    channel->setAppServiceConnection(
        Platform::AppServiceConnection::FromTransport(transport, L"svc", L"test.pfn"), false);
    channel->addCommand(31, [](const ValueSet&) { return createResponse(true); });
    ValueSet request = createRequest(31);
    request.Insert(L"commandId", uint64_t{7601});
    transport->deliver(1, request);
    ASSERT_TRUE(eventually([&] { return transport->answers.load() == 1; }));
    ASSERT_TRUE(eventually([&] { return channel->inFlight() == 0; }));
    channel->setAppServiceConnection(nullptr, false);
    SetLogFilePath(Platform::utf8_to_wide(dir.file("after.log")));
    CloseLogFile();
    const std::string text = TestSupport::readFile(log);
    const auto at = text.find("::handlerTask task cancelled\n");
    ASSERT_NE(at, std::string::npos) << text;
    const std::string line = text.substr(text.rfind('\n', at) + 1, at - text.rfind('\n', at));
    EXPECT_NE(line.find(" WRN "), std::string::npos) << line;
    EXPECT_EQ(text.find("caught exception 7601"), std::string::npos) << text;
    ResultsCache::deleteResult(7601);
}
