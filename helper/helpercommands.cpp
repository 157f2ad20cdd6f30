#include "helper/helpercommands.h"

#include <algorithm>
#include <charconv>
#include <string>

#include <TarvikFoundation/platform/clock.h>

#include "common/commandcodes.h"
#include "common/commandkeys.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "helper/requestids.h"
#include "helper/responses.h"

namespace TarvikHelper {

using Platform::hstring;
using Platform::ValueSet;
using namespace Tarvik;

HelperCommands::HelperCommands(std::shared_ptr<TarvikAppServiceConnection> channel)
    : channel_(std::move(channel)) {}

void HelperCommands::add(int32_t command, TarvikAppServiceConnection::CommandHandler handler) {
    handled_.insert(command);
    channel_->addCommand(command, std::move(handler));
}

void HelperCommands::registerAll() {
    add(Commands::kTestDelayMessage, [this](const ValueSet& r) { return testDelay(r); });
    add(Commands::kTestAppExit, [this](const ValueSet& r) { return testAppExit(r); });
    add(Commands::kTestKalder, [this](const ValueSet& r) { return testKalder(r); });
}

namespace {
// std::to_wstring goes through the C library's wide printf, which costs more than the
// rest of the reply; the digits are ASCII and widen one to one.
// Longer delays are cut to a year: in the clock's nanoseconds they would overflow and
// not be waited at all.
constexpr uint64_t kLongestDelayMs = 365ULL * 24 * 60 * 60 * 1000;

void appendDecimal(std::wstring& out, uint64_t v) {
    char digits[20];
    const char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    out.append(static_cast<const char*>(digits), end);
}
}  // namespace

ValueSet HelperCommands::testDelay(const ValueSet& request) {
    const auto delay = request.TryLookup(CommandKeys::kTestDelay);
    if (!delay || !delay->holds<uint64_t>()) {
        TLOG("WRN", "TestDelay missing or not UInt64");
        return refusedBecause("no UInt64 TestDelay");
    }
    const uint64_t ms = Platform::unbox_value<uint64_t>(*delay);
    Platform::Clock::instance().sleep_for(std::chrono::milliseconds(std::min(ms, kLongestDelayMs)));
    std::wstring text;
    text.reserve(48);
    text += L"Delayed ";
    appendDecimal(text, ms);
    text += L" ms";
    if (auto value = request.TryLookup(CommandKeys::kValue); value && value->holds<uint64_t>()) {
        text += L" value ";
        appendDecimal(text, Platform::unbox_value<uint64_t>(*value));
    }
    ValueSet response = createResponse(true);
    response.Insert(keyOf(CommandKeys::kTestResponse), hstring(text));
    return response;
}

ValueSet HelperCommands::testAppExit(const ValueSet&) {
    TLOG("INF", "exit requested by the application");
    requestExit();
    return createResponse(true);
}

ValueSet HelperCommands::testKalder(const ValueSet& request) {
    const auto iterations = request.TryLookup(CommandKeys::kTestIterations);
    if (!iterations || !iterations->holds<int32_t>())
        return refusedBecause("no Int32 TestIterations");
    const int32_t n = Platform::unbox_value<int32_t>(*iterations);
    // Every message is a send of its own until it is answered: an application asking for
    // two billion must not make the helper hold two billion sends.
    if (n > kMaxTestIterations) {
        TLOG("WRN", "TestKalder refused: %d iterations, at most %d", n, kMaxTestIterations);
        return refusedBecause("TestIterations above " + std::to_string(kMaxTestIterations));
    }
    if (n < 0) {
        TLOG("WRN", "TestKalder refused: %d iterations", n);
        return refusedBecause("TestIterations below 0");
    }
    // Nor may many requests at once, each within the cap: their messages share it.
    int32_t onTheWay = kalderOnTheWay_->load();
    do {
        if (n > kMaxTestIterations - onTheWay) {
            TLOG("WRN", "TestKalder refused: %d iterations, %d still on the way", n, onTheWay);
            return refusedBecause("TestIterations above the " +
                                  std::to_string(kMaxTestIterations - onTheWay) +
                                  " that may still be on the way");
        }
    } while (!kalderOnTheWay_->compare_exchange_weak(onTheWay, onTheWay + n));
    for (int32_t i = 1; i <= n; ++i) {
        ValueSet message = helperRequest(Commands::kMessageReceive);
        message.Insert(keyOf(CommandKeys::kMessageType), hstring(L"TestKalder"));
        message.Insert(keyOf(CommandKeys::kPayload), hstring(L"iteration " + std::to_wstring(i)));
        try {
            channel_->sendCommandAsync(std::move(message))
                .then([count = kalderOnTheWay_](Platform::task<Platform::AppServiceResponse> sent) {
                    count->fetch_sub(1);
                    try {
                        sent.get();
                    } catch (...) {
                        TLOG("WRN", "TestKalder message not delivered");
                    }
                });
        } catch (...) {
            kalderOnTheWay_->fetch_sub(n - i + 1);
            TLOG("WRN", "TestKalder stopped at message %d of %d", i, n);
            break;
        }
    }
    return createResponse(true);
}

void HelperCommands::requestExit() {
    std::lock_guard g(exitMutex_);
    exitRequested_ = true;
    exitCondition_.notify_all();
}

bool HelperCommands::waitForExitRequest(std::chrono::milliseconds timeout) {
    std::unique_lock lk(exitMutex_);
    return exitCondition_.wait_for(lk, timeout, [&] { return exitRequested_.load(); });
}

}  // namespace TarvikHelper
