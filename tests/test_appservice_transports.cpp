// App-service connections over both transports, and the socket's defences.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <TarvikFoundation/platform/clock.h>
#include <TarvikFoundation/platform/threadpool.h>

#include "asyncwait.h"
#include "common/logger.h"
#include "platform/appservicelistener.h"
#include "platform/framedio.h"
#include "platform/frameencoder.h"
#include "platform/iocontext.h"
#include "platform/launchers.h"
#include "platform/listenerlock.h"
#include "platform/pendinghandshakes.h"
#include "platform/socketclient.h"
#include "platform/socketpaths.h"
#include "platform/wirecodec.h"
#include "poolsupport.h"
#include "testsupport.h"

using namespace Platform;
using namespace std::chrono_literals;
using TestSupport::eventually;

namespace {

ValueSet everyType() {
    ValueSet v;
    v.Insert(L"i32", int32_t{-1});
    v.Insert(L"u32", uint32_t{4000000000u});
    v.Insert(L"i64", int64_t{-9000000000});
    v.Insert(L"u64", uint64_t{18446744073709551615ull});
    v.Insert(L"b", false);
    v.Insert(L"s", hstring(L"caf\u00e9 \U0001F600"));
    v.Insert(L"null", PropertyValue());
    return v;
}

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

// Echoes every request back with "echo" = true.
void echoRequests(const AppServiceConnection& c) {
    c.RequestReceived(
        [](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& args) {
            auto reply = args.Request().Message().Clone();
            reply.Insert(L"echo", true);
            args.Request().SendResponseAsync(reply);
        });
}

// Own runtime folder and log file per test.
class SocketTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
        // Path first: a late line of an earlier test may reopen the file before the close.
        Tarvik::ConfigureLogger(2, "UWP");
        Tarvik::SetLogFilePath(utf8_to_wide(dir.file("test.log")));
        Tarvik::CloseLogFile();
    }
    void TearDown() override {
        Platform::Clock::instance().set_real();
        Tarvik::CloseLogFile();
    }
    std::string log() const { return TestSupport::readFile(dir.file("test.log")); }

    std::shared_ptr<AppServiceListener> listen(
        std::function<void(const AppServiceConnection&)> onConnection) {
        return AppServiceListener::start(L"test.pfn", L"svc",
                                         [this, onConnection](const AppServiceTriggerDetails& d) {
                                             std::lock_guard g(m);
                                             callers.push_back(d.CallerPackageFamilyName());
                                             servers.push_back(d.Connection());
                                             onConnection(d.Connection());
                                         });
    }
    AppServiceConnection open(
        AppServiceConnectionStatus expected = AppServiceConnectionStatus::Success) {
        AppServiceConnection c;
        c.AppServiceName(L"svc");
        c.PackageFamilyName(L"test.pfn");
        EXPECT_EQ(c.OpenAsync().get(), expected);
        return c;
    }
    // A raw client socket on the service, without the handshake.
    int rawConnect(const std::string& path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un addr = unixAddress(path);
        EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        return fd;
    }
    // The opening exchange, on a raw client socket.
    void handshake(int fd) {
        tarvik::wire::Frame hello;
        hello.mutable_open()->set_service_name("svc");
        ASSERT_TRUE(FramedIo::writeFrame(fd, hello));
        std::string error;
        auto reply = FramedIo::readFrame(fd, 2000, error);
        ASSERT_TRUE(reply && reply->has_open_result()) << error;
    }
    bool closedByPeer(int fd) {
        char b;
        std::string error;
        for (int i = 0; i < 200; ++i) {
            const ssize_t n = ::recv(fd, &b, 1, MSG_DONTWAIT);
            if (n == 0) return true;
            if (n > 0) continue;  // frames sent before closing
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    TestSupport::TempDir dir;
    std::mutex m;
    std::vector<hstring> callers;
    std::vector<AppServiceConnection> servers;
};

}  // namespace

TEST(InMemoryConnection, ExchangeCopiesMessagesAndPreservesTypes) {
    auto [a, b] = AppServiceConnection::CreateInMemoryPair();
    echoRequests(b);
    ValueSet message = everyType();
    auto op = a.SendMessageAsync(message);
    message.Insert(L"late", true);  // after sending: not seen by the peer
    auto response = op.get();
    EXPECT_EQ(response.Status(), AppServiceResponseStatus::Success);
    auto reply = response.Message();
    EXPECT_FALSE(reply.HasKey(L"late"));
    reply.Remove(L"echo");
    EXPECT_TRUE(reply.equals(everyType()));
}

TEST(InMemoryConnection, FirstResponseWinsAndDeferralsHoldTheExchange) {
    auto [a, b] = AppServiceConnection::CreateInMemoryPair();
    std::promise<AppServiceRequestReceivedEventArgs> held;
    b.RequestReceived(
        [&](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& args) {
            args.GetDeferral();  // a deferral never completed keeps the exchange open...
            held.set_value(args);
        });
    auto op = a.SendMessageAsync(ValueSet());
    auto args = held.get_future().get();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(op.Status(), AsyncStatus::Started);
    EXPECT_EQ(args.Request().SendResponseAsync(everyType()).get(),
              AppServiceResponseStatus::Success);
    EXPECT_EQ(args.Request().SendResponseAsync(ValueSet()).get(),
              AppServiceResponseStatus::Failure);
    EXPECT_TRUE(op.get().Message().equals(everyType()));
}

TEST(InMemoryConnection, CloseTellsThePeerAndFailsPendingExchanges) {
    auto [a, b] = AppServiceConnection::CreateInMemoryPair();
    std::promise<AppServiceClosedStatus> closed;
    b.ServiceClosed([&](const AppServiceConnection&, const AppServiceClosedEventArgs& e) {
        closed.set_value(e.Status());
    });
    std::promise<void> arrived;
    b.RequestReceived(
        [&](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& args) {
            args.GetDeferral();
            arrived.set_value();
        });
    auto pending = a.SendMessageAsync(ValueSet());
    arrived.get_future().wait();
    a.Close();
    EXPECT_EQ(closed.get_future().get(), AppServiceClosedStatus::Completed);
    EXPECT_EQ(pending.get().Status(), AppServiceResponseStatus::Unknown);
    EXPECT_THROW(a.SendMessageAsync(ValueSet()).get(), hresult_object_closed);
    EXPECT_THROW(b.SendMessageAsync(ValueSet()).get(), hresult_object_closed);
}

// Senders racing a close: every exchange ends, with an answer, Unknown or "closed".
TEST(InMemoryConnection, SendsRacingACloseAllEnd) {
    for (int round = 0; round < 20; ++round) {
        auto [a, b] = AppServiceConnection::CreateInMemoryPair();
        b.RequestReceived(
            [](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& args) {
                args.GetDeferral();  // never answered: only the close ends these
            });
        std::atomic<bool> go{false};
        std::vector<std::vector<IAsyncOperation<AppServiceResponse>>> sent(3);
        std::vector<std::thread> senders;
        for (auto& mine : sent) {
            senders.emplace_back([&, conn = a] {
                while (!go) std::this_thread::yield();
                for (int i = 0; i < 50; ++i) mine.push_back(conn.SendMessageAsync(ValueSet()));
            });
        }
        go = true;
        std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
        a.Close();
        for (auto& t : senders) t.join();
        for (auto& mine : sent) {
            for (auto& op : mine) {
                ASSERT_TRUE(eventually([&] { return op.Status() != AsyncStatus::Started; }))
                    << "an exchange was left waiting after the close";
                if (op.Status() == AsyncStatus::Completed)
                    EXPECT_EQ(op.get().Status(), AppServiceResponseStatus::Unknown);
                else
                    EXPECT_THROW(op.get(), hresult_object_closed);
            }
        }
    }
}

TEST_F(SocketTransport, ExchangeBothWaysWithTypesAndCallerName) {
    auto listener = listen([](const AppServiceConnection& server) { echoRequests(server); });
    AppServiceConnection::SetCallerPackageFamilyName(L"caller.pfn");
    auto client = open();
    AppServiceConnection::SetCallerPackageFamilyName(L"");
    echoRequests(client);
    auto reply = client.SendMessageAsync(everyType()).get().Message();
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply.LookupAs<bool>(L"echo"));
    reply.Remove(L"echo");
    EXPECT_TRUE(reply.equals(everyType()));

    ASSERT_TRUE(eventually([&] {
        std::lock_guard g(m);
        return servers.size() == 1;
    }));
    EXPECT_EQ(callers[0], hstring(L"caller.pfn"));
    EXPECT_TRUE(servers[0].SendMessageAsync(everyType()).get().Message().LookupAs<bool>(L"echo"));

    // Many exchanges in flight at once all come back to their own senders.
    std::vector<IAsyncOperation<AppServiceResponse>> ops;
    for (int32_t i = 0; i < 200; ++i) {
        ValueSet v;
        v.Insert(L"n", i);
        ops.push_back(client.SendMessageAsync(v));
    }
    for (int32_t i = 0; i < 200; ++i)
        EXPECT_EQ(ops[static_cast<std::size_t>(i)].get().Message().LookupAs<int32_t>(L"n"), i);
}

TEST_F(SocketTransport, TheTriggerMayWaitForItsPeerWhileThePeersRequestsWaitForTheTrigger) {
    auto listener = listen([](const AppServiceConnection& server) {
        // Answers reach the trigger while it runs...
        ValueSet question;
        question.Insert(L"n", int32_t{7});
        const auto reply = server.SendMessageAsync(question).get().Message();
        EXPECT_TRUE(reply && reply.LookupAs<bool>(L"echo"));
        // ...and the client's request, sent meanwhile, waits for the handler registered
        // last thing.
        std::this_thread::sleep_for(50ms);
        echoRequests(server);
    });
    AppServiceConnection client;
    client.AppServiceName(L"svc");
    client.PackageFamilyName(L"test.pfn");
    echoRequests(client);
    ASSERT_EQ(client.OpenAsync().get(), AppServiceConnectionStatus::Success);
    const auto response = client.SendMessageAsync(ValueSet()).get();
    EXPECT_EQ(response.Status(), AppServiceResponseStatus::Success);
    ASSERT_TRUE(response.Message());
    EXPECT_TRUE(response.Message().LookupAs<bool>(L"echo"));
}

TEST_F(SocketTransport, FolderIsPrivateAndSocketIsTheUsersOnly) {
    auto listener = listen([](const AppServiceConnection&) {});
    struct stat st {};
    ASSERT_EQ(::stat((dir.path() / "tarvik" / "test.pfn").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(listener->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_THROW(
        AppServiceListener::start(L"test.pfn", L"svc", [](const AppServiceTriggerDetails&) {}),
        hresult_error);
    EXPECT_THROW(
        AppServiceListener::start(L"../escape", L"svc", [](const AppServiceTriggerDetails&) {}),
        hresult_invalid_argument);
}

// A host between its bind and its listen refuses connections, yet the name is taken; a
// second host started at that moment must not take the socket file away from it.
TEST_F(SocketTransport, TheNameBelongsToTheLockHolderAndADeadListenersSocketIsReplaced) {
    SocketPaths::ensurePackageFolder(L"test.pfn");
    const std::string path = SocketPaths::servicePath(L"test.pfn", L"svc");
    auto first = std::make_unique<ListenerLock>(path);
    const int bound = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = unixAddress(path);
    ASSERT_EQ(::bind(bound, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    try {
        listen([](const AppServiceConnection&) {});
        ADD_FAILURE() << "a second listener took the name";
    } catch (const hresult_error& e) {
        EXPECT_NE(e.message().to_utf8().find("already listening"), std::string::npos);
    }
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << "the first host's socket file was removed";

    // The first host dies: its socket file stays behind, the lock goes with it.
    ::close(bound);
    first.reset();
    auto listener = listen(echoRequests);
    auto c = open();
    ValueSet ping;
    ping.Insert(L"n", int32_t{1});
    const auto answer = c.SendMessageAsync(ping).get();
    ASSERT_EQ(answer.Status(), AppServiceResponseStatus::Success);
    EXPECT_TRUE(answer.Message().LookupAs<bool>(L"echo"));
}

// A listener that cannot bind is stopped as it is given up; the stop must not touch
// what was never made, and the name is free for the next one.
TEST_F(SocketTransport, AListenerThatCannotBindThrowsAndTheNextOneServes) {
    SocketPaths::ensurePackageFolder(L"test.pfn");
    const std::string path = SocketPaths::servicePath(L"test.pfn", L"svc");
    ASSERT_TRUE(boost::filesystem::create_directory(path));
    EXPECT_THROW(listen([](const AppServiceConnection&) {}), hresult_error);
    // The stop runs on the I/O thread: let it run before going on.
    std::promise<void> ran;
    boost::asio::post(IoContext::get(), [&] { ran.set_value(); });
    ran.get_future().wait();

    boost::filesystem::remove(path);
    auto listener = listen(echoRequests);
    auto c = open();
    ValueSet ping;
    ping.Insert(L"n", int32_t{1});
    const auto answer = c.SendMessageAsync(ping).get();
    ASSERT_EQ(answer.Status(), AppServiceResponseStatus::Success);
    EXPECT_TRUE(answer.Message().LookupAs<bool>(L"echo"));
}

TEST_F(SocketTransport, FoldersOpenToOthersAreMadePrivateAndAnotherUsersAreRefused) {
    const auto base = dir.path() / "tarvik";
    const auto folder = base / "test.pfn";
    boost::filesystem::create_directories(folder);
    ::chmod(base.c_str(), 0755);
    ::chmod(folder.c_str(), 0777);
    auto listener = listen([](const AppServiceConnection&) {});
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(base.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    listener->stop();

    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a folder to another user";
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    try {
        AppServiceListener::start(L"test.pfn", L"svc", [](const AppServiceTriggerDetails&) {});
        ADD_FAILURE() << "listened in another user's folder";
    } catch (const hresult_error& e) {
        EXPECT_EQ(static_cast<uint32_t>(e.code()), 0x80070005u);
        EXPECT_NE(e.message().to_utf8().find("belongs to another user"), std::string::npos);
    }
}

// Without XDG_RUNTIME_DIR the sockets go to the user's cache folder, where no other
// user can take the name first; a base folder that is not the user's is refused by name.
TEST(SocketFolders, WithoutARuntimeFolderTheBaseIsTheUsersOwnAndAnotherUsersIsRefused) {
    TestSupport::TempDir dir;
    const std::string saved = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("XDG_CACHE_HOME", dir.file("cache").c_str(), 1);
    const std::string base = dir.file("cache") + "/tarvik-run";
    const auto refusal = [](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const hresult_error& e) {
            EXPECT_EQ(static_cast<uint32_t>(e.code()), 0x80070005u);
            return e.message().to_utf8();
        }
        return "not refused";
    };
    EXPECT_EQ(SocketPaths::servicePath(L"test.pfn", L"svc"), base + "/test.pfn/svc.sock");
    const std::string folder = SocketPaths::ensurePackageFolder(L"test.pfn");
    EXPECT_EQ(folder, base + "/test.pfn");
    for (const std::string& p : {dir.file("cache"), base, folder}) {
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << p;
        EXPECT_EQ(st.st_uid, ::getuid()) << p;
    }
    // Taken by another user (the tests run as root, which can hand it over).
    ASSERT_EQ(::geteuid(), 0u) << "the suite runs as root";
    ASSERT_EQ(::chown(base.c_str(), 65534, 65534), 0);
    EXPECT_EQ(refusal([] { SocketPaths::ensurePackageFolder(L"test.pfn"); }),
              "socket folder belongs to another user: " + base);
    // A link in its place, even to a folder of the user's.
    boost::filesystem::remove_all(base);
    boost::filesystem::create_directories(dir.file("elsewhere"));
    ::chmod(dir.file("elsewhere").c_str(), 0700);
    ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), base.c_str()), 0);
    EXPECT_EQ(refusal([] { SocketPaths::ensurePackageFolder(L"test.pfn"); }),
              "socket folder is not a directory: " + base);
    ::unsetenv("XDG_CACHE_HOME");
    if (!saved.empty()) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

TEST_F(SocketTransport, AServiceRunByAnotherUserIsRefusedByTheClient) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    // The other user's own folders, where a socket of theirs answers for the service.
    const auto folder = dir.path() / "tarvik" / "test.pfn";
    boost::filesystem::create_directories(folder);
    for (const auto& p : {dir.path(), dir.path() / "tarvik", folder}) ::chmod(p.c_str(), 0755);
    ::chown((dir.path() / "tarvik").c_str(), 65534, 65534);
    ::chown(folder.c_str(), 65534, 65534);
    const std::string path = (folder / "svc.sock").string();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setuid(65534) != 0) std::_Exit(10);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un addr = unixAddress(path);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) std::_Exit(11);
        ::chmod(path.c_str(), 0666);
        if (::listen(fd, 1) != 0) std::_Exit(12);
        (void)!::write(ready[1], "r", 1);
        const int peer = ::accept(fd, nullptr, nullptr);
        char b;
        // The client must hang up without a word: no opening frame reaches us.
        std::_Exit(peer >= 0 && ::recv(peer, &b, 1, 0) == 0 ? 0 : 13);
    }
    char r;
    ASSERT_EQ(::read(ready[0], &r, 1), 1);
    open(AppServiceConnectionStatus::NotAuthorized);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(log().find("runs as another user, refused"), std::string::npos);
}

TEST_F(SocketTransport, AMessageJustUnderTheFrameLimitStillGoesThrough) {
    auto listener = listen([](const AppServiceConnection& server) { echoRequests(server); });
    auto client = open();
    ValueSet big;
    big.Insert(L"blob", hstring(std::wstring(Wire::kMaxFrameSize - 1024, L'x')));
    const auto answer = client.SendMessageAsync(big).get();
    ASSERT_EQ(answer.Status(), AppServiceResponseStatus::Success);
    EXPECT_EQ(answer.Message().LookupAs<hstring>(L"blob").size(), Wire::kMaxFrameSize - 1024);
}

TEST_F(SocketTransport, OpenStatusesForMissingAndUnknownServices) {
    open(AppServiceConnectionStatus::AppUnavailable);
    auto listener =
        AppServiceListener::start(L"test.pfn", L"other", [](const AppServiceTriggerDetails&) {});
    // A socket answering for another service name refuses the open.
    ::symlink(listener->path().c_str(), (dir.path() / "tarvik" / "test.pfn" / "svc.sock").c_str());
    open(AppServiceConnectionStatus::AppServiceUnavailable);
}

// A peer of a later protocol is refused with a log line and never reaches the trigger;
// an opening without a version (sent before the field was) is taken as the first one's.
TEST_F(SocketTransport, AnOpeningOfALaterProtocolIsRefusedAndOneWithoutAVersionIsAccepted) {
    auto listener = listen([](const AppServiceConnection& server) { echoRequests(server); });
    const auto openWith = [&](std::optional<uint64_t> version) {
        const int fd = rawConnect(listener->path());
        tarvik::wire::Frame hello;
        hello.mutable_open()->set_service_name("svc");
        if (version) hello.mutable_open()->set_protocol_version(*version);
        EXPECT_TRUE(FramedIo::writeFrame(fd, hello));
        std::string error;
        const auto reply = FramedIo::readFrame(fd, 2000, error);
        const int32_t status =
            reply && reply->has_open_result() ? reply->open_result().status() : -1;
        return std::pair{fd, status};
    };
    const auto [later, laterStatus] = openWith(2);
    EXPECT_EQ(laterStatus, static_cast<int32_t>(AppServiceConnectionStatus::Unknown));
    EXPECT_TRUE(closedByPeer(later));
    // Not cut to its low 32 bits, where it would read as the first version.
    const auto [wide, wideStatus] = openWith((uint64_t{1} << 32) + 1);
    EXPECT_EQ(wideStatus, static_cast<int32_t>(AppServiceConnectionStatus::Unknown));
    EXPECT_TRUE(closedByPeer(wide));
    const auto [unset, unsetStatus] = openWith(std::nullopt);
    EXPECT_EQ(unsetStatus, static_cast<int32_t>(AppServiceConnectionStatus::Success));
    const auto [first, firstStatus] = openWith(Wire::kProtocolVersion);
    EXPECT_EQ(firstStatus, static_cast<int32_t>(AppServiceConnectionStatus::Success));
    EXPECT_TRUE(eventually([&] {
        std::lock_guard g(m);
        return servers.size() == 2;
    }));
    for (const int fd : {later, wide, unset, first}) ::close(fd);
    EXPECT_NE(log().find("connection to svc refused: protocol version 2, this side speaks 1"),
              std::string::npos)
        << log();
    EXPECT_NE(log().find("refused: protocol version 4294967297,"), std::string::npos) << log();
}

// A program of the package that cannot start says why: one that is not there and one
// that may not be run are told apart, and a service host that cannot start is logged.
TEST_F(SocketTransport, AProgramOfThePackageThatCannotStartIsRefusedWithItsReason) {
    const std::string plain = dir.file("plain");
    std::ofstream(plain) << "not a program\n";
    ::chmod(plain.c_str(), 0644);
    const auto launchWith = [&](const std::string& program) {
        // A manifest of its own each time: the package is read again when its path changes.
        const std::string manifest = program + ".json";
        std::ofstream(manifest) << "{\"familyName\": \"test.pfn\", \"version\": \"1.0.0.0\", "
                                   "\"fullTrustProgram\": \""
                                << program
                                << "\", \"appServices\": [{\"name\": \"svc\", \"host\": \""
                                << program << "\"}]}\n";
        ::setenv("TARVIK_PACKAGE_MANIFEST", manifest.c_str(), 1);
        // Kept until its error has been read: the pool thread that ran it may let go of
        // the error last, and the exception's own count is out of the sanitizer's sight.
        const auto launch =
            Platform::FullTrustProcessLauncher::LaunchFullTrustProcessForCurrentAppAsync();
        try {
            launch.get();
        } catch (const hresult_error& e) {
            return std::pair{static_cast<uint32_t>(e.code()), e.message().to_utf8()};
        }
        return std::pair{0u, std::string()};
    };
    struct Unset {
        ~Unset() { ::unsetenv("TARVIK_PACKAGE_MANIFEST"); }
    } unset;
    const auto [missingCode, missingText] = launchWith(dir.file("missing"));
    EXPECT_EQ(missingCode, 0x80070002u);
    EXPECT_EQ(missingText, "cannot start " + dir.file("missing") + ": No such file or directory");
    // Nobody listens and the host cannot start: the open fails at once, with a log line.
    open(AppServiceConnectionStatus::AppUnavailable);
    EXPECT_NE(log().find("cannot start " + dir.file("missing") +
                         ", the host of svc: No such file or directory"),
              std::string::npos)
        << log();
    const auto [plainCode, plainText] = launchWith(plain);
    EXPECT_EQ(plainCode, 0x80070005u);
    EXPECT_EQ(plainText, "cannot start " + plain + ": Permission denied");
}

// A listener serves a bounded number of open connections, each of which may hold large
// frames and a reading thread; one that ends makes room again.
TEST_F(SocketTransport, OpeningsBeyondTheMostAListenerServesAreRefusedUntilOneCloses) {
    auto listener = listen([](const AppServiceConnection& server) { echoRequests(server); });
    const auto openRaw = [&] {
        const int fd = rawConnect(listener->path());
        tarvik::wire::Frame hello;
        hello.mutable_open()->set_service_name("svc");
        hello.mutable_open()->set_protocol_version(Wire::kProtocolVersion);
        EXPECT_TRUE(FramedIo::writeFrame(fd, hello));
        std::string error;
        const auto reply = FramedIo::readFrame(fd, 2000, error);
        return std::pair{fd,
                         reply && reply->has_open_result() ? reply->open_result().status() : -1};
    };
    std::vector<int> open;
    for (;;) {
        const auto [fd, status] = openRaw();
        if (status != static_cast<int32_t>(AppServiceConnectionStatus::Success)) {
            EXPECT_EQ(status, static_cast<int32_t>(AppServiceConnectionStatus::Unknown));
            EXPECT_TRUE(closedByPeer(fd));
            ::close(fd);
            break;
        }
        open.push_back(fd);
        ASSERT_LE(open.size(), 256u) << "no limit";
    }
    EXPECT_EQ(open.size(), 16u);
    EXPECT_NE(log().find("connection to svc refused: 16 connections open, the most it serves"),
              std::string::npos)
        << log();
    // One gone, the next opening is served, through the library's own client as well.
    ::close(open.back());
    open.pop_back();
    EXPECT_TRUE(eventually([&] {
        const auto [fd, status] = openRaw();
        const bool served = status == static_cast<int32_t>(AppServiceConnectionStatus::Success);
        if (served)
            open.push_back(fd);
        else
            ::close(fd);
        return served;
    }));
    ::close(open.back());
    open.pop_back();
    EXPECT_TRUE(eventually([&] {
        AppServiceConnection c;
        c.AppServiceName(L"svc");
        c.PackageFamilyName(L"test.pfn");
        if (c.OpenAsync().get() != AppServiceConnectionStatus::Success) return false;
        EXPECT_TRUE(c.SendMessageAsync(everyType()).get().Message().LookupAs<bool>(L"echo"));
        c.Close();
        return true;
    }));
    for (const int fd : open) ::close(fd);
}

// A program started detached holds nothing of its starter's but the standard streams
// (here /dev/null): not a listening socket, not a pipe left without close-on-exec.
TEST_F(SocketTransport, AStartedProgramHoldsNoneOfTheStartersDescriptors) {
    auto listener = listen([](const AppServiceConnection&) {});
    int inherited[2];
    ASSERT_EQ(::pipe(inherited), 0);  // deliberately without O_CLOEXEC
    const std::string out = dir.file("fds.txt");
    ASSERT_TRUE(Platform::spawnDetached(
        "/bin/sh", {"-c", "for f in /proc/$$/fd/*; do readlink \"$f\"; done > " + out +
                              ".part; mv " + out + ".part " + out}));
    ASSERT_TRUE(eventually([&] { return boost::filesystem::exists(out); }, 10s));
    const std::string targets = TestSupport::readFile(out);
    ::close(inherited[0]);
    ::close(inherited[1]);
    EXPECT_EQ(targets.find("socket:"), std::string::npos) << targets;
    EXPECT_EQ(targets.find("pipe:"), std::string::npos) << targets;
    EXPECT_NE(targets.find("/dev/null"), std::string::npos) << targets;
}

TEST_F(SocketTransport, OversizedMessageIsRefusedBeforeSending) {
    auto listener = listen([](const AppServiceConnection& server) { echoRequests(server); });
    auto client = open();
    ValueSet big;
    big.Insert(L"blob", hstring(std::wstring(17u * 1024u * 1024u, L'x')));
    EXPECT_EQ(client.SendMessageAsync(big).get().Status(),
              AppServiceResponseStatus::MessageSizeTooLarge);
    // The connection is still usable.
    EXPECT_TRUE(client.SendMessageAsync(everyType()).get().Message().LookupAs<bool>(L"echo"));
}

// A peer that breaks the connection before the service's connection handler has
// returned: the handler's ServiceClosed handler still hears of it.
TEST_F(SocketTransport, AConnectionThatFailsBeforeItsHandlerReturnsStillReportsItsEnd) {
    auto closed = std::make_shared<std::atomic<int>>(0);
    auto listener = listen([this, closed](const AppServiceConnection& server) {
        // The peer's garbage has been read and refused, and what that set off has had
        // time to run, before the handler is added.
        EXPECT_TRUE(eventually([&] { return log().find("malformed frame") != std::string::npos; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server.ServiceClosed(
            [closed](const AppServiceConnection&, const AppServiceClosedEventArgs& args) {
                EXPECT_EQ(args.Status(), AppServiceClosedStatus::Unknown);
                ++*closed;
            });
    });
    int fd = rawConnect(listener->path());
    tarvik::wire::Frame hello;
    hello.mutable_open()->set_service_name("svc");
    ASSERT_TRUE(FramedIo::writeFrame(fd, hello));
    const unsigned char junk[] = {0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(::send(fd, junk, sizeof junk, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof junk));
    EXPECT_TRUE(eventually([&] { return closed->load() == 1; })) << closed->load();
    ::close(fd);
}

TEST_F(SocketTransport, MalformedFramesCloseOnlyThatConnection) {
    // Shared: the healthy connection's server side closes after the test has returned.
    auto closedCount = std::make_shared<std::atomic<int>>(0);
    auto listener = listen([closedCount](const AppServiceConnection& server) {
        echoRequests(server);
        server.ServiceClosed([closedCount](const AppServiceConnection&,
                                           const AppServiceClosedEventArgs&) { ++*closedCount; });
    });
    auto healthy = open();

    // Garbage after the handshake.
    int garbage = rawConnect(listener->path());
    handshake(garbage);
    const unsigned char junk[] = {0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(::send(garbage, junk, sizeof junk, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof junk));
    EXPECT_TRUE(closedByPeer(garbage));
    // A 1 GiB length prefix.
    int huge = rawConnect(listener->path());
    handshake(huge);
    const unsigned char prefix[] = {0x40, 0, 0, 0};
    ::send(huge, prefix, sizeof prefix, MSG_NOSIGNAL);
    EXPECT_TRUE(closedByPeer(huge));
    // A request whose entry carries no value.
    int typeless = rawConnect(listener->path());
    handshake(typeless);
    tarvik::wire::Frame bad;
    bad.mutable_request()->set_sequence(1);
    bad.mutable_request()->mutable_message()->add_entries()->set_key("command");
    FramedIo::writeFrame(typeless, bad);
    EXPECT_TRUE(closedByPeer(typeless));
    // A truncated frame followed by the peer going away.
    int truncated = rawConnect(listener->path());
    handshake(truncated);
    const unsigned char part[] = {0, 0, 0, 100, 1, 2};
    ::send(truncated, part, sizeof part, MSG_NOSIGNAL);
    ::close(truncated);
    // Garbage instead of an opening frame.
    int noHello = rawConnect(listener->path());
    ::send(noHello, junk, sizeof junk, MSG_NOSIGNAL);
    EXPECT_TRUE(closedByPeer(noHello));
    for (int fd : {garbage, huge, typeless, noHello}) ::close(fd);

    EXPECT_TRUE(eventually([&] { return closedCount->load() == 4; })) << closedCount->load();
    EXPECT_TRUE(healthy.SendMessageAsync(everyType()).get().Message().LookupAs<bool>(L"echo"));
    const std::string text = log();
    EXPECT_NE(text.find("malformed frame"), std::string::npos) << text;
    EXPECT_NE(text.find("frame of 1073741824 bytes refused"), std::string::npos);
    EXPECT_NE(text.find("truncated frame"), std::string::npos);
    EXPECT_NE(text.find("opening frame missing or malformed"), std::string::npos);
}

// Silent connections wait for their opening frame on the I/O thread: a flood of them
// parks no pool thread, only the newest few hundred wait at all, and a real client
// still opens meanwhile.
TEST_F(SocketTransport, AFloodOfSilentConnectionsHoldsNoThreadsAndARealClientStillOpens) {
    auto& clock = Platform::Clock::instance();
    clock.set_manual();  // no silent connection times out by itself
    auto listener = listen([](const AppServiceConnection& server) { echoRequests(server); });
    auto& pool = ThreadPool::instance();
    const std::size_t threadsBefore = pool.thread_count();
    constexpr std::size_t kSilent = 300;
    std::vector<int> silent;
    for (std::size_t i = 0; i < kSilent; ++i) silent.push_back(rawConnect(listener->path()));
    // Beyond the cap, the oldest waiting ones are closed.
    const std::size_t dropped = kSilent - PendingHandshakes::kMaxPending;
    EXPECT_TRUE(closedByPeer(silent[0]));
    EXPECT_TRUE(closedByPeer(silent[dropped - 1]));

    auto client = open();
    EXPECT_TRUE(client.SendMessageAsync(everyType()).get().Message().LookupAs<bool>(L"echo"));
    EXPECT_LE(pool.thread_count(), threadsBefore + 8) << "silent connections hold pool threads";
    const std::string text = log();
    std::size_t reports = 0;
    for (auto at = text.find("wait for their opening frame"); at != std::string::npos;
         at = text.find("wait for their opening frame", at + 1))
        ++reports;
    EXPECT_EQ(reports, 1u) << "one report per interval";

    // Past the handshake timeout, the rest are closed too; the real one lives on.
    clock.advance(std::chrono::milliseconds(SocketClient::kHandshakeTimeoutMs + 1));
    EXPECT_TRUE(closedByPeer(silent[dropped]));
    EXPECT_TRUE(closedByPeer(silent.back()));
    clock.set_real();
    EXPECT_NE(log().find("no opening frame within"), std::string::npos);
    EXPECT_TRUE(client.SendMessageAsync(everyType()).get().Message().LookupAs<bool>(L"echo"));
    for (const int fd : silent) ::close(fd);
}

TEST_F(SocketTransport, PeerClosingEndsTheOtherSideWithServiceClosed) {
    std::promise<AppServiceClosedStatus> closed;
    auto listener = listen([&](const AppServiceConnection& server) {
        server.ServiceClosed([&](const AppServiceConnection&, const AppServiceClosedEventArgs& e) {
            closed.set_value(e.Status());
        });
    });
    auto client = open();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard g(m);
        return servers.size() == 1;
    }));
    client.Close();
    auto f = closed.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(f.get(), AppServiceClosedStatus::Completed);
}

// Handler starts and ends, in the order they happen.
struct HandlerLog {
    std::mutex m;
    std::condition_variable changed;
    std::vector<std::string> events;
    void add(std::string e) {
        std::lock_guard g(m);
        events.push_back(std::move(e));
        changed.notify_all();
    }
    bool waitFor(const std::string& e, std::chrono::milliseconds limit) {
        std::unique_lock lk(m);
        return changed.wait_for(
            lk, limit, [&] { return std::find(events.begin(), events.end(), e) != events.end(); });
    }
};

// Request 0 waits in its handler until request 1's handler has started, at most `limit`.
void answerInOverlap(const AppServiceConnection& server, HandlerLog& log,
                     std::chrono::milliseconds limit) {
    server.RequestReceived(
        [&log, limit](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& args) {
            const int32_t n = args.Request().Message().LookupAs<int32_t>(L"n");
            log.add("start " + std::to_string(n));
            if (n == 0) log.waitFor("start 1", limit);
            log.add("end " + std::to_string(n));
            ValueSet reply;
            reply.Insert(L"n", n);
            args.Request().SendResponseAsync(reply);
        });
}

ValueSet numbered(int32_t n) {
    ValueSet v;
    v.Insert(L"n", n);
    return v;
}

// Sends requests 0 and 1 at once; each must come back with its own answer.
void sendZeroAndOne(const AppServiceConnection& client) {
    auto zero = client.SendMessageAsync(numbered(0));
    auto one = client.SendMessageAsync(numbered(1));
    EXPECT_EQ(zero.get().Message().LookupAs<int32_t>(L"n"), 0);
    EXPECT_EQ(one.get().Message().LookupAs<int32_t>(L"n"), 1);
}

TEST_F(SocketTransport, InlineDeliveryRunsOneHandlerAtATimeOnTheReadingThread) {
    HandlerLog log;
    auto listener = listen([&](const AppServiceConnection& server) {
        server.DeliverRequestsInline(true);
        // Time enough for a pool thread to start the second handler, were it on the pool.
        answerInOverlap(server, log, 200ms);
    });
    auto client = open();
    // Answered only once the trigger has returned: a request that arrives while it runs
    // is held for it and goes to the pool.
    ASSERT_EQ(client.SendMessageAsync(numbered(-1)).get().Message().LookupAs<int32_t>(L"n"), -1);
    // The second request is read only once the first handler has returned, however long
    // it takes: both are answered, in order, and never overlapped.
    sendZeroAndOne(client);
    std::lock_guard g(log.m);
    EXPECT_EQ(log.events, (std::vector<std::string>{"start -1", "end -1", "start 0", "end 0",
                                                    "start 1", "end 1"}));
}

// In a conversation (each request right after the last answer) the thread that reads a
// request may run its handler itself and give the reading to another: a handler that
// waits there must hold back no request after it.
TEST_F(SocketTransport, AHandlerWaitingOnTheThreadThatReadItHoldsBackNoLaterRequest) {
    HandlerLog log;
    auto listener = listen([&](const AppServiceConnection& server) {
        server.RequestReceived(
            [&log](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& args) {
                const int32_t n = args.Request().Message().LookupAs<int32_t>(L"n");
                if (n % 2 == 0 && n >= 0) {
                    log.add("start " + std::to_string(n));
                    const bool overlapped = log.waitFor("start " + std::to_string(n + 1), 10s);
                    log.add((overlapped ? "overlapped " : "alone ") + std::to_string(n));
                } else if (n >= 0) {
                    log.add("start " + std::to_string(n));
                }
                args.Request().SendResponseAsync(numbered(n));
            });
    });
    auto client = open();
    for (int32_t round = 0; round < 20; ++round) {
        // Quick exchanges with a short pause between them, as a conversation has: the
        // reader waits a moment for each, and the thread that ran the last handler
        // lingers meanwhile.
        for (int32_t warm = -1; warm > -20; --warm) {
            ASSERT_EQ(
                client.SendMessageAsync(numbered(warm)).get().Message().LookupAs<int32_t>(L"n"),
                warm);
            std::this_thread::sleep_for(50us);
        }
        auto waiting = client.SendMessageAsync(numbered(2 * round));
        ASSERT_TRUE(log.waitFor("start " + std::to_string(2 * round), 10s));
        auto later = client.SendMessageAsync(numbered(2 * round + 1));
        EXPECT_EQ(later.get().Message().LookupAs<int32_t>(L"n"), 2 * round + 1);
        EXPECT_EQ(waiting.get().Message().LookupAs<int32_t>(L"n"), 2 * round);
        EXPECT_TRUE(log.waitFor("overlapped " + std::to_string(2 * round), 1ms))
            << "request " << 2 * round + 1 << " waited for the handler before it";
    }
}

// The sends of a handler run on the thread that read its request are held to be written
// with the rest of that read's; a handler that then waits for the answer to its own send
// must see it sent, whether it waits through the platform or where the platform cannot
// see (which the pool's watcher finds).
TEST_F(SocketTransport, AHandlerThatAsksItsPeerAndWaitsOnTheReadingThreadGetsTheAnswer) {
    enum class Wait { Platform, UnknownToThePlatform };
    const auto ask = [](Wait wait, const AppServiceConnection& c, int32_t n) {
        auto answer = std::make_shared<std::promise<int32_t>>();
        auto got = answer->get_future();
        c.SendMessageAsync(numbered(n)).Completed([answer](const auto& op, AsyncStatus) {
            answer->set_value(op.GetResults().Message().template LookupAs<int32_t>(L"n"));
        });
        // A bounded wait either way: a lost answer fails the case rather than hanging it.
        std::optional<ThreadPool::Blocking> seen;
        if (wait == Wait::Platform) seen.emplace();
        return got.wait_for(10s) == std::future_status::ready ? got.get() : -1;
    };
    for (const Wait wait : {Wait::Platform, Wait::UnknownToThePlatform}) {
        SCOPED_TRACE(wait == Wait::Platform ? "a platform wait" : "a std::future");
        auto listener = listen([&](const AppServiceConnection& server) {
            server.RequestReceived([&, wait](const AppServiceConnection& c,
                                             const AppServiceRequestReceivedEventArgs& args) {
                const int32_t n = args.Request().Message().LookupAs<int32_t>(L"n");
                args.Request().SendResponseAsync(numbered(ask(wait, c, n + 100)));
            });
        });
        auto client = open();
        echoRequests(client);
        for (int32_t n = 0; n < 3; ++n) {
            auto asked = client.SendMessageAsync(numbered(n));
            ASSERT_TRUE(TestSupport::endsWithin(asked, 20s)) << "request " << n;
            EXPECT_EQ(asked.GetResults().Message().LookupAs<int32_t>(L"n"), n + 100);
        }
    }
}

// A handler run on the reading thread answers and closes the connection: its answer is
// held to be written with the rest of the read's, and the close frame goes out behind
// it; the socket must still end after them, as it does when nothing is held.
TEST_F(SocketTransport, AConnectionClosedWhileItsSendsAreHeldStillEndsTheSocket) {
    auto listener = listen([](const AppServiceConnection& server) {
        server.RequestReceived(
            [](const AppServiceConnection& c, const AppServiceRequestReceivedEventArgs& args) {
                const int32_t n = args.Request().Message().LookupAs<int32_t>(L"n");
                args.Request().SendResponseAsync(numbered(n));
                if (n == 1) c.Close();
            });
    });
    const int fd = rawConnect(listener->path());
    ASSERT_NO_FATAL_FAILURE(handshake(fd));
    std::string error;
    // One exchange first: requests that come while the connection's handler is still
    // being set up go to the pool, where nothing is held.
    const auto request = [](int32_t n) {
        std::size_t size = 0;
        auto bytes = Wire::encodeRequest(static_cast<uint64_t>(n), numbered(n), size);
        return bytes ? *bytes : std::string();
    };
    const std::string first = request(0);
    ASSERT_EQ(::send(fd, first.data(), first.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(first.size()));
    auto answer = FramedIo::readFrame(fd, 5000, error);
    ASSERT_TRUE(answer && answer->has_response()) << error;
    // Two requests in one write, so that one read brings both: the first one's answer is
    // held, and its handler closes the connection.
    const std::string both = request(1) + request(2);
    ASSERT_EQ(::send(fd, both.data(), both.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(both.size()));
    answer = FramedIo::readFrame(fd, 5000, error);
    ASSERT_TRUE(answer && answer->has_response()) << error;
    EXPECT_EQ(answer->response().sequence(), 1u);
    auto closing = FramedIo::readFrame(fd, 5000, error);
    ASSERT_TRUE(closing && closing->has_close()) << error;
    EXPECT_TRUE(closedByPeer(fd)) << "the socket stayed open after the close frame";
    ::close(fd);
}

// Each conversation with pauses leaves its connection's reading on a pool thread, which
// sleeps there while the connection is idle. More idle connections than the pool's
// limit of threads must still leave threads for the work: every request is answered.
TEST_F(SocketTransport, IdleConnectionsBeyondThePoolsLimitStillLeaveItThreadsForRequests) {
    constexpr std::size_t kPoolLimit = 1024;  // the pool's most threads for work
    constexpr int kMostConnections = 1600;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit wide = saved;
    wide.rlim_cur = std::min<rlim_t>(saved.rlim_max, 2 * kMostConnections + 512);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &wide), 0);
    ASSERT_GE(wide.rlim_cur, rlim_t{2 * kMostConnections + 512}) << "too few descriptors";

    // A listener serves 16 open connections at most: the idle ones are spread over
    // services of their own, as a process hosting many would have them.
    constexpr int kPerListener = 15;
    std::vector<std::shared_ptr<AppServiceListener>> listeners;
    const auto serviceOf = [](int c) { return "svc" + std::to_string(c / kPerListener); };
    const auto listenerOf = [&](int c) {
        if (c % kPerListener == 0)
            listeners.push_back(AppServiceListener::start(
                L"test.pfn", hstring::from_utf8(serviceOf(c)),
                [this](const AppServiceTriggerDetails& d) {
                    d.Connection().RequestReceived(
                        [](const AppServiceConnection&,
                           const AppServiceRequestReceivedEventArgs& args) {
                            args.Request().SendResponseAsync(args.Request().Message());
                        });
                    // Kept, as the fixture's own listener keeps its connections.
                    std::lock_guard g(m);
                    servers.push_back(d.Connection());
                }));
        return listeners.back();
    };
    auto listener = listen([](const AppServiceConnection& server) {
        server.RequestReceived(
            [](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& args) {
                args.Request().SendResponseAsync(args.Request().Message());
            });
    });
    auto& pool = ThreadPool::instance();
    struct Idle {
        std::vector<int> fds;
        rlimit limit;
        ~Idle() {
            for (const int fd : fds) ::close(fd);
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    } idle{{}, saved};
    const auto handshake = [](int fd, const std::string& service) {
        tarvik::wire::Frame hello;
        hello.mutable_open()->set_service_name(service);
        std::string error;
        if (!FramedIo::writeFrame(fd, hello)) return false;
        const auto reply = FramedIo::readFrame(fd, 10000, error);
        return reply && reply->has_open_result() &&
               reply->open_result().status() ==
                   static_cast<int32_t>(AppServiceConnectionStatus::Success);
    };
    for (int c = 0; c < kMostConnections && pool.thread_count() <= kPoolLimit + 16; ++c) {
        const int fd = rawConnect(listenerOf(c)->path());
        idle.fds.push_back(fd);
        ASSERT_TRUE(handshake(fd, serviceOf(c))) << "connection " << c;
        // Exchanges, each a moment after the last answer: the read waits, and the thread
        // that ran the last handler lingers for the next, until it gets the reading and
        // the pool grows by the thread this connection keeps.
        const std::size_t before = pool.thread_count();
        for (uint64_t sequence = 1; sequence <= 30 && pool.thread_count() <= before; ++sequence) {
            std::size_t size = 0;
            const auto frame = Wire::encodeRequest(sequence, numbered(1), size);
            ASSERT_EQ(::send(fd, frame->data(), frame->size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(frame->size()))
                << "connection " << c << ": " << std::strerror(errno);
            std::string error;
            ASSERT_TRUE(FramedIo::readFrame(fd, 10000, error))
                << "request " << sequence << " of connection " << c << " unanswered with "
                << pool.thread_count() << " pool threads: " << error;
            const auto until = std::chrono::steady_clock::now() + 60us;
            while (std::chrono::steady_clock::now() < until) {
            }
        }
    }
    auto client = open();
    auto answer = client.SendMessageAsync(numbered(7));
    EXPECT_TRUE(eventually([&] { return answer.Status() == AsyncStatus::Completed; }, 10s));
    client.Close();
    // The connections end, and the threads that read them go once idle.
    for (const int fd : idle.fds) ::close(fd);
    idle.fds.clear();
    EXPECT_TRUE(TestSupport::poolShrinksBack()) << pool.thread_count() << " threads left";
}

// A relay on the reading threads, as the app host runs one: its forwarded requests and
// its answers are written by the read, not one by one. With many in flight, every
// request still reaches the far side once and comes back once, with its own answer.
TEST_F(SocketTransport, AnInlineRelayForwardsAndAnswersEveryRequestOfABurstOnce) {
    std::mutex relayed;
    std::vector<int32_t> seenByEcho;
    std::promise<void> frontConnected, backConnected;
    auto listener = listen([&](const AppServiceConnection& server) {
        server.DeliverRequestsInline(true);
        // Called with m held, after the connection joined servers.
        (servers.size() == 1 ? frontConnected : backConnected).set_value();
    });
    // The trigger may run after the client's open returns: the back opens only once the
    // front's server side is known, or the two could be taken for each other.
    auto front = open();
    frontConnected.get_future().wait();
    auto back = open();
    backConnected.get_future().wait();
    AppServiceConnection fromFront{nullptr}, toBack{nullptr};
    {
        std::lock_guard g(m);
        fromFront = servers[0];
        toBack = servers[1];
    }
    back.RequestReceived(
        [&](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& args) {
            const int32_t n = args.Request().Message().LookupAs<int32_t>(L"n");
            {
                std::lock_guard g(relayed);
                seenByEcho.push_back(n);
            }
            args.Request().SendResponseAsync(numbered(n));
        });
    fromFront.RequestReceived(
        [toBack](const AppServiceConnection&, const AppServiceRequestReceivedEventArgs& args) {
            auto deferral = args.GetDeferral();
            toBack.SendMessageTask(args.Request().Message())
                .then_inline([args, deferral](const task<AppServiceResponse>& forwarded) {
                    // A failed exchange leaves the request to the platform's failure answer.
                    try {
                        args.Request().SendResponseAsync(forwarded.get().Message());
                    } catch (...) {
                    }
                    deferral.Complete();
                });
        });
    constexpr int32_t kRequests = 500;
    std::vector<IAsyncOperation<AppServiceResponse>> sent;
    for (int32_t n = 0; n < kRequests; ++n) sent.push_back(front.SendMessageAsync(numbered(n)));
    for (int32_t n = 0; n < kRequests; ++n) {
        const auto response = sent[static_cast<std::size_t>(n)].get();
        ASSERT_EQ(response.Status(), AppServiceResponseStatus::Success) << n;
        EXPECT_EQ(response.Message().LookupAs<int32_t>(L"n"), n);
    }
    std::lock_guard g(relayed);
    // The echo's handlers run on the pool, side by side.
    std::sort(seenByEcho.begin(), seenByEcho.end());
    std::vector<int32_t> expected(kRequests);
    for (int32_t n = 0; n < kRequests; ++n) expected[static_cast<std::size_t>(n)] = n;
    EXPECT_EQ(seenByEcho, expected);
}

TEST(InMemoryConnection, InlineDeliveryStillRunsHandlersOnThePool) {
    auto [a, b] = AppServiceConnection::CreateInMemoryPair();
    HandlerLog log;
    b.DeliverRequestsInline(true);
    answerInOverlap(b, log, 5s);
    // Delivered on the sender's thread, the first handler would hold up the second send.
    sendZeroAndOne(a);
    std::lock_guard g(log.m);
    ASSERT_EQ(log.events.size(), 4u);
    // The two ran side by side: the second started before the first ended (pool threads
    // may even start them the other way round).
    const auto at = [&](const std::string& e) {
        return std::find(log.events.begin(), log.events.end(), e) - log.events.begin();
    };
    EXPECT_LT(at("start 1"), at("end 0"));
}

TEST_F(SocketTransport, ConnectionsFromAnotherUserAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    auto listener = listen([](const AppServiceConnection&) {});
    // Open the folders so that only the user check stands in the way.
    ::chmod((dir.path() / "tarvik").c_str(), 0755);
    ::chmod((dir.path() / "tarvik" / "test.pfn").c_str(), 0755);
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(listener->path().c_str(), 0666);
    // Everything the child needs is made before the fork: a child of a process with
    // many threads may find the allocator's lock held by one that is gone, and stop.
    tarvik::wire::Frame hello;
    hello.mutable_open()->set_service_name("svc");
    const auto bytes = Wire::encodeFrame(hello);
    ASSERT_TRUE(bytes);
    const sockaddr_un addr = unixAddress(listener->path());
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setuid(65534) != 0) std::_Exit(10);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            std::_Exit(11);
        if (::send(fd, bytes->data(), bytes->size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes->size()))
            std::_Exit(13);
        // Refused without an answer: the socket ends before any byte comes back.
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) != 1) std::_Exit(14);
        char b;
        std::_Exit(::recv(fd, &b, 1, 0) > 0 ? 12 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(eventually(
        [&] { return log().find("connection from uid 65534 refused") != std::string::npos; }));
    std::lock_guard g(m);
    EXPECT_TRUE(servers.empty());
}

TEST(WireCodec, RepeatedKeysShareTextAndTheCacheStaysBounded) {
    Wire::KeyCache keys;
    tarvik::wire::ValueSet proto;
    Wire::toProto(everyType(), proto);
    const ValueSet first = Wire::fromProto(proto, &keys);
    const ValueSet second = Wire::fromProto(proto, &keys);
    EXPECT_TRUE(first.equals(everyType()));
    EXPECT_TRUE(second.equals(everyType()));
    const auto a = first.GetItems(), b = second.GetItems();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].first.c_str(), b[i].first.c_str());

    // Keys that change their order, or differ from the expected one only in length,
    // still come back as themselves.
    for (const auto& order : {std::vector<std::string>{"a", "ab", "b"},
                              {"a", "b", "ab"},
                              {"ab", "a", "b", "b", "a"},
                              {"a", "ab", "b"}})
        for (const auto& k : order) EXPECT_EQ(keys.get(k).to_utf8(), k);

    // A peer that sends ever new keys, or huge ones, does not grow it without end.
    for (std::size_t n = 0; n < 2 * Wire::KeyCache::kMaxKeys; ++n)
        EXPECT_EQ(keys.get("key" + std::to_string(n)).to_utf8(), "key" + std::to_string(n));
    EXPECT_EQ(keys.size(), Wire::KeyCache::kMaxKeys);
    Wire::KeyCache fresh;
    const std::string huge(Wire::KeyCache::kMaxKeyBytes + 1, 'k');
    EXPECT_EQ(fresh.get(huge).size(), huge.size());
    EXPECT_EQ(fresh.size(), 0u);
    EXPECT_EQ(fresh.get("\xC3\xA9t\xC3\xA9"), hstring(L"\u00E9t\u00E9"));
    EXPECT_EQ(fresh.get("\xC3\xA9t\xC3\xA9"), hstring(L"\u00E9t\u00E9"));
}

TEST(WireCodec, RoundTripAndLimits) {
    tarvik::wire::ValueSet proto;
    Wire::toProto(everyType(), proto);
    EXPECT_TRUE(Wire::fromProto(proto).equals(everyType()));

    auto* dup = proto.add_entries();
    dup->set_key("i32");
    dup->mutable_value()->set_int32_value(1);
    EXPECT_THROW(Wire::fromProto(proto), hresult_invalid_argument);

    // Another writer may send the entries in any order; the set still finds them all
    // and lists them by key.
    tarvik::wire::ValueSet reversed;
    for (int n = 99; n >= 0; --n) {
        auto* e = reversed.add_entries();
        e->set_key("k" + std::to_string(100 + n));
        e->mutable_value()->set_int32_value(n);
    }
    const ValueSet decoded = Wire::fromProto(reversed);
    ASSERT_EQ(decoded.Size(), 100u);
    EXPECT_EQ(decoded.LookupAs<int32_t>(L"k142"), 42);
    EXPECT_EQ(decoded.GetItems().front().first, hstring(L"k100"));
    EXPECT_EQ(decoded.GetItems().back().first, hstring(L"k199"));

    tarvik::wire::Frame frame;
    frame.mutable_request()->mutable_message()->add_entries()->mutable_value()->set_string_value(
        std::string(Wire::kMaxFrameSize, 'x'));
    EXPECT_FALSE(Wire::encodeFrame(frame).has_value());
    const unsigned char prefix[] = {0x01, 0x00, 0x00, 0x02};
    EXPECT_EQ(Wire::decodeLength(prefix), 0x01000002u);
}

// The direct frame writer must give exactly the bytes protobuf gives for the same frame:
// the peer (and older peers) parse them with protobuf.
namespace {
std::string viaProtobufRequest(uint64_t sequence, const ValueSet& message) {
    tarvik::wire::Frame frame;
    auto* request = frame.mutable_request();
    request->set_sequence(sequence);
    if (message) Wire::toProto(message, *request->mutable_message());
    return *Wire::encodeFrame(frame);
}
std::string viaProtobufResponse(uint64_t sequence, int32_t status, const ValueSet& message) {
    tarvik::wire::Frame frame;
    auto* response = frame.mutable_response();
    response->set_sequence(sequence);
    response->set_status(status);
    response->set_message_present(static_cast<bool>(message));
    if (message) Wire::toProto(message, *response->mutable_message());
    return *Wire::encodeFrame(frame);
}
}  // namespace

TEST(FrameEncoder, WritesTheBytesProtobufWrites) {
    ValueSet odd = everyType();
    odd.Insert(L"", int32_t{7});                                    // empty key: left out
    odd.Insert(L"neg", int32_t{-2147483647 - 1});                   // ten-byte varint
    odd.Insert(L"zero", uint64_t{0});                               // oneof: still written
    odd.Insert(L"k\u00fc\u4e2d", hstring(L""));                     // non-ASCII key, empty text
    odd.Insert(L"bad", hstring(std::wstring(1, wchar_t(0xD800))));  // lone surrogate
    odd.Insert(L"big", hstring(std::wstring(300, L'x')));           // two-byte lengths
    ValueSet many;  // more entries than the writer keeps on its stack
    for (int i = 0; i < 40; ++i) many.Insert(L"k" + std::to_wstring(i), int64_t{i} * -7);
    const ValueSet empty;
    const ValueSet none = nullptr;
    for (const ValueSet* m :
         {static_cast<const ValueSet*>(&odd), static_cast<const ValueSet*>(&many), &empty, &none}) {
        for (uint64_t seq : {uint64_t{0}, uint64_t{1}, uint64_t{300}, ~uint64_t{0}}) {
            std::size_t size = 0;
            auto request = Wire::encodeRequest(seq, *m, size);
            ASSERT_TRUE(request);
            EXPECT_EQ(*request, viaProtobufRequest(seq, *m));
            EXPECT_EQ(size + Wire::kLengthPrefixSize, request->size());
            for (int32_t status : {0, 1, -1, 5}) {
                auto response = Wire::encodeResponse(seq, status, *m, size);
                ASSERT_TRUE(response);
                EXPECT_EQ(*response, viaProtobufResponse(seq, status, *m));
            }
        }
    }
}

TEST(FrameEncoder, RefusesAFrameAboveTheLimitAndSaysItsSize) {
    ValueSet huge;
    huge.Insert(L"s", hstring(std::wstring(Wire::kMaxFrameSize, L'x')));
    std::size_t size = 0;
    EXPECT_FALSE(Wire::encodeRequest(5, huge, size).has_value());
    EXPECT_GT(size, Wire::kMaxFrameSize);
    EXPECT_FALSE(Wire::encodeResponse(5, 0, huge, size).has_value());
    // Just at the limit still goes.
    ValueSet fits;
    fits.Insert(L"s", hstring(std::wstring(Wire::kMaxFrameSize - 64, L'x')));
    EXPECT_TRUE(Wire::encodeRequest(5, fits, size).has_value());
    EXPECT_LE(size, Wire::kMaxFrameSize);
}
