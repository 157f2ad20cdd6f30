// The reference helper's test commands.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <thread>

#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "clockscope.h"
#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/messageschema.h"
#include "helper/helpercommands.h"

namespace {

using Platform::hstring;
using Platform::ValueSet;

// Waits (in real time, bounded) until the helper's delay shows as a timer of the clock.
bool timerAppears(Platform::Clock& clock) {
    for (int i = 0; i < 5000; ++i) {
        if (!clock.pending().empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// The helper's commands on a channel of their own, with the library's clock driven by hand.
class HelperCommands : public ::testing::Test {
  protected:
    HelperCommands() { commands.registerAll(); }
    TestSupport::ClockScope scope;
    std::shared_ptr<Tarvik::TarvikAppServiceConnection> channel =
        Tarvik::TarvikAppServiceConnection::create("Helper");
    TarvikHelper::HelperCommands commands{channel};
};

TEST_F(HelperCommands, ADelayTooLongForTheClockIsWaitedAYearNotSkipped) {
    const auto handler = channel->handlerFor(Tarvik::Commands::kTestDelayMessage);
    ASSERT_TRUE(handler);
    constexpr std::chrono::hours kYear{365 * 24};
    for (const uint64_t delay :
         {std::numeric_limits<uint64_t>::max(), uint64_t{10'000'000'000'000}}) {
        ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestDelayMessage);
        request.Insert(hstring(Tarvik::CommandKeys::kTestDelay), delay);
        auto answer = std::async(std::launch::async, [&] { return handler(request); });
        ASSERT_TRUE(timerAppears(scope.clock())) << delay;
        const auto pending = scope.clock().pending();
        ASSERT_EQ(pending.size(), 1u);
        EXPECT_EQ(std::chrono::duration_cast<std::chrono::hours>(pending.front()), kYear) << delay;
        EXPECT_EQ(answer.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
        scope.clock().advance(kYear);
        const ValueSet reply = answer.get();
        EXPECT_EQ(reply.LookupOr<hstring>(hstring(Tarvik::CommandKeys::kTestResponse), hstring()),
                  hstring(L"Delayed " + std::to_wstring(delay) + L" ms"));
    }
}

// Each message would be a send of its own: a count beyond the cap is refused with its
// reason before any is sent, not turned into billions of pending sends; so is a negative one.
TEST_F(HelperCommands, TestKalderBeyondTheCapIsRefusedBeforeSending) {
    const auto handler = channel->handlerFor(Tarvik::Commands::kTestKalder);
    ASSERT_TRUE(handler);
    for (const int32_t n : {TarvikHelper::kMaxTestIterations + 1, INT32_MAX}) {
        ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestKalder);
        request.Insert(hstring(Tarvik::CommandKeys::kTestIterations), n);
        const ValueSet reply = handler(request);
        ASSERT_EQ(reply.LookupOr<int32_t>(hstring(L"response"), -1), 1) << n;
        EXPECT_EQ(reply.LookupOr<hstring>(hstring(Tarvik::CommandKeys::kReason), hstring()),
                  hstring(L"TestIterations above 10000"));
    }
    ValueSet negative = Tarvik::createRequest(Tarvik::Commands::kTestKalder);
    negative.Insert(hstring(Tarvik::CommandKeys::kTestIterations), int32_t{-5});
    const ValueSet reply = handler(negative);
    EXPECT_EQ(reply.LookupOr<int32_t>(hstring(L"response"), -1), 1);
    EXPECT_EQ(reply.LookupOr<hstring>(hstring(Tarvik::CommandKeys::kReason), hstring()),
              hstring(L"TestIterations below 0"));
    // Nothing was sent: no send waits for a connection on the clock.
    EXPECT_TRUE(scope.clock().pending().empty());
}

// Requests each within the cap share it while their messages are on the way; once
// those end (here: no connection came in time), the whole cap is free again.
TEST_F(HelperCommands, TestKalderRequestsShareTheCapWhileTheirMessagesAreOnTheWay) {
    const auto handler = channel->handlerFor(Tarvik::Commands::kTestKalder);
    ASSERT_TRUE(handler);
    const auto kalder = [&](int32_t n) {
        ValueSet request = Tarvik::createRequest(Tarvik::Commands::kTestKalder);
        request.Insert(hstring(Tarvik::CommandKeys::kTestIterations), n);
        const ValueSet reply = handler(request);
        return std::make_pair(
            reply.LookupOr<int32_t>(hstring(L"response"), -1),
            reply.LookupOr<hstring>(hstring(Tarvik::CommandKeys::kReason), hstring()));
    };
    EXPECT_EQ(kalder(6000).first, 0);
    EXPECT_EQ(commands.kalderOnTheWay(), 6000);
    const auto refused = kalder(6000);
    EXPECT_EQ(refused.first, 1);
    EXPECT_EQ(refused.second,
              hstring(L"TestIterations above the 4000 that may still be on the way"));
    EXPECT_EQ(kalder(4000).first, 0);
    EXPECT_EQ(kalder(1).first, 1);
    EXPECT_EQ(commands.kalderOnTheWay(), 10000);
    // The application goes away: every send ends, and the count with it.
    channel->setAppServiceConnection(nullptr, true);
    const auto settled = [&] {
        for (int i = 0; i < 3000 && commands.kalderOnTheWay() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return commands.kalderOnTheWay();
    };
    EXPECT_EQ(settled(), 0);
    // The whole cap is free again (those sends end at once too).
    EXPECT_EQ(kalder(10000).first, 0);
    EXPECT_EQ(settled(), 0);
}

}  // namespace
