// One TestDelayApi(0) round trip between this process and tarvik-helper over a Unix
// socket, against a raw ping-pong of the same bytes on a socket pair.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <future>
#include <thread>

#include "common/base64.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "platform/appservicelistener.h"
#include "platform/wirecodec.h"
#include "tarvikfoundation/orvanetestmanager.h"

extern char** environ;

namespace {

using namespace Platform;

// Size of one request frame and one response frame as the channel sends them.
std::pair<std::size_t, std::size_t> frameSizes() {
    ValueSet request = Tarvik::createRequest(38);
    request.Insert(L"TestDelay", uint64_t{0});
    request.Insert(L"commandId", uint64_t{123456});
    request.Insert(L"ackCounts", int32_t{1});
    request.Insert(L"Ack1", uint64_t{123455});
    tarvik::wire::Frame req;
    req.mutable_request()->set_sequence(1);
    Wire::toProto(request, *req.mutable_request()->mutable_message());
    ValueSet response = Tarvik::createResponse(true);
    response.Insert(L"TestReponse", hstring(L"Delayed 0 ms"));
    tarvik::wire::Frame resp;
    resp.mutable_response()->set_sequence(1);
    resp.mutable_response()->set_message_present(true);
    Wire::toProto(response, *resp.mutable_response()->mutable_message());
    return {Wire::encodeFrame(req)->size(), Wire::encodeFrame(resp)->size()};
}

bool readAll(int fd, char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

void BM_RawUnixPingPong(benchmark::State& state) {
    const auto [requestSize, responseSize] = frameSizes();
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    std::thread echo([fd = fds[1], requestSize, responseSize] {
        std::string in(requestSize, '\0'), out(responseSize, 'r');
        while (readAll(fd, in.data(), in.size()))
            if (::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) break;
    });
    std::string out(requestSize, 'q'), in(responseSize, '\0');
    for (auto _ : state) {
        ::write(fds[0], out.data(), out.size());
        readAll(fds[0], in.data(), in.size());
    }
    ::shutdown(fds[0], SHUT_RDWR);
    echo.join();
    ::close(fds[0]);
    ::close(fds[1]);
    state.counters["request_bytes"] = static_cast<double>(requestSize);
}
BENCHMARK(BM_RawUnixPingPong)->UseRealTime();

struct HelperSession {
    HelperSession() {
        dir = boost::filesystem::temp_directory_path() /
              boost::filesystem::unique_path("tarvik-bench-%%%%%%");
        boost::filesystem::create_directories(dir);
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        // Measures the channel, not the log: only warnings and worse are written.
        Tarvik::ConfigureLogger(3, "UWP");
        Tarvik::SetLogFilePath(Platform::utf8_to_wide((dir / "TRVK.log").string()));
        std::promise<AppServiceConnection> connected;
        listener = AppServiceListener::start(
            L"bench.pfn", L"svc",
            [&](const AppServiceTriggerDetails& d) { connected.set_value(d.Connection()); });
        std::string program = TARVIK_HELPER_PATH, log = (dir / "Win32Helper.log").string();
        std::vector<std::string> args = {program,
                                         "--package",
                                         Tarvik::Base64::encode("bench.pfn"),
                                         "--service",
                                         Tarvik::Base64::encode("svc"),
                                         "--log",
                                         log,
                                         "--logLevel",
                                         "3"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
        connection = connected.get_future().get();
        manager = TarvikFoundation::OrvaneInternal::OrvaneTestManager::GetInstance();
        manager->setAppServiceConnection(connection, false);
    }
    ~HelperSession() {
        manager->setAppServiceConnection(nullptr, false);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        boost::system::error_code ec;
        boost::filesystem::remove_all(dir, ec);
    }
    boost::filesystem::path dir;
    std::shared_ptr<AppServiceListener> listener;
    AppServiceConnection connection{nullptr};
    pid_t pid = 0;
    std::shared_ptr<TarvikFoundation::OrvaneInternal::OrvaneTestManager> manager;
};

void BM_TestDelayRoundTrip(benchmark::State& state) {
    HelperSession session;
    for (auto _ : state) benchmark::DoNotOptimize(session.manager->TestDelayApi(0).get());
}
BENCHMARK(BM_TestDelayRoundTrip)->UseRealTime();

}  // namespace
