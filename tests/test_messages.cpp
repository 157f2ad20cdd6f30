// The application's end of the bus: registration, the listener registry, delivery
// on the worker, sending, and the controller manager.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include <TarvikFoundation/orvanekaldercontrollermanager.h>
#include <TarvikFoundation/orvanemessagehandler.h>
#include <TarvikFoundation/platform/hstring.h>
#include <TarvikFoundation/tarvikappserviceconnection.h>

#include "asyncwait.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "common/resultscache.h"
#include "scriptedpeer.h"

using namespace TarvikFoundation;
using namespace TarvikFoundation::OrvaneInternal;
using namespace std::chrono_literals;
using Platform::hstring;
using Platform::ValueSet;
using TestSupport::eventually;
using TestSupport::ScriptedPeer;

namespace {

int32_t commandOf(const ValueSet& request) {
    return request.LookupAs<int32_t>(L"command");
}

// A helper that accepts registration and sends; `errorCode` answers command 36.
ScriptedPeer::Script helperAnswering(int32_t errorCode = 0) {
    return [errorCode](const ValueSet& request, int) -> std::optional<ValueSet> {
        ValueSet answer = Tarvik::createResponse(true);
        if (commandOf(request) == 35) answer.Insert(L"result", int32_t{0});
        if (commandOf(request) == 36) answer.Insert(L"errorCode", errorCode);
        return answer;
    };
}

std::size_t countOf(ScriptedPeer& peer, int32_t command) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < peer.count(); ++i) n += commandOf(peer.request(i)) == command;
    return n;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

ValueSet incoming(const hstring& type, const hstring& payload) {
    ValueSet m = Tarvik::createRequest(37);
    m.Insert(L"messageType", type);
    m.Insert(L"payload", payload);
    return m;
}

// A fresh handler per test, its own peer and its own log (debug lines included).
class Messages : public ::testing::Test {
  protected:
    void SetUp() override {
        Tarvik::ConfigureLogger(1, "UWP");
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(logPath));
        Tarvik::CloseLogFile();
        handler->setAppVersion(L"3.4.5");
        handler->setAppServiceConnection(peer.appSide(), false);
    }
    void TearDown() override {
        handler->Close();
        Tarvik::CloseLogFile();
        Tarvik::ConfigureLogger(2, "UWP");
    }
    void deliver(const hstring& type, const hstring& payload) {
        auto op = peer.peerSide().SendMessageAsync(incoming(type, payload));
        ASSERT_TRUE(TestSupport::endsWithin(op));
        ASSERT_EQ(op.get().Message().LookupAs<int32_t>(L"response"), 0);
    }
    std::string log() const { return TestSupport::readFile(logPath); }
    std::vector<std::string> seen() {
        std::lock_guard g(m);
        return calls;
    }

    TestSupport::TempDir dir;
    std::string logPath = dir.file("TRVK.log");
    std::shared_ptr<OrvaneMessageHandler> handler =
        std::make_shared<OrvaneMessageHandler>(OrvaneMessageHandler::Key{});
    ScriptedPeer peer{helperAnswering()};
    std::mutex m;
    std::vector<std::string> calls;
    OrvaneMessageHandlerDelegate record(const std::string& name) {
        return [this, name](const hstring& payload) {
            std::lock_guard g(m);
            calls.push_back(name + ":" + payload.to_utf8());
        };
    }
    std::size_t callCount() {
        std::lock_guard g(m);
        return calls.size();
    }
};

}  // namespace

TEST_F(Messages, ListenersRunInInsertionOrderAndRemoveAfterCallGoesAfterItsCall) {
    std::vector<std::string> events;
    const auto token = handler->MessageReceived([this](const KalderMessagePtr& message) {
        std::lock_guard g(m);
        calls.push_back("event:" + message->MessageType().to_utf8());
    });
    handler->AddListener(L"t", record("a"), false);
    handler->AddListener(L"t", record("once"), true);
    handler->AddListener(L"t", record("c"), false);
    handler->AddListener(L"other", record("x"), false);
    EXPECT_EQ(handler->GetListenerCount(L"t"), 3u);
    EXPECT_EQ(handler->GetTotalListenerCount(), 4u);

    deliver(L"t", L"1");
    deliver(L"t", L"2");
    ASSERT_TRUE(eventually([&] { return callCount() == 7; }));
    handler->MessageReceived(token);
    {
        // Listeners run under the handler's registry lock and take this one: never the
        // other way round.
        std::lock_guard g(m);
        EXPECT_EQ(calls, (std::vector<std::string>{"event:t", "a:1", "once:1", "c:1", "event:t",
                                                   "a:2", "c:2"}));
    }
    EXPECT_EQ(handler->GetListenerCount(L"t"), 2u);
    EXPECT_EQ(handler->GetTotalListenerCount(), 3u);
}

TEST_F(Messages, IdsStartAtOneAndKeepCountingAcrossRemoveAllAndRemoveTakesOnlyTheNamedEntry) {
    const uint32_t first = handler->AddListener(L"t", record("a"), false);
    const uint32_t second = handler->AddListener(L"t", record("b"), false);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    handler->RemoveListener(L"other", second);  // another type: nothing happens
    EXPECT_EQ(handler->GetListenerCount(L"t"), 2u);
    handler->RemoveListener(L"t", first);
    EXPECT_EQ(handler->GetListenerCount(L"t"), 1u);
    handler->RemoveAllListeners();
    EXPECT_EQ(handler->GetTotalListenerCount(), 0u);
    EXPECT_EQ(handler->AddListener(L"t", record("c"), false), 3u);
    deliver(L"t", L"p");
    ASSERT_TRUE(eventually([&] { return callCount() == 1; }));
    EXPECT_EQ(seen(), std::vector<std::string>{"c:p"});
}

// Refused before anything happens: no registration is sent and no entry is made.
TEST_F(Messages, ANullCallbackIsRefused) {
    try {
        handler->AddListener(L"t", nullptr, false);
        ADD_FAILURE() << "a null callback was accepted";
    } catch (const Platform::hresult_invalid_argument& e) {
        EXPECT_EQ(e.message(), hstring(L"callback NULL"));
    }
    EXPECT_EQ(peer.count(), 0u);
    EXPECT_EQ(handler->GetTotalListenerCount(), 0u);
    EXPECT_THROW(handler->SendMessageAndListen(L"ask", L"answer", L"x", nullptr, true),
                 Platform::hresult_invalid_argument);
    EXPECT_EQ(countOf(peer, 36), 0u);
}

// A registration that cannot even be sent raises the connection's error, and leaves
// the registry empty and unlocked.
TEST_F(Messages, ARegistrationThatRaisesPassesTheErrorToTheCaller) {
    handler->setAppServiceConnection(nullptr, true);  // the application is leaving
    const auto raisedCode = [&]() -> uint32_t {
        try {
            handler->AddListener(L"t", record("a"), false);
        } catch (const Platform::hresult_error& e) {
            return static_cast<uint32_t>(e.code());
        }
        return 0;
    };
    EXPECT_EQ(raisedCode(), 0xE101000Eu);
    EXPECT_EQ(raisedCode(), 0xE101000Eu);  // the lock was released: no dead-lock
    EXPECT_EQ(handler->GetTotalListenerCount(), 0u);
    EXPECT_EQ(countOf(peer, 35), 0u);
}

TEST_F(Messages, AMessageWithoutListenersStillRaisesTheEvent) {
    handler->AddListener(L"t", record("a"), false);
    handler->MessageReceived([this](const KalderMessagePtr& message) {
        std::lock_guard g(m);
        calls.push_back("event:" + message->MessageType().to_utf8() + ":" +
                        message->Payload().to_utf8());
    });
    deliver(L"nobody", L"hears");
    ASSERT_TRUE(
        eventually([&] { return log().find(" no listeners for nobody\n") != std::string::npos; }));
    EXPECT_EQ(seen(), std::vector<std::string>{"event:nobody:hears"});
}

// Closed from the event of the first message while two more wait in the queue: those
// two reach nobody.
TEST_F(Messages, MessagesStillQueuedAtCloseAreNotDelivered) {
    handler->AddListener(L"t", record("listener"), false);
    std::promise<void> queued;
    auto released = queued.get_future().share();
    std::atomic<long> workerThread{0};
    std::atomic<int> events{0};
    handler->MessageReceived([&, released](const KalderMessagePtr&) {
        if (++events > 1) return;
        workerThread = ::syscall(SYS_gettid);
        if (released.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return;
        handler->Close();
    });
    deliver(L"t", L"1");
    ASSERT_TRUE(eventually([&] { return workerThread.load() != 0; }));
    deliver(L"t", L"2");
    deliver(L"t", L"3");
    queued.set_value();
    // The worker ends once the event handler returns.
    const std::string task = "/proc/self/task/" + std::to_string(workerThread.load());
    ASSERT_TRUE(eventually([&] { return !boost::filesystem::exists(task); }));
    EXPECT_EQ(events.load(), 1);
    EXPECT_TRUE(seen().empty());
    EXPECT_THROW(handler->GetTotalListenerCount(), Platform::hresult_object_closed);
}

TEST_F(Messages, RegistersOncePerConnectionWithTheAppVersionAndAgainAfterAHandOver) {
    handler->AddListener(L"t", record("a"), false);
    handler->AddListener(L"u", record("b"), false);
    EXPECT_EQ(countOf(peer, 35), 1u);
    EXPECT_EQ(peer.request(0).LookupAs<hstring>(L"appVersion"), hstring(L"3.4.5"));

    ScriptedPeer next(helperAnswering());
    handler->setAppServiceConnection(next.appSide(), false);
    handler->AddListener(L"t", record("c"), false);
    EXPECT_EQ(countOf(next, 35), 1u);
    EXPECT_EQ(countOf(peer, 35), 1u);
    // The listeners made before the hand-over still hear messages on the new one.
    ASSERT_TRUE(TestSupport::endsWithin(next.peerSide().SendMessageAsync(incoming(L"u", L"q"))));
    ASSERT_TRUE(eventually([&] { return callCount() == 1; }));
    EXPECT_EQ(seen(), std::vector<std::string>{"b:q"});
}

TEST_F(Messages, ARefusedRegistrationAddsNothingAndIsTriedAgain) {
    ScriptedPeer refusing([](const ValueSet&, int) { return TestSupport::responseWith(1); });
    handler->setAppServiceConnection(refusing.appSide(), false);
    EXPECT_EQ(handler->AddListener(L"t", record("a"), false), 0u);
    EXPECT_EQ(handler->GetTotalListenerCount(), 0u);
    refusing.setScript(helperAnswering());
    EXPECT_GT(handler->AddListener(L"t", record("a"), false), 0u);
    EXPECT_EQ(countOf(refusing, 35), 2u);
}

TEST_F(Messages, ARaisingListenerIsLoggedAndTheWorkerCarriesOn) {
    handler->AddListener(
        L"t",
        [](const hstring& p) {
            if (p == hstring(L"bad")) throw std::runtime_error("boom");
        },
        false);
    handler->AddListener(L"t", record("after"), false);
    deliver(L"t", L"bad");
    deliver(L"t", L"good");
    ASSERT_TRUE(eventually([&] { return callCount() == 1; }));
    // The raising call ended that message's delivery; the next one reached everybody.
    EXPECT_EQ(seen(), std::vector<std::string>{"after:good"});
    EXPECT_EQ(occurrences(log(), " listener failed: boom\n"), 1u);
}

TEST_F(Messages, MalformedIncomingMessagesAreRefusedWithoutDelivery) {
    handler->AddListener(L"t", record("a"), false);
    ValueSet noPayload = Tarvik::createRequest(37);
    noPayload.Insert(L"messageType", hstring(L"t"));
    ValueSet wrongType = incoming(L"t", L"x");
    wrongType.Insert(L"payload", int32_t{5});
    for (const ValueSet& bad : {noPayload, wrongType}) {
        auto op = peer.peerSide().SendMessageAsync(bad);
        ASSERT_TRUE(TestSupport::endsWithin(op));
        EXPECT_EQ(op.get().Message().LookupAs<int32_t>(L"response"), 1);
    }
    deliver(L"t", L"fine");
    ASSERT_TRUE(eventually([&] { return callCount() == 1; }));
    EXPECT_EQ(seen(), std::vector<std::string>{"a:fine"});
}

TEST_F(Messages, SendMessageGivesTheHelpersErrorCodeOrExchangeFailed) {
    auto message = std::make_shared<KalderMessage>(L"kalder.type", L"body");
    EXPECT_EQ(handler->SendMessage(message).get(), KalderMessageErrorCode::Success);
    const ValueSet sent = peer.request(peer.count() - 1);
    EXPECT_EQ(sent.LookupAs<hstring>(L"message"), hstring(L"kalder.type"));
    EXPECT_EQ(sent.LookupAs<hstring>(L"payload"), hstring(L"body"));

    peer.setScript(helperAnswering(2));
    EXPECT_EQ(static_cast<int32_t>(handler->SendMessage(message).get()), 2);
    peer.setScript([](const ValueSet&, int) { return TestSupport::responseWith(0); });
    EXPECT_EQ(handler->SendMessage(message).get(), KalderMessageErrorCode::ExchangeFailed);
    EXPECT_THROW(handler->SendMessage(nullptr), Platform::hresult_invalid_argument);
}

TEST_F(Messages, SendAndListenRegistersTheReplyListenerOnlyForAReplyType) {
    const std::size_t before = peer.count();
    EXPECT_EQ(handler->SendMessageAndListen(L"ask", L"", L"x", nullptr, true), 0u);
    const uint32_t id = handler->SendMessageAndListen(L"ask", L"answer", L"y", record("r"), true);
    EXPECT_GT(id, 0u);
    ASSERT_TRUE(peer.waitForCount(before + 3));  // 35 once, then two sends
    EXPECT_EQ(countOf(peer, 36), 2u);
    deliver(L"answer", L"z");
    deliver(L"answer", L"again");
    ASSERT_TRUE(eventually([&] { return callCount() == 1; }));
    EXPECT_EQ(handler->GetListenerCount(L"answer"), 0u);
}

TEST(MessageHandlerClose, EveryMemberRaisesObjectClosedAfterwards) {
    auto own = std::make_shared<OrvaneMessageHandler>(OrvaneMessageHandler::Key{});
    own->Close();
    own->Close();  // twice is harmless
    EXPECT_THROW(own->AddListener(
                     L"t", [](const hstring&) {}, false),
                 Platform::hresult_object_closed);
    EXPECT_THROW(own->GetTotalListenerCount(), Platform::hresult_object_closed);
    EXPECT_THROW(own->SendMessage(std::make_shared<KalderMessage>(L"a", L"b")),
                 Platform::hresult_object_closed);
}

TEST(KalderController, AnswersAndTheSpecifierList) {
    ScriptedPeer peer([](const ValueSet& request, int) -> std::optional<ValueSet> {
        ValueSet a = Tarvik::createResponse(true);
        switch (request.LookupAs<int32_t>(L"command")) {
            case 47:
                a.Insert(L"IsAppInstalled", true);
                break;
            case 48:
                a.Insert(L"IsAppAvailable", false);
                break;
            case 49:
                a.Insert(L"SuccessfullyLaunched", true);
                break;
            case 50:
                a.Insert(L"KalderSpecifiers", hstring(L"[\"A.b_1\",\"C.d_2\"]"));
                break;
        }
        return a;
    });
    auto kalder = OrvaneKalderControllerManager::GetInstance();
    kalder->setAppServiceConnection(peer.appSide(), false);
    EXPECT_TRUE(kalder->IsAppInstalled(L"A.b_1").get());
    EXPECT_FALSE(kalder->IsAppAvailable(L"A.b_1").get());
    EXPECT_TRUE(kalder->LaunchApp(L"A.b_1", true, L"--x").get());
    const ValueSet launch = peer.request(2);
    EXPECT_TRUE(launch.LookupAs<bool>(L"Focus"));
    EXPECT_EQ(launch.LookupAs<hstring>(L"CommandLineArguments"), hstring(L"--x"));
    EXPECT_EQ(kalder->GetSpecifiers().get(), (std::vector<hstring>{L"A.b_1", L"C.d_2"}));

    // A list that is not JSON gives an empty list, not an error.
    peer.setScript([](const ValueSet&, int) -> std::optional<ValueSet> {
        ValueSet a = Tarvik::createResponse(true);
        a.Insert(L"KalderSpecifiers", hstring(L"[not json"));
        return a;
    });
    EXPECT_TRUE(kalder->GetSpecifiers().get().empty());
    kalder->setAppServiceConnection(nullptr, false);
}

// Failures on the way in and out: a malformed incoming message raises into the
// connection, and a send that fails or is cancelled ends the operation so.

TEST_F(Messages, AMalformedIncomingMessageRaisesAndItsRetryIsHandledAfresh) {
    handler->AddListener(L"t", record("a"), false);
    ValueSet noPayload = Tarvik::createRequest(37);
    noPayload.Insert(L"commandId", uint64_t{93701});
    noPayload.Insert(L"messageType", hstring(L"t"));
    ValueSet wrongType = incoming(L"t", L"x");
    wrongType.Insert(L"commandId", uint64_t{93702});
    wrongType.Insert(L"payload", int32_t{5});
    for (const ValueSet& bad : {noPayload, wrongType})
        EXPECT_EQ(
            peer.peerSide().SendMessageAsync(bad).get().Message().LookupAs<int32_t>(L"response"),
            1);
    // The failure is the connection's, not an answer of the handler, so nothing is kept
    // under those ids: the same ids with their keys in place are handled.
    for (uint64_t id : {uint64_t{93701}, uint64_t{93702}}) {
        EXPECT_FALSE(Tarvik::ResultsCache::containsResult(id)) << id;
        ValueSet good = incoming(L"t", L"fixed");
        good.Insert(L"commandId", id);
        EXPECT_EQ(
            peer.peerSide().SendMessageAsync(good).get().Message().LookupAs<int32_t>(L"response"),
            0);
        Tarvik::ResultsCache::deleteResult(id);
    }
    ASSERT_TRUE(eventually([&] { return callCount() == 2; }));
    EXPECT_EQ(calls, (std::vector<std::string>{"a:fixed", "a:fixed"}));
}

namespace {

// A handler of its own: an application exit cancels its connection object for good.
class MessageSendFailures : public ::testing::Test {
  protected:
    void SetUp() override {
        clock.set_manual();
        Tarvik::TarvikAppServiceConnection::setTimeoutIsFatal(true);
        Tarvik::TarvikAppServiceConnection::setConnectionWaitTime(15000ms);
    }
    void TearDown() override {
        own->Close();
        clock.set_real();
    }
    // Waits, bounded, until the operation has ended.
    bool ended(const Platform::IAsyncOperation<KalderMessageErrorCode>& op) {
        return eventually([&] { return op.Status() != Platform::AsyncStatus::Started; });
    }
    Platform::Clock& clock = Platform::Clock::instance();
    std::shared_ptr<OrvaneMessageHandler> own =
        std::make_shared<OrvaneMessageHandler>(OrvaneMessageHandler::Key{});
    KalderMessagePtr message = std::make_shared<KalderMessage>(L"kalder.type", L"body");
};

}  // namespace

// Not built under the thread sanitizer: it cannot see the reference counting of an
// exception handed from the pool to the caller inside the uninstrumented standard
// library, and reports the release of the send's copy as a race.
#ifndef __SANITIZE_THREAD__
TEST_F(MessageSendFailures, NoConnectionInTimeFailsTheOperationWithTheConnectionError) {
    const auto op = own->SendMessage(message);
    ASSERT_TRUE(eventually([&] { return clock.pending_count() == 1; }));  // the connection wait
    clock.advance(15s);
    ASSERT_TRUE(ended(op));
    EXPECT_EQ(op.Status(), Platform::AsyncStatus::Error);
    EXPECT_EQ(static_cast<uint32_t>(op.ErrorCode()), 0xE101000Eu);
}
#endif

TEST_F(MessageSendFailures, AnApplicationExitCancelsTheOperation) {
    const auto op = own->SendMessage(message);
    ASSERT_TRUE(eventually([&] { return clock.pending_count() == 1; }));  // the connection wait
    own->setAppServiceConnection(nullptr, true);
    ASSERT_TRUE(ended(op));
    EXPECT_EQ(op.Status(), Platform::AsyncStatus::Canceled);
    EXPECT_THROW(op.get(), Platform::task_canceled);
}
