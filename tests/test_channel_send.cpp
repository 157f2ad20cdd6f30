// Sending with retries, back-off, connection waits and suspension, on a clock the
// tests step by hand.
#include <gtest/gtest.h>

#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "clockscope.h"
#include "common/commandcodes.h"
#include "common/messageschema.h"
#include "scriptedpeer.h"

using namespace Tarvik;
using namespace std::chrono_literals;
using Platform::Clock;
using Platform::ValueSet;
using TestSupport::eventually;
using TestSupport::responseWith;
using TestSupport::ScriptedPeer;

namespace {

class ChannelSend : public ::testing::Test {
  protected:
    void SetUp() override {
        TarvikAppServiceConnection::setTimeoutIsFatal(true);
        TarvikAppServiceConnection::setConnectionWaitTime(15000ms);
    }

    // Waits until exactly one timer or timed wait is pending, and returns its time.
    Clock::duration onlyPending() {
        EXPECT_TRUE(eventually([&] { return clock.pending_count() == 1; }))
            << clock.pending_count();
        auto p = clock.pending();
        return p.empty() ? Clock::duration{} : p.front();
    }

    TestSupport::ClockScope scope;  // manual, and nothing left pending afterwards
    Clock& clock = Clock::instance();
};

}  // namespace

TEST_F(ChannelSend, InProgressEveryTimeMeansTenSendsWithTheTableSleeps) {
    ScriptedPeer peer([](const ValueSet&, int) { return responseWith(2); });
    auto channel = TarvikAppServiceConnection::create("t");
    channel->setAppServiceConnection(peer.appSide(), false);
    auto sent = channel->sendCommandAsync(createRequest(Commands::kTestDelayMessage));

    const int table[] = {300, 500, 1000, 1000, 2000, 3000, 5000, 8000, 13000, 21000};
    for (int t = 0; t < 10; ++t) {
        ASSERT_TRUE(peer.waitForCount(static_cast<std::size_t>(t + 1)));
        EXPECT_EQ(onlyPending(), Clock::duration(std::chrono::milliseconds(table[t])))
            << "after attempt " << t;
        EXPECT_EQ(peer.count(), static_cast<std::size_t>(t + 1));
        clock.advance(std::chrono::milliseconds(table[t]));
    }
    auto response = sent.get();
    ASSERT_TRUE(response);
    EXPECT_EQ(response.Message().LookupAs<int32_t>(L"response"), 2);
    EXPECT_EQ(peer.count(), 10u);

    const uint64_t id = peer.request(0).LookupAs<uint64_t>(L"commandId");
    EXPECT_FALSE(peer.request(0).HasKey(L"retry"));
    for (std::size_t i = 1; i < 10; ++i) {
        EXPECT_EQ(peer.request(i).LookupAs<uint64_t>(L"commandId"), id);
        EXPECT_TRUE(peer.request(i).LookupAs<bool>(L"retry"));
        // A re-send differs from the first attempt only by "retry".
        auto withoutRetry = peer.request(i).Clone();
        withoutRetry.Remove(L"retry");
        EXPECT_TRUE(withoutRetry.equals(peer.request(0)));
    }
}

TEST_F(ChannelSend, FailureIsNotRetriedAndMissingResponseIs) {
    ScriptedPeer peer([](const ValueSet&, int) { return responseWith(1); });
    auto channel = TarvikAppServiceConnection::create("t");
    channel->setAppServiceConnection(peer.appSide(), false);
    auto failed = channel->sendCommandAsync(createRequest(Commands::kGetProcessList)).get();
    EXPECT_EQ(failed.Message().LookupAs<int32_t>(L"response"), 1);
    EXPECT_EQ(peer.count(), 1u);

    peer.setScript([](const ValueSet&, int index) -> std::optional<ValueSet> {
        if (index == 1) return ValueSet();  // answered, but without "response"
        return responseWith(0);
    });
    auto sent = channel->sendCommandAsync(createRequest(Commands::kGetProcessList));
    ASSERT_TRUE(peer.waitForCount(2));
    EXPECT_EQ(onlyPending(), Clock::duration(300ms));
    clock.advance(300ms);
    EXPECT_EQ(sent.get().Message().LookupAs<int32_t>(L"response"), 0);
    EXPECT_EQ(peer.count(), 3u);
}

TEST_F(ChannelSend, NoAnswerAtAllIsRetried) {
    ScriptedPeer peer([](const ValueSet&, int index) -> std::optional<ValueSet> {
        if (index == 0) return std::nullopt;  // the platform reports a failed exchange
        return responseWith(3);
    });
    auto channel = TarvikAppServiceConnection::create("t");
    channel->setAppServiceConnection(peer.appSide(), false);
    auto sent = channel->sendCommandAsync(createRequest(38));
    ASSERT_TRUE(peer.waitForCount(1));
    clock.advance(onlyPending());
    ASSERT_TRUE(peer.waitForCount(2));
    EXPECT_EQ(onlyPending(), Clock::duration(500ms));  // "response" 3 is retried too
    peer.setScript([](const ValueSet&, int) { return responseWith(0); });
    clock.advance(500ms);
    EXPECT_EQ(sent.get().Message().LookupAs<int32_t>(L"response"), 0);
}

TEST_F(ChannelSend, ConnectionTimeoutIsFatalWhenConfigured) {
    auto channel = TarvikAppServiceConnection::create("t");
    auto sent = channel->sendCommandAsync(createRequest(38));
    EXPECT_EQ(onlyPending(), Clock::duration(15s));
    clock.advance(15s);
    try {
        sent.get();
        FAIL() << "expected the connection error";
    } catch (const Platform::hresult_error& e) {
        EXPECT_EQ(static_cast<uint32_t>(e.code()), 0xE101000Eu);
        EXPECT_EQ(e.message(),
                  Platform::hstring(L"App Service connection could not be established."));
    }
    EXPECT_EQ(clock.pending_count(), 0u);  // no retry was scheduled
}

TEST_F(ChannelSend, NonFatalTimeoutIsAFailedAttempt) {
    TarvikAppServiceConnection::setTimeoutIsFatal(false);
    ScriptedPeer peer([](const ValueSet&, int) { return responseWith(0); });
    auto channel = TarvikAppServiceConnection::create("t");
    auto sent = channel->sendCommandAsync(createRequest(38));
    EXPECT_EQ(onlyPending(), Clock::duration(15s));
    clock.advance(15s);
    EXPECT_EQ(onlyPending(), Clock::duration(300ms));
    channel->setAppServiceConnection(peer.appSide(), false);
    clock.advance(300ms);
    EXPECT_EQ(sent.get().Message().LookupAs<int32_t>(L"response"), 0);
    EXPECT_TRUE(peer.request(0).LookupAs<bool>(L"retry"));
}

TEST_F(ChannelSend, ApplicationExitCancelsWaitingAndSleepingSends) {
    ScriptedPeer peer([](const ValueSet&, int) { return responseWith(2); });
    auto waiting = TarvikAppServiceConnection::create("waiting");
    auto waitingSend = waiting->sendCommandAsync(createRequest(38));
    EXPECT_EQ(onlyPending(), Clock::duration(15s));
    waiting->setAppServiceConnection(nullptr, true);
    EXPECT_THROW(waitingSend.get(), Platform::task_canceled);

    auto sleeping = TarvikAppServiceConnection::create("sleeping");
    sleeping->setAppServiceConnection(peer.appSide(), false);
    auto sleepingSend = sleeping->sendCommandAsync(createRequest(38));
    ASSERT_TRUE(peer.waitForCount(1));
    EXPECT_EQ(onlyPending(), Clock::duration(300ms));
    sleeping->setAppServiceConnection(nullptr, true);
    EXPECT_THROW(sleepingSend.get(), Platform::task_canceled);
    EXPECT_EQ(peer.count(), 1u);

    // Once exited, the object never sends again, also after a new connection.
    sleeping->setAppServiceConnection(peer.appSide(), false);
    EXPECT_THROW(sleeping->sendCommandAsync(createRequest(38)).get(), Platform::task_canceled);
    EXPECT_EQ(peer.count(), 1u);
}

TEST_F(ChannelSend, RetryWaitsForResumingButAFirstAttemptDoesNot) {
    auto app = Platform::Application::Create();
    ScriptedPeer peer([](const ValueSet&, int index) { return responseWith(index == 0 ? 2 : 0); });
    auto channel = TarvikAppServiceConnection::create("t");
    channel->setAppServiceConnection(peer.appSide(), false);
    app->RaiseSuspending();
    auto sent = channel->sendCommandAsync(createRequest(38));
    ASSERT_TRUE(peer.waitForCount(1));  // sent while suspended
    clock.advance(onlyPending());
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(peer.count(), 1u);  // the retry is held
    EXPECT_FALSE(sent.is_done());
    app->RaiseResuming();
    EXPECT_EQ(sent.get().Message().LookupAs<int32_t>(L"response"), 0);
    EXPECT_EQ(peer.count(), 2u);
}

TEST_F(ChannelSend, AnsweredIdsAreAcknowledgedOnTheNextRequest) {
    ScriptedPeer peer([](const ValueSet&, int) { return responseWith(0); });
    auto channel = TarvikAppServiceConnection::create("t");
    channel->setAppServiceConnection(peer.appSide(), false);
    channel->sendCommandAsync(createRequest(38)).get();
    const uint64_t first = peer.request(0).LookupAs<uint64_t>(L"commandId");
    channel->sendCommandAsync(createRequest(38)).get();
    const auto second = peer.request(1);
    ASSERT_GE(second.LookupAs<int32_t>(L"ackCounts"), 1);
    bool carried = false;
    for (int i = 1; i <= second.LookupAs<int32_t>(L"ackCounts"); ++i)
        carried |= second.LookupAs<uint64_t>(L"Ack" + std::to_wstring(i)) == first;
    EXPECT_TRUE(carried);
}

// The blocking send used where a status is needed inside another operation.
TEST_F(ChannelSend, SendCommandIntReadsResultAndStatusAndRaisesTheConnectionError) {
    ScriptedPeer peer([](const ValueSet& request, int) -> std::optional<ValueSet> {
        const int32_t cmd = request.LookupAs<int32_t>(L"command");
        if (cmd == 26) {
            auto r = responseWith(0);
            r.Insert(L"result", int32_t{74});
            return r;
        }
        if (cmd == 27) return responseWith(1);
        if (cmd == 29) return responseWith(0);
        if (cmd == 30) {
            auto r = responseWith(0);
            r.Insert(L"result", Platform::hstring(L"not a number"));
            return r;
        }
        return ValueSet();  // no "response": the lookup fails
    });
    auto channel = TarvikAppServiceConnection::create("t");
    channel->setAppServiceConnection(peer.appSide(), false);
    ValueSet message = nullptr;
    int32_t result = 0;
    EXPECT_TRUE(channel->sendCommandInt(createRequest(26), message, result));
    EXPECT_EQ(result, 74);
    EXPECT_TRUE(channel->sendCommandInt(createRequest(29), message, result));
    EXPECT_EQ(result, -1);  // no "result"
    ASSERT_TRUE(message);
    EXPECT_EQ(message.LookupAs<int32_t>(L"response"), 0);
    EXPECT_FALSE(channel->sendCommandInt(createRequest(27), message, result));
    EXPECT_EQ(result, -1);
    ASSERT_TRUE(message);

    // Whatever raises while sending, waiting or reading becomes 0xE101000E.
    const auto raisedCode = [&](int32_t command) -> uint32_t {
        try {
            channel->sendCommandInt(createRequest(command), message, result);
        } catch (const Platform::hresult_error& e) {
            return static_cast<uint32_t>(e.code());
        }
        return 0;
    };
    EXPECT_EQ(raisedCode(30), 0xE101000Eu);  // a "result" that is not an Int32
    clock.set_scaled(100000.0);  // the missing "response" is retried through the whole table
    EXPECT_EQ(raisedCode(28), 0xE101000Eu);
    channel->setAppServiceConnection(nullptr, true);  // the application is leaving: cancelled
    EXPECT_EQ(raisedCode(26), 0xE101000Eu);
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(message);
}
