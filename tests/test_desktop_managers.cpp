// The file, system-call, process, folder-permission, socket-server and cart managers
// against a scripted helper: what they send and how they read the answers.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <TarvikFoundation/orvaneappxpermissionmanager.h>
#include <TarvikFoundation/orvanecarvomanager.h>
#include <TarvikFoundation/orvanecasocketserver.h>
#include <TarvikFoundation/orvanefilemanager.h>
#include <TarvikFoundation/orvaneprocessmonitor.h>
#include <TarvikFoundation/orvanewin32apimanager.h>
#include <TarvikFoundation/platform/hresult.h>

#include "clockscope.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "fakehelper.h"
#include "lifecyclesupport.h"
#include "testsupport.h"

using namespace TarvikFoundation;
using Platform::hstring;
using Platform::ValueSet;
using TestSupport::eventually;
using TestSupport::FakeHelper;

namespace {

ValueSet failure(int32_t code, const wchar_t* text) {
    ValueSet v = Tarvik::createResponse(false);
    v.Insert(L"errorCode", code);
    v.Insert(L"fileError", hstring(text));
    return v;
}

template <class T>
ValueSet withEntry(const wchar_t* key, T value) {
    ValueSet v = Tarvik::createResponse(true);
    v.Insert(key, value);
    return v;
}

int32_t codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Platform::hresult_error& e) {
        return static_cast<int32_t>(e.code());
    }
    return 0;
}

class DesktopManagers : public ::testing::Test {
  protected:
    void SetUp() override {
        Tarvik::ConfigureLogger(0, "UWP");
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("test.log")));
        Tarvik::CloseLogFile();
        for (auto* c : channels()) c->setAppServiceConnection(helper.peer.appSide(), false);
    }
    void TearDown() override {
        for (auto* c : channels()) c->setAppServiceConnection(nullptr, false);
        Tarvik::SetLogFilePath(Platform::utf8_to_wide(dir.file("after.log")));
        Tarvik::CloseLogFile();
    }
    std::vector<Tarvik::TarvikAppServiceConnection*> channels() {
        return {files->connection().get(),   win32->connection().get(),
                monitor->connection().get(), permissions->connection().get(),
                sockets->connection().get(), cart->connection().get()};
    }
    std::string log() { return TestSupport::readFile(dir.file("test.log")); }
    std::size_t occurrences(const std::string& text) {
        const std::string all = log();
        std::size_t n = 0;
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }

    // A missing "response" is retried with back-off; the clock runs fast so no case
    // waits it out.
    TestSupport::ClockScope clock{TestSupport::ClockScope::Mode::Scaled, 1000.0};
    TestSupport::TestPackage package{"Test.Desktop_1", false};
    TestSupport::TempDir dir;
    FakeHelper helper;
    std::shared_ptr<OrvaneFileManager> files = OrvaneFileManager::GetInstance();
    std::shared_ptr<OrvaneWin32ApiManager> win32 = OrvaneWin32ApiManager::GetInstance();
    std::shared_ptr<OrvaneProcessMonitor> monitor = OrvaneProcessMonitor::GetInstance();
    std::shared_ptr<OrvaneAppXPermissionManager> permissions =
        OrvaneAppXPermissionManager::GetInstance();
    std::shared_ptr<OrvaneCASocketServer> sockets = OrvaneCASocketServer::GetInstance();
    std::shared_ptr<OrvaneCarvoManager> cart = OrvaneCarvoManager::GetInstance();
};

}  // namespace

TEST_F(DesktopManagers, ListingTypeIsZeroOnlyForLowerCaseFile) {
    ValueSet listing = withEntry(L"result", int32_t{0});
    listing.Insert(L"directoryListing", hstring(LR"([{"path":"/t/a","type":"file"},)"
                                                LR"({"path":"/t/B","type":"File"},)"
                                                LR"({"path":"/t/c","type":"folder"}])"));
    helper.answer(4, listing);
    const auto items = files->ListFilesFromPathAsync(L"/t", true).get();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].Path, hstring(L"/t/a"));
    EXPECT_EQ(items[0].Type, 0);
    EXPECT_EQ(items[1].Type, 1);
    EXPECT_EQ(items[2].Path, hstring(L"/t/c"));
    EXPECT_EQ(items[2].Type, 1);
    const auto sent = helper.sent(4).at(0);
    EXPECT_EQ(sent.LookupAs<hstring>(L"filePath"), hstring(L"/t"));
    EXPECT_EQ(sent.LookupAs<hstring>(L"doRecursiveListing"), hstring(L"true"));
}

TEST_F(DesktopManagers, HelperFailuresRaiseTheirCodeAndTheTextIsLoggedVerbatim) {
    helper.answer(3, failure(static_cast<int32_t>(0xE1010006), L"gone: 100% of %s and %d"));
    EXPECT_EQ(codeOf([&] { files->FolderOperation3Async(L"/nope").get(); }),
              static_cast<int32_t>(0xE1010006));
    EXPECT_NE(log().find("gone: 100% of %s and %d"), std::string::npos);

    helper.answer(4, failure(static_cast<int32_t>(0xE1010010), L"not a folder"));
    EXPECT_EQ(codeOf([&] { files->ListFilesFromPathAsync(L"/f", false).get(); }),
              static_cast<int32_t>(0xE1010010));

    helper.answer(1, withEntry(L"result", int32_t{0}));
    EXPECT_TRUE(files->FolderOperation1Async(L"/there").get());
    helper.answer(1, withEntry(L"result", int32_t{1}));
    EXPECT_FALSE(files->FolderOperation1Async(L"/there").get());
}

TEST_F(DesktopManagers, ProcessListTruncatesIdsAndKeepsNames) {
    helper.answer(53,
                  withEntry(L"ProcessList", hstring(LR"([{"ProcID":1234.9,"ProcName":"editor"},)"
                                                    LR"({"ProcID":1,"ProcName":"init"}])")));
    const auto list = monitor->GetProcessList().get();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].ProcessId(), 1234u);
    EXPECT_EQ(list[0].ProcessName(), hstring(L"editor"));
    EXPECT_EQ(list[1].ProcessId(), 1u);
    EXPECT_EQ(list[1].ProcessName(), hstring(L"init"));

    // An empty list is a list, not a failure.
    const std::size_t critical = occurrences(" CRT ");
    helper.answer(53, withEntry(L"ProcessList", hstring(L"[]")));
    EXPECT_TRUE(monitor->GetProcessList().get().empty());
    EXPECT_EQ(occurrences(" CRT "), critical);
}

TEST_F(DesktopManagers, ProcessListFailuresAreLoggedOrRaised) {
    helper.answer(53, Tarvik::createResponse(false));
    EXPECT_TRUE(monitor->GetProcessList().get().empty());
    EXPECT_EQ(occurrences(" FAIL response\n"), 1u);
    helper.answer(53, Tarvik::createResponse(true));
    EXPECT_TRUE(monitor->GetProcessList().get().empty());
    EXPECT_EQ(occurrences(" kprocList !found\n"), 1u);
    // A list the parser cannot read fails the operation.
    for (const wchar_t* bad : {L"{\"ProcID\":1,\"ProcName\":\"a\"}", L"not json",
                               L"[{\"ProcName\":\"a\"}]", L"[{\"ProcID\":1}]", L"[7]"}) {
        SCOPED_TRACE(Platform::wide_to_utf8(bad));
        helper.answer(53, withEntry(L"ProcessList", hstring(bad)));
        EXPECT_NE(codeOf([&] { monitor->GetProcessList().get(); }), 0);
    }
}

TEST_F(DesktopManagers, ASecondWatchOfOneIdReplacesTheFirstAndFiresOnce) {
    std::atomic<int> first{0}, second{0};
    monitor->MonitorProcessExit(4242, [&](uint32_t) { ++first; });
    monitor->MonitorProcessExit(4242, [&](uint32_t id) { second += id == 4242 ? 1 : 100; });
    ASSERT_TRUE(eventually([&] { return helper.sent(54).size() == 2; }));
    EXPECT_EQ(helper.sent(54).at(0).LookupAs<uint32_t>(L"ProcessID"), 4242u);

    ValueSet exited = Tarvik::createRequest(55);
    exited.Insert(L"ProcessID", uint32_t{4242});
    EXPECT_EQ(helper.fromHelper(exited).LookupAs<int32_t>(L"response"), 0);
    ValueSet again = Tarvik::createRequest(55);
    again.Insert(L"ProcessID", uint32_t{4242});
    helper.fromHelper(again);
    EXPECT_EQ(first.load(), 0);
    EXPECT_EQ(second.load(), 1);

    EXPECT_EQ(helper.fromHelper(Tarvik::createRequest(55)).LookupAs<int32_t>(L"response"), 1);
}

TEST_F(DesktopManagers, SystemCallsReadTheirResultKeysAndDefault) {
    helper.answer(43, withEntry(L"KeyReturnCode", uint32_t{0x1E}));
    EXPECT_EQ(win32->MapVirtualKeyAsync(0x41, 0).get(), 0x1Eu);
    EXPECT_EQ(helper.sent(43).at(0).LookupAs<uint32_t>(L"KeyMapType"), 0u);
    helper.answer(43, Tarvik::createResponse(false));
    EXPECT_EQ(win32->MapVirtualKeyAsync(0x41, 0).get(), 0u);

    // Setting a variable completes whatever the helper says.
    for (const ValueSet& answer : {Tarvik::createResponse(false), Tarvik::createResponse(true)}) {
        helper.answer(45, answer);
        EXPECT_NO_THROW(win32->SetEnvironmentVariableAsync(L"NAME", L"value").get());
    }
    const auto set = helper.sent(45).at(0);
    EXPECT_EQ(set.LookupAs<hstring>(L"EnvVariableName"), hstring(L"NAME"));
    EXPECT_EQ(set.LookupAs<hstring>(L"EnvVariableValue"), hstring(L"value"));
}

TEST_F(DesktopManagers, FileTokensSendTheModeAndFolderFlagAndReadFourOutcomes) {
    helper.on(0, [](const ValueSet& request) {
        ValueSet v = Tarvik::createResponse(true);
        v.Insert(L"result", int32_t{0});
        v.Insert(L"fileToken", request.LookupAs<hstring>(L"filemode"));
        return v;
    });
    EXPECT_EQ(files->GetFileTokenAsync(L"/f", 1, true).get(), hstring(L"write"));
    for (int32_t mode : {0, 2, 7, -1})
        EXPECT_EQ(files->GetFileTokenAsync(L"/f", mode, false).get(), hstring(L"read")) << mode;
    EXPECT_EQ(files->GetFileTokenAsync(L"/f", 1).get(), hstring(L"write"));
    const auto sent = helper.sent(0);
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[0].LookupAs<hstring>(L"filePath"), hstring(L"/f"));
    EXPECT_EQ(sent[0].LookupAs<hstring>(L"fileCreateDirectory"), hstring(L"true"));
    for (std::size_t i = 1; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].LookupAs<hstring>(L"fileCreateDirectory"), hstring(L"false")) << i;

    // A refusal raises the helper's code, or the general one when it gave none.
    helper.answer(0, failure(static_cast<int32_t>(0xE1010006), L"no such file"));
    EXPECT_EQ(codeOf([&] { files->GetFileTokenAsync(L"/f", 0).get(); }),
              static_cast<int32_t>(0xE1010006));
    helper.answer(0, failure(0, L"unknown"));
    EXPECT_EQ(codeOf([&] { files->GetFileTokenAsync(L"/f", 0).get(); }),
              static_cast<int32_t>(0xE1010001));
    helper.answer(0, ValueSet());  // no "response" at all
    EXPECT_EQ(codeOf([&] { files->GetFileTokenAsync(L"/f", 0).get(); }),
              static_cast<int32_t>(0xE1010001));
    // No "result": the empty token, said at "CRT"; a result other than 0: the empty token.
    helper.answer(0, Tarvik::createResponse(true));
    EXPECT_EQ(files->GetFileTokenAsync(L"/f", 0).get(), hstring());
    EXPECT_EQ(occurrences(" File present but cannot get File token.\n"), 1u);
    ValueSet other = withEntry(L"result", int32_t{3});
    other.Insert(L"fileToken", hstring(L"ignored"));
    helper.answer(0, other);
    EXPECT_EQ(files->GetFileTokenAsync(L"/f", 0).get(), hstring());
}

TEST_F(DesktopManagers, FolderPermissionsAreFalseOnAFailedResponse) {
    helper.answer(51, withEntry(L"FolderHasAppxPermissions", true));
    EXPECT_TRUE(permissions->FolderHasAppxPermissions(L"").get());
    EXPECT_EQ(helper.sent(51).at(0).LookupAs<hstring>(L"AppXFolderName"), hstring(L""));
    ValueSet refused = Tarvik::createResponse(false);
    refused.Insert(L"SetFolderPermissions", true);
    helper.answer(52, refused);
    EXPECT_FALSE(permissions->SetFolderPermissions(L"/data").get());
}

// Requests take their ids on the caller's thread, so the ids taken between two marks
// count the requests a call made, whether or not they have arrived yet.
TEST_F(DesktopManagers, ListeningIsRequestedOnceUntilShutdownCompletes) {
    const uint64_t before = Tarvik::nextRequestId();
    sockets->StartListening();
    sockets->StartListening();
    const uint64_t after = Tarvik::nextRequestId();
    EXPECT_EQ(after - before, 2u) << "requests made by two StartListening calls";
    ASSERT_TRUE(eventually([&] { return helper.sent(30).size() == 1; }));
    EXPECT_EQ(helper.sent(30).at(0).LookupAs<uint64_t>(L"commandId"), before + 1);
    EXPECT_EQ(occurrences("already listening"), 1u);
    sockets->Shutdown().get();
    sockets->StartListening();
    ASSERT_TRUE(eventually([&] { return helper.sent(30).size() == 2; }));
    sockets->Shutdown().get();
}

// A derived server that answers clients itself: its override gets the requests, and
// the event is not raised.
TEST_F(DesktopManagers, ADerivedServerTakesTheRequestsInsteadOfTheEvent) {
    struct OwnServer : OrvaneCASocketServer {
        void ProcessRequest(uint32_t socket, const hstring& text) override {
            std::lock_guard g(m);
            seen.emplace_back(socket, text);
        }
        std::mutex m;
        std::vector<std::pair<uint32_t, hstring>> seen;
    };
    FakeHelper own;
    auto server = std::make_shared<OwnServer>();
    server->setAppServiceConnection(own.peer.appSide(), false);
    std::atomic<int> events{0};
    server->RequestReceived([&](uint32_t, const hstring&) { ++events; });
    ValueSet request = Tarvik::createRequest(31);
    request.Insert(L"SocketNumber", uint32_t{7});
    request.Insert(L"RequestString", hstring(L"hello"));
    EXPECT_EQ(own.fromHelper(request).LookupAs<int32_t>(L"response"), 0);
    {
        std::lock_guard g(server->m);
        EXPECT_EQ(server->seen, (std::vector<std::pair<uint32_t, hstring>>{{7u, L"hello"}}));
    }
    EXPECT_EQ(events.load(), 0);
    server->setAppServiceConnection(nullptr, false);
}

TEST_F(DesktopManagers, PortAndLaunchResultsAreRead) {
    helper.answer(29, withEntry(L"SocketServerPort", uint32_t{40123}));
    EXPECT_EQ(sockets->Initialize().get(), 40123u);
    helper.answer(29, Tarvik::createResponse(true));
    EXPECT_EQ(sockets->Initialize().get(), 0u);

    helper.answer(34, Tarvik::createResponse(true));
    EXPECT_TRUE(sockets->LaunchClient(L"client", L"--once").get());
    helper.answer(34, Tarvik::createResponse(false));
    EXPECT_FALSE(sockets->LaunchClient(L"client", L"").get());
    const auto launch = helper.sent(34).at(0);
    EXPECT_EQ(launch.LookupAs<hstring>(L"FilePathString"), hstring(L"client"));
    EXPECT_EQ(launch.LookupAs<hstring>(L"ParametersString"), hstring(L"--once"));
}

TEST_F(DesktopManagers, ClientRequestsRaiseTheEventAndAreAnsweredEvenWhenAHandlerThrows) {
    std::mutex m;
    std::vector<std::pair<uint32_t, hstring>> seen;
    const auto good = sockets->RequestReceived([&](uint32_t s, const hstring& text) {
        std::lock_guard g(m);
        seen.emplace_back(s, text);
    });
    ValueSet request = Tarvik::createRequest(31);
    request.Insert(L"SocketNumber", uint32_t{7});
    request.Insert(L"RequestString", hstring(L"GET 100%"));
    EXPECT_EQ(helper.fromHelper(request).LookupAs<int32_t>(L"response"), 0);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, 7u);
    EXPECT_EQ(seen[0].second, hstring(L"GET 100%"));

    const auto bad = sockets->RequestReceived(
        [](uint32_t, const hstring&) { throw std::runtime_error("handler failed"); });
    ValueSet next = Tarvik::createRequest(31);
    next.Insert(L"SocketNumber", uint32_t{8});
    next.Insert(L"RequestString", hstring(L"x"));
    EXPECT_EQ(helper.fromHelper(next).LookupAs<int32_t>(L"response"), 0);
    EXPECT_NE(log().find("socket(8): Callback threw an exception"), std::string::npos);
    sockets->RequestReceived(bad);

    ValueSet missing = Tarvik::createRequest(31);
    missing.Insert(L"SocketNumber", uint32_t{9});
    EXPECT_EQ(helper.fromHelper(missing).LookupAs<int32_t>(L"response"), 1);
    EXPECT_EQ(seen.size(), 2u);
    sockets->RequestReceived(good);
}

TEST_F(DesktopManagers, CartStatusIsPassedThroughAndFiveWhenTheCodeIsMissing) {
    helper.answer(56, withEntry(L"kCVErrCode", int32_t{0}));
    EXPECT_EQ(cart->OrvaneCVInvokeClient(L"app", L"1.0", L"user", L"/opt/app").get(),
              OrvaneCVInvocationStatus::kStarted);
    const auto sent = helper.sent(56).at(0);
    EXPECT_EQ(sent.LookupAs<hstring>(L"kAppProfileScope"), hstring(L"user"));
    EXPECT_EQ(sent.LookupAs<hstring>(L"kAppPath"), hstring(L"/opt/app"));
    // Without the code the lookup raises: its error is logged and the status is 5.
    helper.answer(56, Tarvik::createResponse(true));
    const std::size_t before = occurrences(" CRT ");
    EXPECT_EQ(cart->OrvaneCVInvokeClient(L"app", L"1.0", L"user", L"/opt/app").get(),
              OrvaneCVInvocationStatus::kExchangeFailed);
    EXPECT_EQ(static_cast<int>(OrvaneCVInvocationStatus::kExchangeFailed), 5);
    EXPECT_EQ(occurrences(" CRT "), before + 1);
    EXPECT_EQ(occurrences(" Exception " + std::to_string(static_cast<int32_t>(0x8000000B)) + " : "),
              1u)
        << log();
}

// How failures reach the caller: the code alone, the empty token, a raising exit handler.

TEST_F(DesktopManagers, FileErrorsCarryTheCodeAloneAndNoTokenIsTheEmptyString) {
    const auto failureOf = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const Platform::hresult_error& e) {
            return std::make_pair(static_cast<uint32_t>(e.code()), e.message().to_utf8());
        }
        return std::make_pair(0u, std::string("no error"));
    };
    helper.answer(0, failure(static_cast<int32_t>(0xE1010006), L"missing"));
    EXPECT_EQ(failureOf([&] { files->GetFileTokenAsync(L"/nope", 0).get(); }),
              std::make_pair(0xE1010006u, std::string()));
    helper.answer(2, failure(0, L"unknown"));
    EXPECT_EQ(failureOf([&] { files->FolderOperation2Async(L"/nope").get(); }),
              std::make_pair(0xE1010001u, std::string()));
    helper.answer(4, failure(static_cast<int32_t>(0xE1010010), L"not a folder"));
    EXPECT_EQ(failureOf([&] { files->ListFilesFromPathAsync(L"/f", false).get(); }),
              std::make_pair(0xE1010010u, std::string()));

    helper.answer(0, withEntry(L"result", int32_t{0}));
    EXPECT_EQ(files->GetFileTokenAsync(L"/there", 1, true).get(), hstring());
    EXPECT_EQ(occurrences("File present but cannot get File token.\n"), 1u);
    ValueSet granted = withEntry(L"result", int32_t{0});
    granted.Insert(L"fileToken", hstring(L"tok-1"));
    helper.answer(0, granted);
    EXPECT_EQ(files->GetFileTokenAsync(L"/there", 1, true).get(), hstring(L"tok-1"));
}

TEST_F(DesktopManagers, AnExitHandlerThatRaisesStaysForTheNextNotice) {
    std::atomic<int> calls{0};
    monitor->MonitorProcessExit(4343, [&](uint32_t) {
        if (++calls == 1) throw std::runtime_error("exit handler failed");
    });
    ValueSet exited = Tarvik::createRequest(55);
    exited.Insert(L"ProcessID", uint32_t{4343});
    // The raise reaches the connection, which answers the failure.
    EXPECT_EQ(helper.fromHelper(exited.Clone()).LookupAs<int32_t>(L"response"), 1);
    EXPECT_EQ(helper.fromHelper(exited.Clone()).LookupAs<int32_t>(L"response"), 0);
    EXPECT_EQ(helper.fromHelper(exited.Clone()).LookupAs<int32_t>(L"response"), 0);
    EXPECT_EQ(calls.load(), 2);
}
