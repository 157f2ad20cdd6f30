// A peer to measure the library against: a gRPC unary call over a Unix socket with the
// callback API, from this process to a server in a child process, with request and
// answer of the byte sizes of the library's TestDelayApi(0) frames. Same shape as
// bench_roundtrip: the p50 of one blocking call, and throughput with 1 to 256 in flight.
#include <grpcpp/grpcpp.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "bench/benchsupport.h"
#include "bench/peerprocess.h"
#include "delaypeer.grpc.pb.h"

namespace {

using namespace tarvik::benchpeer;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kCommand = 38;

// Fills `padding` so the encoded message is exactly `size` bytes.
template <class Message>
bool padTo(Message& message, std::size_t size) {
    for (std::size_t n = 0; n <= size; ++n) {
        message.set_padding(std::string(n, 'p'));
        if (message.ByteSizeLong() == size) return true;
        if (message.ByteSizeLong() > size) break;
    }
    std::fprintf(stderr, "cannot pad the message to %zu bytes\n", size);
    return false;
}

class DelayService final : public DelayPeer::CallbackService {
  public:
    explicit DelayService(std::size_t answerSize) {
        answer_.set_success(true);
        answer_.set_text("Delayed 0 ms");
        padTo(answer_, answerSize);
    }
    grpc::ServerUnaryReactor* Delay(grpc::CallbackServerContext* context, const DelayRequest*,
                                    DelayAnswer* answer) override {
        *answer = answer_;
        auto* reactor = context->DefaultReactor();
        reactor->Finish(grpc::Status::OK);
        return reactor;
    }

  private:
    DelayAnswer answer_;
};

int serve(const std::string& socket) {
    DelayService service(Bench::frameSizes().second);
    grpc::ServerBuilder builder;
    builder.AddListeningPort("unix:" + socket, grpc::InsecureServerCredentials());
    builder.RegisterService(&service);
    auto server = builder.BuildAndStart();
    if (!server) return 1;
    server->Wait();  // until SIGTERM from the benchmark
    return 0;
}

// The server in a child process and a channel to it.
struct GrpcSession {
    GrpcSession()
        : socket((folder.path() / "grpc.sock").string()),
          server({Bench::selfPath(), "--serve", socket}) {
        channel = grpc::CreateChannel("unix:" + socket, grpc::InsecureChannelCredentials());
        stub = DelayPeer::NewStub(channel);
        connected =
            channel->WaitForConnected(std::chrono::system_clock::now() + std::chrono::seconds(30));
        const auto [requestSize, answerSize] = Bench::frameSizes();
        request.set_command(kCommand);
        request.set_id(123456);
        request.set_delay(0);
        padTo(request, requestSize);
        expectedAnswerSize = answerSize;
    }
    Bench::TempFolder folder;
    std::string socket;
    Bench::ChildProcess server;
    std::shared_ptr<grpc::Channel> channel;
    std::unique_ptr<DelayPeer::Stub> stub;
    bool connected = false;
    DelayRequest request;
    std::size_t expectedAnswerSize = 0;
};

void roundTrip(benchmark::State& state, GrpcSession& session) {
    if (!session.connected) return state.SkipWithError("the gRPC server did not start");
    DelayAnswer answer;
    {
        grpc::ClientContext context;
        session.stub->Delay(&context, session.request, &answer);
        if (answer.ByteSizeLong() != session.expectedAnswerSize)
            return state.SkipWithError("the answer has not the library's size");
    }
    Bench::recordP50(state, "grpc_roundtrip_p50", [&] {
        grpc::ClientContext context;
        benchmark::DoNotOptimize(session.stub->Delay(&context, session.request, &answer));
    });
    state.counters["request_bytes"] = static_cast<double>(session.request.ByteSizeLong());
    state.counters["answer_bytes"] = static_cast<double>(answer.ByteSizeLong());
}

// Keeps `depth` calls in flight until `count` have completed; each completion starts the
// next from gRPC's callback thread, as a library caller's continuation would. The calls'
// contexts are made up front and freed here, after the last callback: freed on gRPC's
// threads, the last of them could leave gRPC's clean-up to a thread racing the exit.
void keepInFlight(GrpcSession& session, int depth, int64_t count) {
    struct Call {
        grpc::ClientContext context;
        DelayAnswer answer;
    };
    const auto calls = std::make_unique<Call[]>(static_cast<std::size_t>(count));
    std::atomic<int64_t> issued{0}, settled{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::function<void()> issue = [&] {
        const int64_t n = issued.fetch_add(1);
        if (n >= count) return;
        Call& call = calls[static_cast<std::size_t>(n)];
        session.stub->async()->Delay(&call.context, &session.request, &call.answer,
                                     [&](grpc::Status status) {
                                         if (!status.ok()) failed = true;
                                         issue();
                                         if (settled.fetch_add(1) + 1 == count) {
                                             std::lock_guard lock(mutex);
                                             finished = true;
                                             done.notify_one();
                                         }
                                     });
    };
    for (int i = 0; i < depth; ++i) issue();
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
    if (failed) std::fprintf(stderr, "a gRPC call failed\n");
}

void inFlight(benchmark::State& state, GrpcSession& session) {
    if (!session.connected) return state.SkipWithError("the gRPC server did not start");
    const int depth = static_cast<int>(state.range(0));
    int64_t total = 0;
    const auto started = Clock::now();
    for (auto _ : state) {
        const int batch = std::max(2000, depth * 20);
        keepInFlight(session, depth, batch);
        total += batch;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Bench::record(state, "grpc_depth_" + std::to_string(depth), total / seconds, "req_per_s");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--serve") return serve(argv[2]);
    GrpcSession session;
    // Medians of five rounds each: a shared machine's outliers would move a single one.
    benchmark::RegisterBenchmark("BM_GrpcRoundTrip",
                                 [&](benchmark::State& s) { roundTrip(s, session); })
        ->UseRealTime()
        ->MinTime(1.0)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark("BM_GrpcInFlight",
                                 [&](benchmark::State& s) { inFlight(s, session); })
        ->Arg(1)
        ->Arg(16)
        ->Arg(64)
        ->Arg(256)
        ->UseRealTime()
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    return Bench::runAndReport(argc, argv, {});
}
